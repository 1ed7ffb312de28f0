// The folder browser.
#include "ui/folder_browser.h"

#include <shlobj.h>

namespace corvanel::ui {

std::optional<std::wstring> ChooseFolder(HWND owner, const wchar_t* title) {
  BROWSEINFOW browse{};
  browse.hwndOwner = owner;
  browse.lpszTitle = title;
  browse.ulFlags = BIF_RETURNONLYFSDIRS;
  PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&browse);
  if (!chosen) return std::nullopt;
  wchar_t path[MAX_PATH] = {};
  const bool named = ::SHGetPathFromIDListW(chosen, path);
  ::CoTaskMemFree(chosen);
  // A choice with no file-system path (BIF_RETURNONLYFSDIRS lets few through) is no folder.
  if (!named) return std::wstring();
  return std::wstring(path);
}

}  // namespace corvanel::ui
