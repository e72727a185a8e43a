// What the Windows platform room's files share: handles as Orvale's files,
// the system's error codes as errno values, and names between UTF-8 and the
// system's UTF-16.
#pragma once

#include "platform/windows_api.h"

#include <string>
#include <vector>

#include "platform/platform.h"

namespace orvale::platform::win {

[[nodiscard]] HANDLE handle(File file);
[[nodiscard]] File file_of(HANDLE opened);
[[nodiscard]] int error_of(DWORD code);
[[nodiscard]] int last_error();
[[nodiscard]] std::wstring wide(const std::string& text);
[[nodiscard]] std::string narrow(const wchar_t* text);
// A path past MAX_PATH takes the \\?\ form.
[[nodiscard]] std::wstring system_path(const std::string& path);
// The names a FindFirstFileW search for `pattern` gives, "." and ".." among them.
[[nodiscard]] int find_names(const std::wstring& pattern, std::vector<std::string>& names);

}  // namespace orvale::platform::win
