// The system's folder browser, as the recover page uses it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace corvanel::ui {

// The file-system folder the user chose under a title; nothing on Cancel.
std::optional<std::wstring> ChooseFolder(HWND owner, const wchar_t* title);

}  // namespace corvanel::ui
