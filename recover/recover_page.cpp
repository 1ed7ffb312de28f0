// The recover page.
#include "recover/recover_page.h"

#include "res/resource.h"

namespace corvanel {

ui::CPictureEx RecoverAnimation;

CRecoverFileDlg::CRecoverFileDlg() : PageDialog(IDD_RECOVER_PAGE, IDB_RECOVER_PAGE_BACKGROUND) {}

void CRecoverFileDlg::DoDataExchange(ui::DataExchange& exchange) {
  ui::ExchangeControl(exchange, IDC_RECOVER_START, recoverButton_);
  ui::ExchangeControl(exchange, IDC_RECOVER_CHOOSE_FOLDER, chooseButton_);
  ui::ExchangeControl(exchange, IDC_RECOVER_ANIMATION, RecoverAnimation);
}

void CRecoverFileDlg::ResetRecoverPage() {
  recoverButton_.SetSkinBitmaps(IDB_RECOVER, IDB_RECOVER_HOVER, IDB_RECOVER_PRESSED);
  chooseButton_.SetSkinBitmaps(IDB_CHOOSE_FOLDER, IDB_CHOOSE_FOLDER_HOVER, IDB_CHOOSE_FOLDER_PRESSED);
}

}  // namespace corvanel
