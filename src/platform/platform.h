// Every call Orvale makes to the operating system, behind one narrow
// interface: posix.cpp implements it for Linux and its kin, windows.cpp for
// Windows. Nothing outside this folder includes a system header.
//
// Paths are UTF-8 everywhere. Errors are errno values (ENOENT, EACCES, ...),
// 0 for none; the Windows side translates its own codes into them, so
// messages and decisions read the same on every system.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace orvale::platform {

// An open file: a descriptor, or on Windows a HANDLE's value.
using File = std::intptr_t;
inline constexpr File kNoFile = -1;

// Which file a name or handle leads to, whatever it was called.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  friend auto operator<=>(const FileId&, const FileId&) = default;
};

struct Time {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  friend bool operator==(const Time&, const Time&) = default;
};

enum class Kind { regular, directory, link, other };

struct FileStatus {
  Kind kind = Kind::other;
  FileId id;
  std::uint64_t size = 0;
  Time modified;
  // Any change to the file or its attributes; tells a file apart from a
  // later one that got the same number.
  Time changed;
  std::uint32_t permissions = 0;  // rwx bits for owner, group, others
  std::uint32_t owner = 0;
  bool sticky = false;  // a folder whose files only their owners may replace
};

// Names may be split at these.
#if defined(_WIN32)
inline constexpr const char* kSeparators = "/\\";
#else
inline constexpr const char* kSeparators = "/";
#endif
// Paths begin with a drive (C:) or a server and share (\\host\share).
#if defined(_WIN32)
inline constexpr bool kDrivesAndShares = true;
#else
inline constexpr bool kDrivesAndShares = false;
#endif
// std::filesystem reads a plain string in the system's code page on
// Windows; names here are UTF-8 on every system.
[[nodiscard]] inline std::filesystem::path path_of(const std::string& utf8) {
  return std::u8string(utf8.begin(), utf8.end());
}
[[nodiscard]] inline std::string utf8_of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}
// How a word is quoted for the command shell users type into: in single
// quotes for a POSIX shell, in double quotes for cmd and PowerShell, where
// backslashes and a drive's colon need none.
#if defined(_WIN32)
inline constexpr char kShellQuote = '"';
inline constexpr const char* kShellPlain = "_./,:+=@%-\\";
#else
inline constexpr char kShellQuote = '\'';
inline constexpr const char* kShellPlain = "_./,:+=@%-";
#endif
// Folders whose files the system makes up (devices, processes): an input
// there has no place beside it for its outputs.
#if defined(_WIN32)
inline constexpr std::array<const char*, 0> kSystemFolders{};
#else
inline constexpr std::array<const char*, 3> kSystemFolders{"/dev", "/proc", "/sys"};
#endif
// The longest directory entry, in bytes.
inline constexpr std::size_t kMaxNameBytes = 255;

// --- the process ---------------------------------------------------------

enum class Standard { input, output, error };

// The command line as UTF-8, whatever the system handed over.
[[nodiscard]] std::vector<std::string> arguments(int argc, char** argv);
// Finds the names in a folder that a pattern's last part matches ("card/*.kvx"
// gives "a.kvx", "B.KVX"), in any order.
using MatchFinder = int (*)(const std::string& pattern, std::vector<std::string>& names);
// Each word after the program's name holding '*' or '?' becomes the names
// it matches, in name order and with the pattern's folder before them; a
// word matching nothing stays as it was. Windows programs do this
// themselves, as no shell there does it for them.
[[nodiscard]] std::vector<std::string> expand_wildcards(const std::vector<std::string>& words,
                                                        MatchFinder find);
// A standard descriptor that a launcher left closed would be taken by the
// first file opened; each is opened on the null device. Gives whether
// standard output was closed; false from `ok` when even that failed.
[[nodiscard]] bool open_standard_files(bool& ok);
// Standard output and error carry bytes as they are: no newline
// translation, UTF-8 names shown as such, and a reader that goes away or a
// file-size limit ends in a failed write rather than a signal.
void prepare_standard_files();
[[nodiscard]] File standard(Standard which);
[[nodiscard]] bool is_terminal(Standard which);
// Whether the terminal on standard error takes "\r\033[K" and the like;
// switches it on where the system offers that.
[[nodiscard]] bool terminal_takes_escapes();

// Calls `cleanup` once when the user interrupts the run (Ctrl-C, kill, a
// closed terminal or console), then ends the process as that interruption
// would have. `cleanup` may only call remove_now() and write_now().
void on_interrupt(void (*cleanup)());
// Calls `cleanup` likewise when an input read in place (map_to_read) could
// no longer be read, then ends the process by that fault.
void on_input_fault(void (*cleanup)());
// While held (the calls nest), `cleanup` waits: what it reads changes as one.
void hold_interrupts();
void release_interrupts();
// For `cleanup`: nothing allocates.
void remove_now(const char* path);
void write_now(Standard which, const char* text, std::size_t length);

// --- files ---------------------------------------------------------------

