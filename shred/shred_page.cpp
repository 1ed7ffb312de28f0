// The shred page.
#include "shred/shred_page.h"

#include "app/shared_state.h"
#include "res/resource.h"

namespace corvanel {

ui::CPictureEx ShredAnimation;

CShredFileDlg::CShredFileDlg() : PageDialog(IDD_SHRED_PAGE, IDB_SHRED_PAGE_BACKGROUND) {}

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

}  // namespace corvanel
