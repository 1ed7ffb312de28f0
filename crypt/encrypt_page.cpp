// The encrypt page.
#include "crypt/encrypt_page.h"

#include "res/resource.h"

namespace corvanel {

ui::CPictureEx EncryptAnimation;

CEncryptFileDlg::CEncryptFileDlg() : PageDialog(IDD_ENCRYPT_PAGE, IDB_ENCRYPT_PAGE_BACKGROUND) {}

void CEncryptFileDlg::DoDataExchange(ui::DataExchange& exchange) {
  ui::ExchangeControl(exchange, IDC_ENCRYPT_START, encryptButton_);
  ui::ExchangeControl(exchange, IDC_DECRYPT_START, decryptButton_);
  ui::ExchangeControl(exchange, IDC_ENCRYPT_CHOOSE_FILE, chooseButton_);
  ui::ExchangeControl(exchange, IDC_ENCRYPT_ANIMATION, EncryptAnimation);
}

void CEncryptFileDlg::ResetEncryptPage() {
  encryptButton_.SetSkinBitmaps(IDB_ENCRYPT, IDB_ENCRYPT_HOVER, IDB_ENCRYPT_PRESSED);
  decryptButton_.SetSkinBitmaps(IDB_DECRYPT, IDB_DECRYPT_HOVER, IDB_DECRYPT_PRESSED);
  chooseButton_.SetSkinBitmaps(IDB_CHOOSE_FILE, IDB_CHOOSE_FILE_HOVER, IDB_CHOOSE_FILE_PRESSED);
}

}  // namespace corvanel
