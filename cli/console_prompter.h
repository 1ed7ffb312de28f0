// Message boxes on the terminal: the text on the error stream; a Yes/No
// question is answered by --yes, by the user, or No when nobody can answer.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "app/prompter.h"

namespace corvanel::cli {

class ConsolePrompter final : public Prompter {
 public:
  using LineReader = std::function<std::optional<std::string>()>;

  // readLine is empty when there is no terminal to ask.
  ConsolePrompter(std::ostream& stream, bool assumeYes, LineReader readLine)
      : stream_(stream), assumeYes_(assumeYes), readLine_(std::move(readLine)) {}

  int Show(WindowHandle owner, std::u16string_view text, std::u16string_view caption,
           PromptButtons buttons) override;

 private:
  std::ostream& stream_;
  bool assumeYes_;
  LineReader readLine_;
};

}  // namespace corvanel::cli