[[nodiscard]] int open_to_read(const std::string& path, File& file);
// An existing file that is no regular one (a FIFO, a device), for writing.
[[nodiscard]] int open_to_write(const std::string& path, File& file);
// A new file, failing with EEXIST when the name is taken; `like`, when
// given, lends it its permissions.
[[nodiscard]] int create_new(const std::string& path, const FileStatus* like, File& file);
// A new file with no name, in `folder`, that vanishes with its last handle
// unless link_unnamed() names it: what a killed process was writing then
// leaves nothing. EOPNOTSUPP (or another error) where the system or the
// file system cannot make one; the caller then writes to a named file.
[[nodiscard]] int create_unnamed(const std::string& folder, const FileStatus* like, File& file);
// Gives the unnamed `file` the name `path`, failing with EEXIST when taken.
[[nodiscard]] int link_unnamed(File file, const std::string& path);
// A second handle on an open file.
[[nodiscard]] int duplicate(File file, File& copy);
// This machine's name, as other machines sharing a folder know it apart;
// empty when the system does not tell.
[[nodiscard]] std::string host_name();
[[nodiscard]] std::uint64_t process_id();
// True only when no process of this machine has the number `id`.
[[nodiscard]] bool process_gone(std::uint64_t id);
// A second handle on standard output, for writing there as to a file.
[[nodiscard]] int duplicate_standard_output(File& file);
[[nodiscard]] int close(File file);

// Reads up to `into.size()` bytes; `got` 0 is the end of the input.
[[nodiscard]] int read(File file, std::span<std::uint8_t> into, std::size_t& got);
[[nodiscard]] int read_at(File file, std::uint64_t offset, std::span<std::uint8_t> into,
                          std::size_t& got);
[[nodiscard]] int seek(File file, std::uint64_t offset);
// False also when the input cannot tell.
[[nodiscard]] bool nothing_waiting(File file);
// The input will be read front to back.
void expect_sequential(File file);

// One piece of a gathered write.
struct Piece {
  const std::uint8_t* bytes;
  std::size_t size;
};
// Writes the pieces in order, as far as one call goes; `written` may stop
// inside a piece.
[[nodiscard]] int write(File file, std::span<const Piece> pieces, std::size_t& written);
// The most pieces write() takes at once.
inline constexpr std::size_t kMaxPieces = 512;
[[nodiscard]] int set_modified(File file, const Time& modified);
// Free bytes on the file system holding `file` where blocks reserved ahead
// of a file's end make writing it cheaper (ext4, which otherwise books each
// block as it is written); 0 where they would not, or it cannot tell.
[[nodiscard]] std::uint64_t room_worth_reserving(File file);
// Gives `file` the blocks for `length` bytes from `offset` before they are
// written, leaving its size as it is.
[[nodiscard]] int reserve(File file, std::uint64_t offset, std::uint64_t length);
// Lets go of the blocks reserved past the end of `file`.
[[nodiscard]] int release_reserved(File file);

[[nodiscard]] int status(File file, FileStatus& found);
// Of the name itself, or with `follow` of what its links lead to.
[[nodiscard]] int status(const std::string& path, bool follow, FileStatus& found);
// Where the link at `link` points, as it was written.
[[nodiscard]] int read_link(const std::string& link, std::string& leads_to);
// 0 when this user may write the file at `path` and rename over it, in a
// folder whose status is `folder`; EACCES or EPERM when not.
[[nodiscard]] int may_replace(const std::string& path, const FileStatus& file,
                              const FileStatus& folder);
// `from` takes `to`'s place, a file there being replaced in one step.
[[nodiscard]] int rename_over(const std::string& from, const std::string& to);
// `from` takes the name `to` only while nothing stands there: EEXIST when
// something does, even if it came a moment ago.
[[nodiscard]] int rename_new(const std::string& from, const std::string& to);
[[nodiscard]] int remove(const std::string& path);
// The names in the folder at `path`, without "." and "..", in any order.
[[nodiscard]] int list_folder(const std::string& path, std::vector<std::string>& names);

// --- memory --------------------------------------------------------------

// `size` bytes at an `alignment` (a power of two), or null.
[[nodiscard]] std::uint8_t* allocate_aligned(std::size_t size, std::size_t alignment);
void free_aligned(std::uint8_t* bytes);
// A large buffer touched front to back is best held in large pages.
void prefer_large_pages(std::uint8_t* bytes, std::size_t size);

// --- a file's pages read in place ------------------------------------------

// How many of the pages of the file's first `size` bytes the system holds
// in memory now, of how many: read in place, those cost no copy and no wait.
// Of the others, how many it held and let go of, which were read whole then;
// a page whose read failed was never held.
struct PagesHeld {
  std::uint64_t held = 0;  // at most `pages`
  std::uint64_t let_go = 0;  // 0 where the system does not tell
  std::uint64_t pages = 0;
};
// Whether the system can tell; when not, `held` stays 0.
[[nodiscard]] bool pages_in_memory(File file, std::uint64_t size, PagesHeld& counted);
// Offsets a mapping starts at are multiples of this.
[[nodiscard]] std::uint64_t mapping_granularity();
// `length` bytes of `file` from `offset`, to be read in place; null when
// they cannot be. A page that can no longer be read, or a file cut shorter
// meanwhile, ends the process (see on_input_fault).
[[nodiscard]] const std::uint8_t* map_to_read(File file, std::uint64_t offset, std::size_t length);
void unmap(const std::uint8_t* bytes, std::size_t length);

// --- libraries loaded when first needed ----------------------------------

// Opens the shared library `name` (a file name the system's loader finds);
// null, with `error` saying why, when it cannot.
[[nodiscard]] void* load_library(const char* name, std::string& error);
// The address of `symbol` in a library load_library opened, or null.
[[nodiscard]] void* library_symbol(void* library, const char* symbol);

}  // namespace orvale::platform
