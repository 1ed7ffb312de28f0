// The shred page: choose a file, confirm, and a worker thread locates it on
// the raw volume, shreds it and offers to restart the computer.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "ui/page_dialog.h"
#include "ui/picture_ex.h"
#include "ui/skin_button.h"

namespace corvanel {

// The busy animation on control 1030, played while a shred runs.
extern ui::CPictureEx ShredAnimation;

// Where the restart after a shred goes: the system in the program, a
// recorder in tests.
class SystemRestart {
 public:
  virtual ~SystemRestart() = default;
  virtual bool EnableShutdownPrivilege() = 0;
  virtual void RequestRestart(UINT flags, DWORD reason) = 0;
};
// nullptr puts the system's own back.
void InstallSystemRestart(SystemRestart* restart);

// Enables SeShutdownPrivilege in the process's token; false when the token
// does not hold it or cannot be adjusted.
bool EnableShutdownPrivilege();

// The reason the restart request gives (a shred left the volume changed).
inline constexpr DWORD kRestartReason = 4;

class CShredFileDlg : public ui::PageDialog {
 public:
  CShredFileDlg();
  ~CShredFileDlg() override;
  // Once, after the main window made all pages.
  void ResetShredPage();

 protected:
  void DoDataExchange(ui::DataExchange& exchange) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  static std::span<const ui::MessageEntry<CShredFileDlg>> MessageMap();
  LRESULT ChooseShredFile(WPARAM, LPARAM);
  LRESULT StartShred(WPARAM, LPARAM);
  static DWORD WINAPI ShredWorker(void* parameter);
  // The end of a request, on the page's thread: the animation hidden, the
  // path emptied (or the file chosen meanwhile taken up), the page redrawn.
  void EndRequest();

  ui::CSkinBtn startButton_;
  ui::CSkinBtn chooseButton_;
  // Page thread only: a request runs; a file chosen while it ran.
  bool requestRunning_ = false;
  std::optional<std::wstring> chosenMeanwhile_;
};

}  // namespace corvanel
