// Message boxes through MessageBoxW, owned by a page window; no icon flag.
#include "app/message_box_prompter.h"

#include <windows.h>

#include <string>

namespace corvanel {

int MessageBoxPrompter::Show(WindowHandle owner, std::u16string_view text, std::u16string_view caption,
                             PromptButtons buttons) {
  // MessageBoxW wants terminated strings.
  std::wstring wideText(text.begin(), text.end());
  std::wstring wideCaption(caption.begin(), caption.end());
  return ::MessageBoxW(static_cast<HWND>(owner), wideText.c_str(), wideCaption.c_str(),
                       static_cast<UINT>(buttons));
}

}  // namespace corvanel
