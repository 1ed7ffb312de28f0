// The encrypt page.
#include "crypt/encrypt_page.h"

#include <memory>

#include "app/message_catalogue.h"
#include "app/pause_gate.h"
#include "app/shared_state.h"
#include "crypt/cipher_table.h"
// windows.h maps these names to its own file-encryption calls; the engine's
// are meant.
#undef EncryptFile
#undef DecryptFile
#include "crypt/file_encryption.h"
#include "res/resource.h"
#include "ui/file_open_dialog.h"

namespace corvanel {

std::wstring SelectedFilePath;
std::wstring SelectedFileName;
std::wstring SelectedFileExtension;
std::wstring KeyText;
int FileChosen = 0;
ui::CPictureEx EncryptAnimation;

namespace {

// What one request works on, copied when it starts: choosing another file,
// key or cipher meanwhile changes nothing for it.
struct CryptRequest {
  const CEncryptFileDlg* page;
  std::u16string key, path, name, extension;
  AlgorithmId algorithm;
};

std::u16string ToU16(const std::wstring& text) { return {text.begin(), text.end()}; }

// Between the engine's chunks: where the worker waits while the window asks
// whether to leave.
class GateObserver final : public FileCryptObserver {
 public:
  void OnProgress(std::uint64_t) override { WorkerGate.Pass(); }
};

}  // namespace

CEncryptFileDlg::CEncryptFileDlg() : PageDialog(IDD_ENCRYPT_PAGE, IDB_ENCRYPT_PAGE_BACKGROUND) {}

std::span<const ui::MessageEntry<CEncryptFileDlg>> CEncryptFileDlg::MessageMap() {
  static constexpr ui::MessageEntry<CEncryptFileDlg> kMap[] = {
      {WM_COMMAND, IDC_ENCRYPT_CHOOSE_FILE, BN_CLICKED, &CEncryptFileDlg::OnChooseFile},
      {WM_COMMAND, IDC_ENCRYPT_START, BN_CLICKED, &CEncryptFileDlg::OnEncrypt},
      {WM_COMMAND, IDC_DECRYPT_START, BN_CLICKED, &CEncryptFileDlg::OnDecrypt},
      {WM_COMMAND, IDC_CIPHER, CBN_SELCHANGE, &CEncryptFileDlg::OnCipherChanged},
      {WM_CTLCOLORSTATIC, 0, 0, &CEncryptFileDlg::OnLabelColour},
  };
  return kMap;
}

bool CEncryptFileDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (message == WM_CTLCOLORSTATIC) {
    const int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
    if (id != IDC_CIPHER_LABEL && id != IDC_KEY_LABEL) return PageDialog::OnMessage(message, wParam, lParam, result);
  }
  return ui::DispatchMessageMap(this, MessageMap(), message, wParam, lParam, result) ||
         PageDialog::OnMessage(message, wParam, lParam, result);
}

void CEncryptFileDlg::DoDataExchange(ui::DataExchange& exchange) {
  ui::ExchangeText(exchange, IDC_ENCRYPT_FILE_PATH, SelectedFilePath);
  ui::ExchangeControl(exchange, IDC_ENCRYPT_START, encryptButton_);
  ui::ExchangeControl(exchange, IDC_DECRYPT_START, decryptButton_);
  ui::ExchangeControl(exchange, IDC_ENCRYPT_CHOOSE_FILE, chooseButton_);
  ui::ExchangeControl(exchange, IDC_ENCRYPT_ANIMATION, EncryptAnimation);
  ui::ExchangeText(exchange, IDC_KEY, KeyText);
  ui::ExchangeMaxChars(exchange, IDC_KEY, KeyText, static_cast<int>(kKeyTextLength));
}

void CEncryptFileDlg::ResetEncryptPage() {
  SelectedFileExtension.clear();
  SelectedFileName.clear();
  SelectedFilePath.clear();
  KeyText.clear();
  FileChosen = 0;
  SelectedAlgorithm = algorithm::kDes;
  HWND cipher = ::GetDlgItem(hwnd_, IDC_CIPHER);
  ::SendMessageW(cipher, CB_RESETCONTENT, 0, 0);
  ::SendMessageW(cipher, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kDesEntry));
  ::SendMessageW(cipher, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kRc6Entry));
  ::SendMessageW(cipher, CB_SETCURSEL, 0, 0);
  encryptButton_.SetSkinBitmaps(IDB_ENCRYPT, IDB_ENCRYPT_HOVER, IDB_ENCRYPT_PRESSED);
  decryptButton_.SetSkinBitmaps(IDB_DECRYPT, IDB_DECRYPT_HOVER, IDB_DECRYPT_PRESSED);
  chooseButton_.SetSkinBitmaps(IDB_CHOOSE_FILE, IDB_CHOOSE_FILE_HOVER, IDB_CHOOSE_FILE_PRESSED);
}

LRESULT CEncryptFileDlg::OnCipherChanged(WPARAM, LPARAM) {
  // The list is sorted, and "***  DES" sorts before "***  RC6".
  switch (::SendDlgItemMessageW(hwnd_, IDC_CIPHER, CB_GETCURSEL, 0, 0)) {
    case 0: SelectedAlgorithm = algorithm::kDes; break;
    case 1: SelectedAlgorithm = algorithm::kRc6; break;
    default: break;
  }
  return 0;
}

