// Boxes on the terminal: who answers a Yes/No question, and where a box starts.
#include "cli/console_prompter.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/progress_line.h"

namespace corvanel::cli {
namespace {

ConsolePrompter::LineReader Says(std::optional<std::string> line) {
  return [line] { return line; };
}

TEST(ConsolePrompter, OkBoxesPrintTheTextWithoutItsTrailingBlank) {
  std::ostringstream stream;
  ConsolePrompter prompter(stream, false, {});
  EXPECT_EQ(prompter.Show(nullptr, u"Lack of hard disk space! \r\n", u"Prompt", PromptButtons::Ok), kPromptOk);
  EXPECT_EQ(stream.str(), "Lack of hard disk space!\n");
}

TEST(ConsolePrompter, YesNoAnswers) {
  std::ostringstream stream;
  const std::u16string_view question = u"Shreding files\uff01Continue? ";
  EXPECT_EQ(ConsolePrompter(stream, true, {}).Show(nullptr, question, u"Prompt", PromptButtons::YesNo), kPromptYes);
  // Nobody to ask: no answer, which is not a No.
  EXPECT_EQ(ConsolePrompter(stream, false, {}).Show(nullptr, question, u"Prompt", PromptButtons::YesNo), 0);
  for (const char* yes : {"y", "Y", "yes", " YES \r"})
    EXPECT_EQ(ConsolePrompter(stream, false, Says(yes)).Show(nullptr, question, u"", PromptButtons::YesNo),
              kPromptYes)
        << yes;
  for (std::optional<std::string> no : {std::optional<std::string>("n"), std::optional<std::string>(""),
                                        std::optional<std::string>("yep"), std::optional<std::string>()})
    EXPECT_EQ(ConsolePrompter(stream, false, Says(no)).Show(nullptr, question, u"", PromptButtons::YesNo), kPromptNo);
  EXPECT_NE(stream.str().find("Shreding files\xef\xbc\x81" "Continue? [y/N]"), std::string::npos);
}

TEST(ConsolePrompter, ABoxTakesTheProgressLineOffTheTerminalFirst) {
  std::ostringstream err;
  Console console{err, err, false, true};
  ProgressLine progress(console, ProgressLine::Work::Shred);
  progress.SetTotal(1 << 20);
  progress.Advance(1 << 19);
  const std::string drawn = "\rshred: 0.5 MiB of 1.0 MiB overwritten (50%)";
  ASSERT_EQ(err.str(), drawn);
  ConsolePrompter(err, false, {}).Show(nullptr, u"Notice", u"", PromptButtons::Ok);
  EXPECT_EQ(err.str(), drawn + "\r" + std::string(drawn.size() - 1, ' ') + "\rNotice\n");
}

}  // namespace
}  // namespace corvanel::cli
