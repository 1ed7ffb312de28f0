// The application: one copy at a time, one modal main window.
#pragma once

#include "ui/dialog_layer.h"

namespace corvanel {

// The name of the mutex that keeps a second copy from starting.
inline constexpr wchar_t kSingleInstanceMutex[] = L"Demo_Corvanel";
// What a second copy says before it ends (in Chinese only, whatever the language).
inline constexpr char16_t kAlreadyRunning[] = u"应用程序已经运行!";

class CCorvanelApp : public ui::Application {
 public:
  BOOL InitInstance() override;
};

}  // namespace corvanel
