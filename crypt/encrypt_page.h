// The encrypt page: choose a file, a cipher and a key, encrypt or decrypt
// (the workers come with the page's own behaviour).
#pragma once

#include "ui/page_dialog.h"
#include "ui/picture_ex.h"
#include "ui/skin_button.h"

namespace corvanel {

// The busy animation on control 1031, played while a file is encrypted or decrypted.
extern ui::CPictureEx EncryptAnimation;

class CEncryptFileDlg : public ui::PageDialog {
 public:
  CEncryptFileDlg();
  // Once, after the main window made all pages.
  void ResetEncryptPage();

 protected:
  void DoDataExchange(ui::DataExchange& exchange) override;

 private:
  ui::CSkinBtn encryptButton_;
  ui::CSkinBtn decryptButton_;
  ui::CSkinBtn chooseButton_;
};

}  // namespace corvanel
