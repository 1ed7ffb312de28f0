// Start-up of the window.
#include "app/corvanel_app.h"

#include <commctrl.h>

#include "app/corvanel_dlg.h"
#include "app/prompter.h"

namespace corvanel {

BOOL CCorvanelApp::InitInstance() {
  // Held until the process ends.
  ::CreateMutexW(nullptr, FALSE, kSingleInstanceMutex);
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ShowPrompt(nullptr, kAlreadyRunning, u"Corvanel", PromptButtons::Ok);
    return FALSE;
  }
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&controls);
  CCorvanelDlg dialog;
  dialog.DoModal();
  return FALSE;
}

}  // namespace corvanel
