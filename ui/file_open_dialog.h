// The system's own file-open dialog (the newer, Vista style), as the pages
// use it: one existing file, every file shown.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace corvanel::ui {

// The full path of the file the user opened; nothing on Cancel.
std::optional<std::wstring> ChooseFileToOpen(HWND owner);

// The name and extension of a full path, and the text after the name's last
// "." (empty when it has none).
std::wstring FileNameOf(const std::wstring& path);
std::wstring ExtensionOf(const std::wstring& fileName);

}  // namespace corvanel::ui
