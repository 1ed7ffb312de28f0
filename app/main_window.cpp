// The entry point of Corvanel.exe.
#include <windows.h>

#include "app/corvanel_app.h"
#include "app/message_box_prompter.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  corvanel::ui::Application::SetInstance(instance);
  corvanel::MessageBoxPrompter prompter;
  corvanel::InstallPrompter(&prompter);
  corvanel::CCorvanelApp application;
  application.InitInstance();
  corvanel::InstallPrompter(nullptr);
  return 0;
}
