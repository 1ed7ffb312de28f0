// The main window.
#include "app/corvanel_dlg.h"

#include <objbase.h>
#include <shellapi.h>

#include <cstdint>

#include "app/message_catalogue.h"
#include "app/pause_gate.h"
#include "app/shared_state.h"
#include "res/resource.h"
#include "ui/page_dialog.h"

namespace corvanel {

namespace {

// Design sizes: the main background is 650 x 520, the pages 650 x 396 below
// a band 124 pixels high.
constexpr float kDesignWidth = 650.0f;
constexpr float kDesignHeight = 520.0f;
constexpr float kBandHeight = 124.0f;
constexpr float kPageHeight = 396.0f;

}  // namespace

CCorvanelDlg::CCorvanelDlg()
    : Dialog(IDD_MAIN_WINDOW),
      icon_(static_cast<HICON>(::LoadImageW(ui::Application::Instance(), MAKEINTRESOURCEW(IDI_APPLICATION_ICON),
                                            IMAGE_ICON, 0, 0, LR_DEFAULTSIZE))) {}

std::span<const ui::MessageEntry<CCorvanelDlg>> CCorvanelDlg::MessageMap() {
  static constexpr ui::MessageEntry<CCorvanelDlg> kMap[] = {
      {WM_PAINT, 0, 0, &CCorvanelDlg::OnPaint},
      {WM_QUERYDRAGICON, 0, 0, &CCorvanelDlg::OnQueryDragIcon},
      {WM_COMMAND, IDC_WEB_PAGE, BN_CLICKED, &CCorvanelDlg::OnWebPage},
      {WM_COMMAND, IDC_SHOW_RECOVER_PAGE, BN_CLICKED, &CCorvanelDlg::OnShowRecoverPage},
      {WM_COMMAND, IDC_SHOW_SHRED_PAGE, BN_CLICKED, &CCorvanelDlg::OnShowShredPage},
      {WM_COMMAND, IDC_SHOW_ENCRYPT_PAGE, BN_CLICKED, &CCorvanelDlg::OnShowEncryptPage},
      {WM_LBUTTONDOWN, 0, 0, &CCorvanelDlg::OnLeftButtonDown},
      {WM_COMMAND, IDC_MINIMISE, BN_CLICKED, &CCorvanelDlg::OnMinimise},
      {WM_COMMAND, IDC_CLOSE, BN_CLICKED, &CCorvanelDlg::OnClose},
      {WM_COMMAND, IDC_HELP_FILE, BN_CLICKED, &CCorvanelDlg::OnHelpFile},
      {WM_HELP, 0, 0, &CCorvanelDlg::OnHelp},
  };
  return kMap;
}

bool CCorvanelDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  return ui::DispatchMessageMap(this, MessageMap(), message, wParam, lParam, result);
}

void CCorvanelDlg::DoDataExchange(ui::DataExchange& exchange) {
  ui::ExchangeControl(exchange, IDC_SHOW_RECOVER_PAGE, recoverButton_);
  ui::ExchangeControl(exchange, IDC_SHOW_SHRED_PAGE, shredButton_);
  ui::ExchangeControl(exchange, IDC_SHOW_ENCRYPT_PAGE, encryptButton_);
  ui::ExchangeControl(exchange, IDC_WEB_PAGE, webButton_);
  ui::ExchangeControl(exchange, IDC_CLOSE, closeButton_);
  ui::ExchangeControl(exchange, IDC_MINIMISE, minimiseButton_);
  ui::ExchangeControl(exchange, IDC_HELP_FILE, helpButton_);
}

bool CCorvanelDlg::PreTranslateMessage(MSG& message) { return ui::PageKeyFilter(message); }

BOOL CCorvanelDlg::OnInitDialog() {
  Dialog::OnInitDialog();
  LANGID language = ::GetSystemDefaultLangID();
  if (language == kLanguageEnglish || language == kLanguageChinese) UiLanguage = language;
  ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  recoverButton_.SetSkinBitmaps(IDB_RECOVER_PAGE, IDB_RECOVER_PAGE_HOVER, IDB_RECOVER_PAGE_PRESSED);
  shredButton_.SetSkinBitmaps(IDB_SHRED_PAGE, IDB_SHRED_PAGE_HOVER, IDB_SHRED_PAGE_PRESSED);
  encryptButton_.SetSkinBitmaps(IDB_ENCRYPT_PAGE, IDB_ENCRYPT_PAGE_HOVER, IDB_ENCRYPT_PAGE_PRESSED);
  minimiseButton_.SetSkinBitmaps(IDB_MINIMISE, IDB_MINIMISE_HOVER, IDB_MINIMISE_PRESSED);
  closeButton_.SetSkinBitmaps(IDB_CLOSE, IDB_CLOSE_HOVER, IDB_CLOSE_PRESSED);
  encryptButton_.latched = 1;  // the encrypt page is shown first

  RECT client{};
  ::GetClientRect(hwnd_, &client);
  const float sx = static_cast<float>(client.right - client.left) / kDesignWidth;
  const float sy = static_cast<float>(client.bottom - client.top) / kDesignHeight;
  const int top = static_cast<int>(static_cast<float>(client.top) + kBandHeight * sy);
  const int width = static_cast<int>(kDesignWidth * sx);
  const int height = static_cast<int>(kPageHeight * sy);
  auto place = [&](ui::Dialog& page, int command) {
    page.Create(hwnd_);
    ::MoveWindow(page.hwnd(), 0, top, width, height, TRUE);
    page.Show(command);
  };
  place(recoverPage_, SW_HIDE);
  place(shredPage_, SW_HIDE);
  place(encryptPage_, SW_SHOW);
  EncryptPageWindow = encryptPage_.hwnd();
  RecoverPageWindow = recoverPage_.hwnd();
  ShredPageWindow = shredPage_.hwnd();

  // Centre on the screen (no owner to centre on).
  RECT window{};
  ::GetWindowRect(hwnd_, &window);
  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  ::SetWindowPos(hwnd_, nullptr, work.left + (work.right - work.left - (window.right - window.left)) / 2,
                 work.top + (work.bottom - work.top - (window.bottom - window.top)) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER);
  // A single-threaded apartment: the system's file dialog lives on this
  // thread; in a multithreaded one it is made on a host thread and every
  // call to it crosses apartments (under Wine, Show never returns).
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  recoverPage_.ResetRecoverPage();
  shredPage_.ResetShredPage();
  encryptPage_.ResetEncryptPage();
  return TRUE;
}

