// The shred page: choose a file, confirm, shred it (the worker comes with the
// page's own behaviour).
#pragma once

#include "ui/page_dialog.h"
#include "ui/picture_ex.h"
#include "ui/skin_button.h"

namespace corvanel {

// The busy animation on control 1030, played while a shred runs.
extern ui::CPictureEx ShredAnimation;

class CShredFileDlg : public ui::PageDialog {
 public:
  CShredFileDlg();
  // Once, after the main window made all pages.
  void ResetShredPage();

 protected:
  void DoDataExchange(ui::DataExchange& exchange) override;

 private:
  ui::CSkinBtn startButton_;
  ui::CSkinBtn chooseButton_;
};

}  // namespace corvanel
