// The main window: a borderless skinned dialog with three page buttons, four
// small title-bar buttons and the three pages below them, one shown at a time.
#pragma once

#include <windows.h>

#include "crypt/encrypt_page.h"
#include "recover/recover_page.h"
#include "shred/shred_page.h"
#include "ui/dialog_layer.h"
#include "ui/skin_button.h"

namespace corvanel {

enum PageIndex { kRecoverPageIndex = 0, kShredPageIndex = 1, kEncryptPageIndex = 2 };

// How long a confirmed exit lets the worker take its cancel path.
inline constexpr DWORD kWorkerCancelWait = 15000;

class CCorvanelDlg : public ui::Dialog {
 public:
  CCorvanelDlg();

  bool PreTranslateMessage(MSG& message) override;
  // Shows one page and latches its button.
  void ShowPage(int index);

  ui::CSkinBtn& PageButton(int index) { return *pageButtons_[index]; }
  CRecoverFileDlg& recoverPage() { return recoverPage_; }
  CShredFileDlg& shredPage() { return shredPage_; }
  CEncryptFileDlg& encryptPage() { return encryptPage_; }

 protected:
  BOOL OnInitDialog() override;
  void DoDataExchange(ui::DataExchange& exchange) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  static std::span<const ui::MessageEntry<CCorvanelDlg>> MessageMap();
  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnQueryDragIcon(WPARAM, LPARAM);
  LRESULT OnWebPage(WPARAM, LPARAM);
  LRESULT OnShowRecoverPage(WPARAM, LPARAM);
  LRESULT OnShowShredPage(WPARAM, LPARAM);
  LRESULT OnShowEncryptPage(WPARAM, LPARAM);
  LRESULT OnLeftButtonDown(WPARAM, LPARAM);
  LRESULT OnMinimise(WPARAM, LPARAM);
  LRESULT OnClose(WPARAM, LPARAM);
  LRESULT OnHelpFile(WPARAM, LPARAM);
  LRESULT OnHelp(WPARAM, LPARAM) { return TRUE; }

  ui::CSkinBtn recoverButton_, shredButton_, encryptButton_, webButton_, closeButton_, minimiseButton_, helpButton_;
  ui::CSkinBtn* pageButtons_[3] = {&recoverButton_, &shredButton_, &encryptButton_};
  HICON icon_;
  CRecoverFileDlg recoverPage_;
  CShredFileDlg shredPage_;
  CEncryptFileDlg encryptPage_;
};

// The web page the title-bar button opens.
inline constexpr wchar_t kWebPageAddress[] = L"https://corvanel.example/";

}  // namespace corvanel