LRESULT CEncryptFileDlg::OnLabelColour(WPARAM wParam, LPARAM) {
  auto dc = reinterpret_cast<HDC>(wParam);
  ::SetTextColor(dc, RGB(255, 255, 255));
  ::SetBkMode(dc, TRANSPARENT);
  return reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
}

LRESULT CEncryptFileDlg::OnChooseFile(WPARAM, LPARAM) {
  if (std::optional<std::wstring> path = ui::ChooseFileToOpen(hwnd_)) {
    SelectedFilePath = *path;
    SelectedFileName = ui::FileNameOf(*path);
    SelectedFileExtension = ui::ExtensionOf(SelectedFileName);
    FileChosen = 1;
    // The key stays as typed.
    ui::DataExchange key{hwnd_, true};
    ui::ExchangeText(key, IDC_KEY, KeyText);
    UpdateData(false);
  } else {
    SelectedFilePath.clear();
    ::SetDlgItemTextW(hwnd_, IDC_ENCRYPT_FILE_PATH, L"");
    FileChosen = 0;
  }
  return 0;
}

LRESULT CEncryptFileDlg::OnEncrypt(WPARAM, LPARAM) {
  StartOperation(kOperationEncrypt);
  return 0;
}

LRESULT CEncryptFileDlg::OnDecrypt(WPARAM, LPARAM) {
  StartOperation(kOperationDecrypt);
  return 0;
}

void CEncryptFileDlg::StartOperation(std::int32_t operation) {
  std::int32_t idle = kOperationIdle;
  if (!CurrentOperation.compare_exchange_strong(idle, operation)) {
    ShowUserPrompt(prompt::kBusyEncryptPage);
    return;
  }
  UpdateData(true);
  if (FileChosen != 1) {
    CurrentOperation = kOperationIdle;
    ShowUserPrompt(prompt::kChooseStandardFile);
    return;
  }
  if (std::int32_t refusal = KeyTextRefusal(ToU16(KeyText))) {
    CurrentOperation = kOperationIdle;
    ShowUserPrompt(refusal);
    return;
  }
  auto request = std::make_unique<CryptRequest>(CryptRequest{
      this, ToU16(KeyText), ToU16(SelectedFilePath), ToU16(SelectedFileName), ToU16(SelectedFileExtension),
      SelectedAlgorithm.load()});
  const bool encrypting = operation == kOperationEncrypt;
  if (!ui::StartWorkerThread(encrypting ? EncryptWorker : DecryptWorker, request.get(),
                             encrypting ? EncryptThread : DecryptThread)) {
    CurrentOperation = kOperationIdle;
    return;
  }
  request.release();  // the worker's now
  ShowUserPrompt(prompt::kNone);
}

void CEncryptFileDlg::EndAttempt() const {
  HideBusyAnimation(EncryptAnimation, IDC_ENCRYPT_ANIMATION);
  RunOnDialogThread([this] {
    KeyText.clear();
    ::SetDlgItemTextW(hwnd_, IDC_KEY, L"");
  });
}

DWORD WINAPI CEncryptFileDlg::EncryptWorker(void* parameter) {
  std::unique_ptr<CryptRequest> request(static_cast<CryptRequest*>(parameter));
  const CEncryptFileDlg& page = *request->page;
  page.ShowBusyAnimation(EncryptAnimation, IDC_ENCRYPT_ANIMATION);
  std::int32_t errorCode = error_code::kNone;
  GateObserver gate;
  EncryptFile(request->key, request->path, request->name, request->algorithm, errorCode, &gate);
  if (WorkerGate.Pass()) return 0;  // the program is closing
  page.EndAttempt();
  if (WorkerGate.Pass()) return 0;
  if (errorCode == error_code::kNone)
    ShowUserPrompt(prompt::kEncryptDone);
  else
    ShowErrorPrompt(errorCode);
  // Only now: while the note is open, nothing else may start.
  CurrentOperation = kOperationIdle;
  return 0;
}

DWORD WINAPI CEncryptFileDlg::DecryptWorker(void* parameter) {
  std::unique_ptr<CryptRequest> request(static_cast<CryptRequest*>(parameter));
  const CEncryptFileDlg& page = *request->page;
  std::u16string extension = request->extension;
  if (extension.size() > 4) extension.erase(0, extension.size() - 4);
  page.RunOnDialogThread([&] { SelectedFileExtension.assign(extension.begin(), extension.end()); });
  if (FindCipher(request->algorithm) && extension != SuffixOf(request->algorithm)) {
    if (WorkerGate.Pass()) return 0;  // not while the exit question is open
    CurrentOperation = kOperationIdle;
    ShowUserPrompt(prompt::kCipherMismatch);
    return 0;
  }
  page.ShowBusyAnimation(EncryptAnimation, IDC_ENCRYPT_ANIMATION);
  std::int32_t errorCode = error_code::kNone;
  GateObserver gate;
  DecryptFile(request->key, request->path, request->algorithm, errorCode, &gate);
  if (WorkerGate.Pass()) return 0;  // the program is closing
  page.EndAttempt();
  if (WorkerGate.Pass()) return 0;
  // The program is free again before the note.
  CurrentOperation = kOperationIdle;
  if (errorCode == error_code::kNone)
    ShowUserPrompt(prompt::kDecryptDone);
  else
    ShowErrorPrompt(errorCode);
  return 0;
}

}  // namespace corvanel
