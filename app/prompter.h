// The port through which the catalogue and the engines show message boxes:
// MessageBoxW in the window, the terminal in the CLI, a recorder in tests.
#pragma once

#include <string_view>

#include "app/shared_state.h"

namespace corvanel {

// Button sets, with the values MessageBoxW takes for them.
enum class PromptButtons : unsigned { Ok = 0, YesNo = 4 };

// Box results, with the values MessageBoxW returns.
inline constexpr int kPromptOk = 1;
inline constexpr int kPromptYes = 6;
inline constexpr int kPromptNo = 7;

class Prompter {
 public:
  virtual ~Prompter() = default;
  // Shows one box and blocks until it is dismissed; returns the button pressed
  // (kPromptOk, kPromptYes, kPromptNo), or 0 when nothing could be shown
  // or nobody could answer.
  virtual int Show(WindowHandle owner, std::u16string_view text, std::u16string_view caption,
                   PromptButtons buttons) = 0;
};

// The prompter every box of the process goes through. Until one is installed,
// nothing is shown and every box answers 0.
void InstallPrompter(Prompter* prompter);
Prompter* InstalledPrompter();

// Shows a box through the installed prompter.
int ShowPrompt(WindowHandle owner, std::u16string_view text, std::u16string_view caption,
               PromptButtons buttons);

}  // namespace corvanel