void CCorvanelDlg::ShowPage(int index) {
  for (ui::CSkinBtn* button : pageButtons_) {
    button->latched = 0;
    ::InvalidateRect(button->hwnd(), nullptr, FALSE);
  }
  pageButtons_[index]->latched = 1;
  ::InvalidateRect(pageButtons_[index]->hwnd(), nullptr, FALSE);
  recoverPage_.Show(index == kRecoverPageIndex ? SW_SHOW : SW_HIDE);
  shredPage_.Show(index == kShredPageIndex ? SW_SHOW : SW_HIDE);
  encryptPage_.Show(index == kEncryptPageIndex ? SW_SHOW : SW_HIDE);
  UpdateData(false);
}

LRESULT CCorvanelDlg::OnPaint(WPARAM, LPARAM) {
  ui::PaintDc paint(hwnd_);
  ui::PaintStretchedBitmap(hwnd_, paint.get(), IDB_MAIN_BACKGROUND);
  return 0;
}

LRESULT CCorvanelDlg::OnQueryDragIcon(WPARAM, LPARAM) { return reinterpret_cast<LRESULT>(icon_); }

LRESULT CCorvanelDlg::OnShowRecoverPage(WPARAM, LPARAM) {
  ShowPage(kRecoverPageIndex);
  return 0;
}
LRESULT CCorvanelDlg::OnShowShredPage(WPARAM, LPARAM) {
  ShowPage(kShredPageIndex);
  return 0;
}
LRESULT CCorvanelDlg::OnShowEncryptPage(WPARAM, LPARAM) {
  ShowPage(kEncryptPageIndex);
  return 0;
}

LRESULT CCorvanelDlg::OnLeftButtonDown(WPARAM, LPARAM lParam) {
  // The window has no caption: dragging anywhere moves it.
  ::SendMessageW(hwnd_, WM_NCLBUTTONDOWN, HTCAPTION, lParam);
  return 0;
}

LRESULT CCorvanelDlg::OnMinimise(WPARAM, LPARAM) {
  ::ShowWindow(hwnd_, SW_MINIMIZE);
  return 0;
}

LRESULT CCorvanelDlg::OnHelpFile(WPARAM, LPARAM) {
  ::ShellExecuteW(nullptr, L"open", L"Corvanel.chm", nullptr, nullptr, SW_SHOWNORMAL);
  return 0;
}

LRESULT CCorvanelDlg::OnWebPage(WPARAM, LPARAM) {
  ::ShellExecuteW(nullptr, L"open", kWebPageAddress, nullptr, nullptr, SW_SHOWMAXIMIZED);
  return 0;
}

LRESULT CCorvanelDlg::OnClose(WPARAM, LPARAM) {
  struct Running {
    std::atomic<ThreadHandle>* thread;
    std::int32_t prompt;
  };
  const std::int32_t operation = CurrentOperation;
  Running running{};
  switch (operation) {
    case kOperationShred: running = {&ShredThread, prompt::kExitWhileShredding}; break;
    case kOperationEncrypt: running = {&EncryptThread, prompt::kExitWhileEncrypting}; break;
    case kOperationDecrypt: running = {&DecryptThread, prompt::kExitWhileEncrypting}; break;
    case kOperationRecover: running = {&RecoverThread, prompt::kExitWhileRecovering}; break;
    case kOperationScan: running = {&ScanThread, prompt::kExitWhileScanning}; break;
    default:
      ::Sleep(500);
      EndDialog(IDCANCEL);
      return 0;
  }
  // The worker stops at its next gate and waits there, holding nothing,
  // while the question is open: it cannot finish and ask its own question.
  WorkerGate.Close();
  ShowUserPrompt(running.prompt);
  if (LastPromptAnswer != kPromptYes) {
    WorkerGate.Open();
    return 0;
  }
  // Let the worker see the request and take its cancel path (which removes
  // its partial output) before the process ends.
  AbortRequested = 1;
  WorkerGate.Open();
  if (auto worker = static_cast<HANDLE>(running.thread->load())) ui::WaitServingSentMessages(worker, kWorkerCancelWait);
  ::Sleep(500);
  EndDialog(IDCANCEL);
  return 0;
}

}  // namespace corvanel
