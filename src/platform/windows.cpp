// The platform room for Windows. Names are UTF-8 inside Orvale and UTF-16
// here, through the wide API; a long one takes the \\?\ form that lifts the
// old 260-character limit. Links are followed as the system follows them: a
// link at an output name is replaced by the new file, not its target. The
// console and the command line are in windows_console.cpp.
#include "platform/windows_api.h"
// The Windows API first: the headers below build on it.
#include <malloc.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/windows_common.h"

namespace orvale::platform {
namespace win {

HANDLE handle(File file) { return reinterpret_cast<HANDLE>(file); }
File file_of(HANDLE opened) { return reinterpret_cast<File>(opened); }

// The system's codes, told as the errno values the rest of Orvale knows.
int error_of(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_NETWORK_ACCESS_DENIED:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    // A bad sector: the reads past it go on.
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_SEEK:
    case ERROR_IO_DEVICE:
      return EIO;
    // The device went away: nothing more can be read from it.
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_MEDIA_CHANGED:
      return ENODEV;
    default:
      return EIO;
  }
}

int last_error() { return error_of(::GetLastError()); }

std::wstring wide(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  const auto length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring converted(static_cast<std::size_t>(needed), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, converted.data(), needed);
  return converted;
}

std::string narrow(const wchar_t* text) {
  const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 1) {
    return {};
  }
  std::string converted(static_cast<std::size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), needed, nullptr, nullptr);
  converted.pop_back();
  return converted;
}

// A path past MAX_PATH takes the \\?\ form, which the system reads as it
// stands: whole, with backslashes, and without "." or "..".
std::wstring system_path(const std::string& path) {
  std::wstring converted = wide(path);
  constexpr std::size_t kRoomForAName = MAX_PATH - 14;
  if (converted.size() < kRoomForAName || converted.rfind(L"\\\\?\\", 0) == 0) {
    return converted;
  }
  const DWORD needed = ::GetFullPathNameW(converted.c_str(), 0, nullptr, nullptr);
  if (needed == 0) {
    return converted;
  }
  std::wstring full(needed, L'\0');
  full.resize(::GetFullPathNameW(converted.c_str(), needed, full.data(), nullptr));
  if (full.rfind(L"\\\\", 0) == 0) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

// The names a FindFirstFileW search gives, "." and ".." among them.
int find_names(const std::wstring& pattern, std::vector<std::string>& names) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    return code == ERROR_FILE_NOT_FOUND ? 0 : error_of(code);
  }
  do {
    names.push_back(narrow(found.cFileName));
  } while (::FindNextFileW(search, &found) != 0);
  const DWORD code = ::GetLastError();
  ::FindClose(search);
  return code == ERROR_NO_MORE_FILES ? 0 : error_of(code);
}

}  // namespace win

using namespace win;

