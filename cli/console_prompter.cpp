// Message boxes on the terminal.
#include "cli/console_prompter.h"

#include <algorithm>
#include <cctype>

#include "cli/commands.h"
#include "cli/progress_line.h"
#include "platform/text_encoding.h"

namespace corvanel::cli {
namespace {

// Trailing blanks and line breaks of a text are the box's, not the terminal's.
std::string ForTerminal(std::u16string_view text) {
  std::string line = Printable(platform::Utf16ToUtf8(text), true);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

bool IsYes(std::string answer) {
  std::transform(answer.begin(), answer.end(), answer.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  answer.erase(0, answer.find_first_not_of(" \t"));
  answer.erase(answer.find_last_not_of(" \t\r") + 1);
  return answer == "y" || answer == "yes";
}

}  // namespace

int ConsolePrompter::Show(WindowHandle, std::u16string_view text, std::u16string_view, PromptButtons buttons) {
  ClearProgressLine();  // the box starts at the left, not after the progress
  // Each box goes out in one write.
  std::string line = ForTerminal(text);
  auto emit = [&](std::string_view tail) {
    line += tail;
    stream_.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream_.flush();
  };
  if (buttons == PromptButtons::Ok) {
    emit("\n");
    return kPromptOk;
  }
  if (assumeYes_) {
    emit(" [y/N] yes (--yes)\n");
    return kPromptYes;
  }
  if (!readLine_) {
    // Not a No: nobody answered, and the engine may take that otherwise.
    emit(" [y/N] no (no terminal to ask)\n");
    return 0;
  }
  emit(" [y/N] ");
  std::optional<std::string> answer = readLine_();
  if (!answer) stream_ << '\n' << std::flush;
  return answer && IsYes(*answer) ? kPromptYes : kPromptNo;
}

}  // namespace corvanel::cli
