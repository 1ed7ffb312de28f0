// corvanel-cli encrypt and decrypt.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "cli/commands.h"
#include "crypt/cipher_table.h"
#include "crypt/file_encryption.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace corvanel::cli {
namespace {

struct CryptArguments {
  std::string file;
  const CipherInfo* cipher = FindCipher(algorithm::kDes);
  std::optional<std::string> key;
  std::optional<std::string> keyFile;
};

// The key text, from --key, the first line of --key-file, or the terminal.
std::optional<std::u16string> ObtainKey(const CryptArguments& arguments, Console& console, int& status) {
  if (arguments.key) return platform::Utf8ToUtf16(*arguments.key);
  std::string line;
  if (arguments.keyFile) {
    std::filesystem::path path(std::u8string(arguments.keyFile->begin(), arguments.keyFile->end()));
    std::error_code error;
    const bool regular = std::filesystem::is_regular_file(path, error);
    std::ifstream file(path, std::ios::binary);
    if (!regular || !file) {
      console.err << "corvanel-cli: cannot read the key file " << Printable(*arguments.keyFile) << ": "
                  << (error ? error.message() : "not a regular file") << '\n';
      status = kExitFailed;
      return std::nullopt;
    }
    std::getline(file, line);
    // A byte-order mark that an editor put before the key is not part of it.
    if (line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
  } else {
    std::optional<std::string> typed;
    if (console.readSecret) {
      console.err << "Key: " << std::flush;
      typed = console.readSecret();
      console.err << '\n';
    }
    if (!typed) {
      status = ReportUsage(console, "no key given (--key, --key-file, or type it at the terminal)");
      return std::nullopt;
    }
    line = *typed;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return platform::Utf8ToUtf16(line);
}

std::string DisplayPath(const std::string& ansiPath) {
  std::optional<std::u16string> wide = platform::FromNarrowPath(ansiPath);
  return Printable(wide ? platform::Utf16ToUtf8(*wide) : ansiPath);
}

// Remembers the output and draws a progress bar when err is a terminal.
class Progress final : public FileCryptObserver {
 public:
  explicit Progress(Console& console) : console_(console) {}
  ~Progress() override {
    if (drawn_) console_.err << '\n';
  }

  void OnOutput(const std::string& ansiOutputPath, std::uint64_t bodyBytes) override {
    output = ansiOutputPath;
    total_ = bodyBytes;
  }

  void OnProgress(std::uint64_t doneBytes) override {
    written = doneBytes;
    if (!console_.showProgress || total_ == 0) return;
    int percent = static_cast<int>(doneBytes * 100 / total_);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    constexpr int kWidth = 40;
    std::string bar(static_cast<std::size_t>(percent * kWidth / 100), '#');
    bar.resize(kWidth, ' ');
    console_.err << "\r[" << bar << "] " << percent << "%" << std::flush;
    drawn_ = true;
  }

  std::string output;
  std::uint64_t written = 0;

 private:
  Console& console_;
  std::uint64_t total_ = 0;
  int lastPercent_ = -1;
  bool drawn_ = false;
};

enum class Direction { Encrypt, Decrypt };

int RunCrypt(const CryptArguments& arguments, Console& console, Direction direction) {
  int status = kExitOk;
  std::optional<std::u16string> keyText = ObtainKey(arguments, console, status);
  if (!keyText) return status;
  if (std::int32_t refusal = KeyTextRefusal(*keyText)) return ReportPrompt(console, refusal);

  std::u16string path = platform::Utf8ToUtf16(arguments.file);
  AlgorithmId id = arguments.cipher->id;
  if (direction == Direction::Decrypt && !SuffixMatches(path, id)) return ReportPrompt(console, prompt::kCipherMismatch);

  std::int32_t errorCode = error_code::kNone;
  Progress progress(console);
  if (direction == Direction::Encrypt) {
    std::size_t nameStart = path.size();
    while (nameStart > 0 && !platform::IsPathSeparator(path[nameStart - 1])) --nameStart;
    EncryptFile(*keyText, path, std::u16string_view(path).substr(nameStart), id, errorCode, &progress);
  } else {
    DecryptFile(*keyText, path, id, errorCode, &progress);
  }
  if (AbortRequested) {
    console.err << "corvanel-cli: interrupted; the partial output was removed\n";
    return kExitFailed;
  }
  if (errorCode != error_code::kNone) return ReportFailure(console, errorCode);
  console.out << (direction == Direction::Encrypt ? "encrypted " : "decrypted ") << arguments.file << " -> "
              << DisplayPath(progress.output) << " (" << progress.written << " bytes, " << arguments.cipher->name
              << ")\n";
  return kExitOk;
}

void AddCryptCommand(CLI::App& app, CommandAction& chosen, Direction direction) {
  const bool encrypt = direction == Direction::Encrypt;
  auto arguments = std::make_shared<CryptArguments>();
  auto cipherName = std::make_shared<std::string>("des");
  auto key = std::make_shared<std::string>();
  auto keyFile = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand(
      encrypt ? "encrypt" : "decrypt",
      encrypt ? "encrypt FILE into FILE_<suffix> beside it (the key is asked for when not given)"
              : "decrypt FILE into its folder under the name it had before");
  command->footer(HelpFooter(kHelpCiphers));
  command->add_option("FILE", arguments->file, "the file")->required();
  command->add_option("--cipher", *cipherName, "the cipher (see the list below)")->check([](const std::string& name) {
    return FindCipherByName(name) ? std::string() : "unknown cipher '" + name + "'";
  });
  CLI::Option* keyOption = command->add_option("--key", *key, "the sixteen-character key");
  CLI::Option* keyFileOption = command->add_option("--key-file", *keyFile, "a file whose first line is the key");
  keyOption->excludes(keyFileOption);
  command->callback([=, &chosen] {
    arguments->cipher = FindCipherByName(*cipherName);
    if (keyOption->count()) arguments->key = *key;
    if (keyFileOption->count()) arguments->keyFile = *keyFile;
    chosen = [=](Console& console) { return RunCrypt(*arguments, console, direction); };
  });
}

}  // namespace

void AddCryptCommands(CLI::App& app, CommandAction& chosen) {
  AddCryptCommand(app, chosen, Direction::Encrypt);
  AddCryptCommand(app, chosen, Direction::Decrypt);
}

}  // namespace corvanel::cli