namespace {


// FILETIME counts 100 ns steps from 1601.
constexpr std::int64_t kStepsTo1970 = 116444736000000000;
constexpr std::int64_t kStepsPerSecond = 10000000;

Time time_of(std::int64_t steps) {
  const std::int64_t since_1970 = steps - kStepsTo1970;
  return {since_1970 / kStepsPerSecond, since_1970 % kStepsPerSecond * 100};
}

std::int64_t steps_of(const FILETIME& at) {
  return static_cast<std::int64_t>((std::uint64_t{at.dwHighDateTime} << 32) | at.dwLowDateTime);
}

// A pipe or a device has no number of its own: each gets one that no other
// file shares.
FileId unnumbered() {
  static std::uint64_t next = 0;
  return {UINT64_MAX, ++next};
}

int status_of(HANDLE opened, FileStatus& found) {
  found = {};
  const DWORD type = ::GetFileType(opened);
  if (type != FILE_TYPE_DISK) {
    if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) {
      return last_error();
    }
    found.kind = Kind::other;
    found.id = unnumbered();
    return 0;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(opened, &info) == 0) {
    return last_error();
  }
  const bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  found.kind = directory ? Kind::directory : Kind::regular;
  found.id = {info.dwVolumeSerialNumber,
              (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  found.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  found.modified = time_of(steps_of(info.ftLastWriteTime));
  FILE_BASIC_INFO basic{};
  const bool has_basic =
      ::GetFileInformationByHandleEx(opened, FileBasicInfo, &basic, sizeof basic) != 0;
  found.changed = has_basic ? time_of(basic.ChangeTime.QuadPart) : found.modified;
  found.permissions = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
  return 0;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The system calls a name with an overlong part merely invalid.
bool has_overlong_part(const std::wstring& path) {
  std::size_t part = 0;
  for (const wchar_t c : path) {
    part = c == L'\\' || c == L'/' ? 0 : part + 1;
    if (part > kMaxNameBytes) {
      return true;
    }
  }
  return false;
}

int open_file(const std::string& path, DWORD access, DWORD disposition, DWORD flags, File& file) {
  file = kNoFile;
  const std::wstring name = system_path(path);
  if (has_overlong_part(name)) {
    return ENAMETOOLONG;
  }
  const HANDLE opened =
      ::CreateFileW(name.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
  file = file_of(opened);
  if (opened == INVALID_HANDLE_VALUE) {
    file = kNoFile;
    return last_error();
  }
  return 0;
}

}  // namespace


int open_to_read(const std::string& path, File& file) {
  // Backup semantics open a folder too, so that it is told as one.
  return open_file(path, GENERIC_READ, OPEN_EXISTING,
                   FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, file);
}

int open_to_write(const std::string& path, File& file) {
  return open_file(path, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, file);
}

// Shared for deletion, so that an interruption can remove it while open.
int create_new(const std::string& path, const FileStatus* like, File& file) {
  (void)like;
  return open_file(path, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, file);
}

// Windows has no unnamed files; temporaries are named, and carry the host
// and the process that made them.
int create_unnamed(const std::string& folder, const FileStatus* like, File& file) {
  (void)folder;
  (void)like;
  file = kNoFile;
  return EOPNOTSUPP;
}

int link_unnamed(File file, const std::string& path) {
  (void)file;
  (void)path;
  return EOPNOTSUPP;
}

int duplicate(File file, File& copy) {
  HANDLE duplicated = nullptr;
  const HANDLE process = ::GetCurrentProcess();
  if (::DuplicateHandle(process, handle(file), process, &duplicated, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0) {
    copy = kNoFile;
    return last_error();
  }
  copy = file_of(duplicated);
  return 0;
}

std::string host_name() {
  std::array<wchar_t, MAX_COMPUTERNAME_LENGTH + 1> name{};
  DWORD length = static_cast<DWORD>(name.size());
  if (::GetComputerNameW(name.data(), &length) == 0) {
    return {};
  }
  return narrow(name.data());
}

std::uint64_t process_id() { return ::GetCurrentProcessId(); }

bool process_gone(std::uint64_t id) {
  if (id > 0xFFFFFFFFULL) {
    return false;
  }
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
  if (process == nullptr) {
    return ::GetLastError() == ERROR_INVALID_PARAMETER;
  }
  DWORD code = 0;
  const bool ended = ::GetExitCodeProcess(process, &code) != 0 && code != STILL_ACTIVE;
  ::CloseHandle(process);
  return ended;
}

int duplicate_standard_output(File& file) {
  HANDLE copy = nullptr;
  const HANDLE process = ::GetCurrentProcess();
  if (::DuplicateHandle(process, handle(standard(Standard::output)), process, &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0) {
    file = kNoFile;
    return last_error();
  }
  file = file_of(copy);
  return 0;
}

int close(File file) { return ::CloseHandle(handle(file)) != 0 ? 0 : last_error(); }

// The end of a pipe is an error here and the end of the input to Orvale.
int read(File file, std::span<std::uint8_t> into, std::size_t& got) {
  DWORD count = 0;
  const auto wanted = static_cast<DWORD>(std::min<std::size_t>(into.size(), DWORD{1} << 30));
  const bool read = ::ReadFile(handle(file), into.data(), wanted, &count, nullptr) != 0;
  got = count;
  const DWORD code = read ? ERROR_SUCCESS : ::GetLastError();
  return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF ? 0 : error_of(code);
}

// A read at an offset moves the file pointer here, unlike pread: it is put
// back, for the window that reads on from it.
int read_at(File file, std::uint64_t offset, std::span<std::uint8_t> into, std::size_t& got) {
  got = 0;
  LARGE_INTEGER was{};
  if (::SetFilePointerEx(handle(file), LARGE_INTEGER{}, &was, FILE_CURRENT) == 0) {
    return last_error();
  }
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD count = 0;
  const auto wanted = static_cast<DWORD>(std::min<std::size_t>(into.size(), DWORD{1} << 30));
  const bool read = ::ReadFile(handle(file), into.data(), wanted, &count, &at) != 0;
  const DWORD code = read ? ERROR_SUCCESS : ::GetLastError();
  (void)::SetFilePointerEx(handle(file), was, nullptr, FILE_BEGIN);
  got = count;
  return code == ERROR_HANDLE_EOF ? 0 : error_of(code);
}

int seek(File file, std::uint64_t offset) {
  LARGE_INTEGER to{};
  to.QuadPart = static_cast<LONGLONG>(offset);
  return ::SetFilePointerEx(handle(file), to, nullptr, FILE_BEGIN) != 0 ? 0 : last_error();
}

bool nothing_waiting(File file) {
  DWORD waiting = 0;
  return ::PeekNamedPipe(handle(file), nullptr, 0, nullptr, &waiting, nullptr) != 0 && waiting == 0;
}

void expect_sequential(File file) { (void)file; }

// The system's gathered write takes only unbuffered, page-aligned pieces,
// so the pieces go one call each.
int write(File file, std::span<const Piece> pieces, std::size_t& written) {
  written = 0;
  for (const Piece& piece : pieces) {
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(piece.size, DWORD{1} << 30));
    DWORD count = 0;
    const bool wrote = ::WriteFile(handle(file), piece.bytes, wanted, &count, nullptr) != 0;
    written += count;
    if (!wrote || count < piece.size) {
      // Bytes already out are told first; the failure shows at the next call.
      return wrote || written > 0 ? 0 : last_error();
    }
  }
  return 0;
}

int set_modified(File file, const Time& modified) {
  const std::int64_t steps =
      modified.seconds * kStepsPerSecond + modified.nanoseconds / 100 + kStepsTo1970;
  FILETIME at{};
  at.dwLowDateTime = static_cast<DWORD>(steps);
  at.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(steps) >> 32);
  return ::SetFileTime(handle(file), nullptr, nullptr, &at) != 0 ? 0 : last_error();
}

// Reserving ahead was measured to pay on ext4 alone: nothing is reserved here.
std::uint64_t room_worth_reserving(File /*file*/) { return 0; }

int reserve(File /*file*/, std::uint64_t /*offset*/, std::uint64_t /*length*/) { return ENOSYS; }

int release_reserved(File /*file*/) { return 0; }

int status(File file, FileStatus& found) { return status_of(handle(file), found); }

int status(const std::string& path, bool follow, FileStatus& found) {
  (void)follow;
  File file = kNoFile;
  const int error =
      open_file(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, file);
  if (error != 0) {
    return error;
  }
  const int examined = status_of(handle(file), found);
  (void)close(file);
  return examined;
}

int list_folder(const std::string& path, std::vector<std::string>& names) {
  std::wstring pattern = system_path(path);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') {
    pattern += L'\\';
  }
  const int error = find_names(pattern + L'*', names);
  std::erase_if(names, [](const std::string& name) { return name == "." || name == ".."; });
  return error;
}

// No name is ever told as a link here.
int read_link(const std::string& link, std::string& leads_to) {
  (void)link;
  leads_to.clear();
  return EINVAL;
}

int may_replace(const std::string& path, const FileStatus& file, const FileStatus& folder) {
  (void)path;
  (void)folder;
  return (file.permissions & 0200) == 0 ? EACCES : 0;
}

int rename_over(const std::string& from, const std::string& to) {
  const bool moved = ::MoveFileExW(system_path(from).c_str(), system_path(to).c_str(),
                                   MOVEFILE_REPLACE_EXISTING) != 0;
  return moved ? 0 : last_error();
}

int rename_new(const std::string& from, const std::string& to) {
  const bool moved = ::MoveFileExW(system_path(from).c_str(), system_path(to).c_str(), 0) != 0;
  return moved ? 0 : last_error();
}

int remove(const std::string& path) {
  return ::DeleteFileW(system_path(path).c_str()) != 0 ? 0 : last_error();
}

std::uint8_t* allocate_aligned(std::size_t size, std::size_t alignment) {
  return static_cast<std::uint8_t*>(::_aligned_malloc(size, alignment));
}

void free_aligned(std::uint8_t* bytes) { ::_aligned_free(bytes); }

void prefer_large_pages(std::uint8_t* bytes, std::size_t size) {
  (void)bytes;
  (void)size;
}

// Windows cannot tell which of a file's pages it holds, so an input is
// always read; a mapped page it could no longer read would end the process.
bool pages_in_memory(File file, std::uint64_t size, PagesHeld& counted) {
  (void)file;
  (void)size;
  counted = {};
  return false;
}

std::uint64_t mapping_granularity() { return std::uint64_t{64} * 1024; }

const std::uint8_t* map_to_read(File file, std::uint64_t offset, std::size_t length) {
  (void)file;
  (void)offset;
  (void)length;
  return nullptr;
}

void unmap(const std::uint8_t* bytes, std::size_t length) {
  (void)bytes;
  (void)length;
}

void* load_library(const char* name, std::string& error) {
  HMODULE library = ::LoadLibraryW(wide(name).c_str());
  if (library == nullptr) {
    error =
        std::string(name) + ": cannot be loaded (error " + std::to_string(::GetLastError()) + ")";
  }
  return reinterpret_cast<void*>(library);
}

void* library_symbol(void* library, const char* symbol) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), symbol));
}

}  // namespace orvale::platform
