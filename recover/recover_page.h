// The recover page: drives, the deleted files of the chosen one, a destination
// (the scan and recovery workers come with the page's own behaviour).
#pragma once

#include "ui/page_dialog.h"
#include "ui/picture_ex.h"
#include "ui/skin_button.h"

namespace corvanel {

// The busy animation on control 1032, played while a scan or a recovery runs.
extern ui::CPictureEx RecoverAnimation;

class CRecoverFileDlg : public ui::PageDialog {
 public:
  CRecoverFileDlg();
  // Once, after the main window made all pages.
  void ResetRecoverPage();

 protected:
  void DoDataExchange(ui::DataExchange& exchange) override;

 private:
  ui::CSkinBtn recoverButton_;
  ui::CSkinBtn chooseButton_;
};

}  // namespace corvanel
