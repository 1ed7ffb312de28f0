// The file-open dialog.
#include "ui/file_open_dialog.h"

#include <shobjidl.h>

namespace corvanel::ui {
namespace {

template <typename Interface>
struct Released {
  Interface* pointer = nullptr;
  ~Released() {
    if (pointer) pointer->Release();
  }
};

}  // namespace

std::optional<std::wstring> ChooseFileToOpen(HWND owner) {
  Released<IFileOpenDialog> dialog;
  if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog.pointer))))
    return std::nullopt;
  // "All Files (*.*)|*.*||"; an existing file, no default extension or name.
  const COMDLG_FILTERSPEC filter[] = {{L"All Files (*.*)", L"*.*"}};
  dialog.pointer->SetFileTypes(1, filter);
  FILEOPENDIALOGOPTIONS options = 0;
  dialog.pointer->GetOptions(&options);
  dialog.pointer->SetOptions(options | FOS_FORCEFILESYSTEM | FOS_FILEMUSTEXIST | FOS_PATHMUSTEXIST);
  if (FAILED(dialog.pointer->Show(owner))) return std::nullopt;
  Released<IShellItem> item;
  if (FAILED(dialog.pointer->GetResult(&item.pointer))) return std::nullopt;
  PWSTR path = nullptr;
  if (FAILED(item.pointer->GetDisplayName(SIGDN_FILESYSPATH, &path))) return std::nullopt;
  std::wstring chosen(path);
  ::CoTaskMemFree(path);
  return chosen;
}

std::wstring FileNameOf(const std::wstring& path) {
  std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ExtensionOf(const std::wstring& fileName) {
  std::size_t dot = fileName.rfind(L'.');
  return dot == std::wstring::npos ? std::wstring() : fileName.substr(dot + 1);
}

}  // namespace corvanel::ui
