// Message boxes through MessageBoxW.
#pragma once

#include "app/prompter.h"

namespace corvanel {

class MessageBoxPrompter final : public Prompter {
 public:
  int Show(WindowHandle owner, std::u16string_view text, std::u16string_view caption,
           PromptButtons buttons) override;
};

}  // namespace corvanel
