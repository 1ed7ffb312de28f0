// A prompter for tests: records every box and answers from a script.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "app/prompter.h"

namespace corvanel::testing {

struct ShownBox {
  WindowHandle owner;
  std::u16string text;
  std::u16string caption;
  PromptButtons buttons;
};

class RecordingPrompter final : public Prompter {
 public:
  // Installs itself for the lifetime of the object.
  RecordingPrompter();
  ~RecordingPrompter() override;

  // The answers to give, in order; with none left, OK boxes answer kPromptOk
  // and Yes/No boxes kPromptNo.
  void Answer(std::initializer_list<int> answers) { answers_.insert(answers_.end(), answers); }

  int Show(WindowHandle owner, std::u16string_view text, std::u16string_view caption,
           PromptButtons buttons) override;

  const std::vector<ShownBox>& shown() const { return shown_; }

 private:
  std::vector<ShownBox> shown_;
  std::deque<int> answers_;
  Prompter* previous_;
};

}  // namespace corvanel::testing
