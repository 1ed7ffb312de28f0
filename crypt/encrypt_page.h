// The encrypt page: choose a file, a cipher and a key, then encrypt or
// decrypt it on a worker thread while the busy animation plays.
#pragma once

#include <string>

#include "ui/page_dialog.h"
#include "ui/picture_ex.h"
#include "ui/skin_button.h"

namespace corvanel {

// The page's values; the window's thread alone writes them (a worker works
// on its own copies and asks the page to change them).
extern std::wstring SelectedFilePath;       // shown in 1008
extern std::wstring SelectedFileName;       // name and extension
extern std::wstring SelectedFileExtension;  // after the name's last "."
extern std::wstring KeyText;                // typed in 1013, at most 16 characters
extern int FileChosen;                      // 1 once a file was chosen
// The busy animation on control 1031, played while a file is encrypted or decrypted.
extern ui::CPictureEx EncryptAnimation;

// The two entries of the cipher list, in their order.
inline constexpr wchar_t kDesEntry[] = L"***  DES";
inline constexpr wchar_t kRc6Entry[] = L"***  RC6";

class CEncryptFileDlg : public ui::PageDialog {
 public:
  CEncryptFileDlg();
  // Once, after the main window made all pages.
  void ResetEncryptPage();

 protected:
  void DoDataExchange(ui::DataExchange& exchange) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  static std::span<const ui::MessageEntry<CEncryptFileDlg>> MessageMap();
  LRESULT OnChooseFile(WPARAM, LPARAM);
  LRESULT OnEncrypt(WPARAM, LPARAM);
  LRESULT OnDecrypt(WPARAM, LPARAM);
  LRESULT OnCipherChanged(WPARAM, LPARAM);
  LRESULT OnLabelColour(WPARAM, LPARAM);
  void StartOperation(std::int32_t operation);

  static DWORD WINAPI EncryptWorker(void* parameter);
  static DWORD WINAPI DecryptWorker(void* parameter);
  // After an attempt: animation hidden, key field emptied.
  void EndAttempt() const;

  ui::CSkinBtn encryptButton_;
  ui::CSkinBtn decryptButton_;
  ui::CSkinBtn chooseButton_;
};

}  // namespace corvanel
