// The process-wide prompter.
#include "app/prompter.h"

#include <atomic>

namespace corvanel {
namespace {
std::atomic<Prompter*> installedPrompter{nullptr};
}  // namespace

void InstallPrompter(Prompter* prompter) { installedPrompter = prompter; }

Prompter* InstalledPrompter() { return installedPrompter; }

int ShowPrompt(WindowHandle owner, std::u16string_view text, std::u16string_view caption,
               PromptButtons buttons) {
  Prompter* prompter = installedPrompter;
  return prompter ? prompter->Show(owner, text, caption, buttons) : 0;
}

}  // namespace corvanel
