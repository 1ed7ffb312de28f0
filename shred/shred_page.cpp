// The shred page.
#include "shred/shred_page.h"

#include <memory>

#include "app/message_catalogue.h"
#include "app/pause_gate.h"
#include "app/shared_state.h"
#include "res/resource.h"
#include "shred/shred_engine.h"
#include "ui/file_open_dialog.h"
#include "volume/file_locate.h"

namespace corvanel {

ui::CPictureEx ShredAnimation;

namespace {

class SystemOwnRestart final : public SystemRestart {
 public:
  bool EnableShutdownPrivilege() override { return corvanel::EnableShutdownPrivilege(); }
  void RequestRestart(UINT flags, DWORD reason) override { ::ExitWindowsEx(flags, reason); }
};

SystemOwnRestart systemOwnRestart;
std::atomic<SystemRestart*> installedRestart{&systemOwnRestart};

// One request: the page and the path it was started for.
struct ShredRequest {
  CShredFileDlg* page;
  std::u16string path;
};

}  // namespace

void InstallSystemRestart(SystemRestart* restart) { installedRestart = restart ? restart : &systemOwnRestart; }

bool EnableShutdownPrivilege() {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &opened)) return false;
  const ui::OwnedHandle token(opened);
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  ::LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid);
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  ::AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
  // Success without the privilege in the token still sets ERROR_NOT_ALL_ASSIGNED.
  return ::GetLastError() == ERROR_SUCCESS;
}

CShredFileDlg::CShredFileDlg() : PageDialog(IDD_SHRED_PAGE, IDB_SHRED_PAGE_BACKGROUND) {}

CShredFileDlg::~CShredFileDlg() = default;

std::span<const ui::MessageEntry<CShredFileDlg>> CShredFileDlg::MessageMap() {
  static constexpr ui::MessageEntry<CShredFileDlg> kMap[] = {
      {WM_COMMAND, IDC_SHRED_CHOOSE_FILE, BN_CLICKED, &CShredFileDlg::ChooseShredFile},
      {WM_COMMAND, IDC_SHRED_START, BN_CLICKED, &CShredFileDlg::StartShred},
  };
  return kMap;
}

bool CShredFileDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  return ui::DispatchMessageMap(this, MessageMap(), message, wParam, lParam, result) ||
         PageDialog::OnMessage(message, wParam, lParam, result);
}

void CShredFileDlg::DoDataExchange(ui::DataExchange& exchange) {
  const std::u16string chosen = ShredFilePath.Get();
  std::wstring path(chosen.begin(), chosen.end());
  ui::ExchangeText(exchange, IDC_SHRED_FILE_PATH, path);
  if (exchange.save) ShredFilePath.Set(std::u16string(path.begin(), path.end()));
  ui::ExchangeControl(exchange, IDC_SHRED_START, startButton_);
  ui::ExchangeControl(exchange, IDC_SHRED_CHOOSE_FILE, chooseButton_);
  ui::ExchangeControl(exchange, IDC_SHRED_ANIMATION, ShredAnimation);
}

void CShredFileDlg::ResetShredPage() {
  ShredFilePath.Set({});
  ShredFileChosen = 0;
  startButton_.SetSkinBitmaps(IDB_SHRED, IDB_SHRED_HOVER, IDB_SHRED_PRESSED);
  chooseButton_.SetSkinBitmaps(IDB_CHOOSE_FILE, IDB_CHOOSE_FILE_HOVER, IDB_CHOOSE_FILE_PRESSED);
}

LRESULT CShredFileDlg::ChooseShredFile(WPARAM, LPARAM) {
  std::optional<std::wstring> path = ui::ChooseFileToOpen(hwnd_);
  if (requestRunning_) {
    // The running request keeps the file it located; this one waits for its end.
    chosenMeanwhile_ = path;
    return 0;
  }
  if (!path) {
    ShredFileChosen = 0;  // the old path stays shown
    return 0;
  }
  ShredFilePath.Set(std::u16string(path->begin(), path->end()));
  ShredFileChosen = 1;
  UpdateData(false);
  return 0;
}

LRESULT CShredFileDlg::StartShred(WPARAM, LPARAM) {
  std::int32_t idle = kOperationIdle;
  if (!CurrentOperation.compare_exchange_strong(idle, kOperationShred)) {
    ShowUserPrompt(prompt::kBusyShredPage);
    return 0;
  }
  if (ShredFileChosen != 1) {
    ShowUserPrompt(prompt::kSelectFileToShred);
    CurrentOperation = kOperationIdle;
    return 0;
  }
  ShowUserPrompt(prompt::kConfirmShred);
  if (LastPromptAnswer != kPromptYes) {
    CurrentOperation = kOperationIdle;
    return 0;
  }
  auto request = std::make_unique<ShredRequest>(ShredRequest{this, ShredFilePath.Get()});
  requestRunning_ = true;
  chosenMeanwhile_.reset();
  if (!ui::StartWorkerThread(ShredWorker, request.get(), ShredThread)) {
    requestRunning_ = false;
    CurrentOperation = kOperationIdle;
    return 0;
  }
  request.release();  // the worker's now
  return 0;
}

void CShredFileDlg::EndRequest() {
  HideBusyAnimation(ShredAnimation, IDC_SHRED_ANIMATION);
  RunOnDialogThread([this] {
    requestRunning_ = false;
    const std::optional<std::wstring> next = std::exchange(chosenMeanwhile_, std::nullopt);
    ShredFilePath.Set(next ? std::u16string(next->begin(), next->end()) : std::u16string());
    ShredFileChosen = next ? 1 : 0;
    UpdateData(false);
    ::RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  });
}

DWORD WINAPI CShredFileDlg::ShredWorker(void* parameter) {
  std::unique_ptr<ShredRequest> request(static_cast<ShredRequest*>(parameter));
  CShredFileDlg& page = *request->page;
  // The locate and the engine read ShredFilePath, which the page leaves
  // alone while this request runs.
  const char driveLetter = static_cast<char>(request->path.empty() ? 0 : request->path[0]);
  std::int32_t errorCode = error_code::kNone;
  page.ShowBusyAnimation(ShredAnimation, IDC_SHRED_ANIMATION);  // until EndRequest
  const bool located = LocateFileClusters(driveLetter, errorCode);
  if (WorkerGate.Pass()) return 1;  // the program is closing; the file is untouched
  if (!located || errorCode != error_code::kNone) {
    ShowErrorPrompt(errorCode);
    page.EndRequest();
    CurrentOperation = kOperationIdle;
    return 1;
  }
  ShredReport report;
  const bool shredded = ShredLocatedFile(driveLetter, errorCode, &report);
  if (report.declined) {
    // Back to before a file was chosen (or to one chosen meanwhile), no further box.
    CurrentOperation = kOperationIdle;
    page.EndRequest();
    return 0;
  }
  if (WorkerGate.Pass()) return shredded ? 0 : 1;
  page.EndRequest();
  if (!shredded) {
    CurrentOperation = kOperationIdle;
    ShowErrorPrompt(errorCode);
    return 1;
  }
  if (WorkerGate.Pass()) return 0;
  ShowUserPrompt(prompt::kRestartAfterShred);
  if (LastPromptAnswer == kPromptYes) {
    SystemRestart* restart = installedRestart;
    restart->EnableShutdownPrivilege();  // the request goes out whatever this says
    restart->RequestRestart(EWX_REBOOT, kRestartReason);
    LastPromptAnswer = 0;
  }
  page.RunOnDialogThread([&page] { ::RedrawWindow(page.hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW); });
  CurrentOperation = kOperationIdle;
  return 0;
}

}  // namespace corvanel
