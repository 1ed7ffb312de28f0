// corvanel-cli encrypt and decrypt.
#include <array>
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
#include "crypt/sealed_format.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace corvanel::cli {
namespace {

struct CryptArguments {
  std::string file;
  const CipherInfo* cipher = FindCipher(algorithm::kDes);
  bool cipherGiven = false;
  bool sealed = false;
  std::optional<std::string> output;
  std::optional<std::string> key;
  std::optional<std::string> keyFile;
  std::optional<std::string> passphraseEnv;
  std::optional<int> passphraseFd;
};

constexpr std::string_view kStandardStream = "-";

// The key or passphrase as UTF-8: from --key, the first line of --key-file,
// an environment variable, a descriptor's first line, or the terminal.
// dataOnStdin: standard input carries the data, so no key is typed there.
std::optional<std::string> ObtainSecret(const CryptArguments& arguments, Console& console, int& status,
                                        bool dataOnStdin) {
  if (arguments.key) {
    console.err << "corvanel-cli: warning: a key given with --key can be seen by other users of this computer "
                   "(in its process list); --key-file, --passphrase-env or --passphrase-fd keep it out of sight\n";
    return *arguments.key;
  }
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
  } else if (arguments.passphraseEnv) {
    std::optional<std::string> value = platform::EnvironmentVariable(*arguments.passphraseEnv);
    if (!value) {
      console.err << "corvanel-cli: the environment variable " << Printable(*arguments.passphraseEnv)
                  << " is not set\n";
      status = kExitFailed;
      return std::nullopt;
    }
    return *value;
  } else if (arguments.passphraseFd) {
    if (dataOnStdin && *arguments.passphraseFd == 0) {
      status = ReportUsage(console, "standard input carries the data: the passphrase needs another descriptor");
      return std::nullopt;
    }
    platform::SystemError error;
    std::optional<std::string> read = platform::ReadDescriptorLine(*arguments.passphraseFd, error);
    if (!read) {
      console.err << "corvanel-cli: cannot read the passphrase from descriptor " << *arguments.passphraseFd << ": "
                  << Printable(platform::Utf16ToUtf8(platform::SystemErrorMessage(error))) << '\n';
      status = kExitFailed;
      return std::nullopt;
    }
    return *read;
  } else {
    std::optional<std::string> typed;
    if (console.readSecret && !dataOnStdin) {
      console.err << "Key: " << std::flush;
      typed = console.readSecret();
      console.err << '\n';
    }
    if (!typed) {
      status = ReportUsage(console, dataOnStdin ? "standard input carries the data: give the key with --key-file, "
                                                  "--passphrase-env or --passphrase-fd"
                                                : "no key given (--key, --key-file, --passphrase-env, "
                                                  "--passphrase-fd, or type it at the terminal)");
      return std::nullopt;
    }
    line = *typed;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
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

// ---- the sealed format ------------------------------------------------------

std::string SystemText(platform::SystemError error) {
  std::string text = platform::Utf16ToUtf8(platform::SystemErrorMessage(error));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return Printable(text);
}

class FileSource final : public sealed::Source {
 public:
  explicit FileSource(platform::InputFile file) : file_(std::move(file)) {}
  std::optional<std::size_t> Read(std::span<std::uint8_t> buffer) override { return file_.Read(buffer, error); }
  platform::SystemError error;

 private:
  platform::InputFile file_;
};

class FileSink final : public sealed::Sink {
 public:
  bool Write(std::span<const std::uint8_t> bytes) override { return file->Write(bytes, error); }
  platform::NewFile* file = nullptr;
  platform::SystemError error;
};

// Where sealed output goes: standard output, or a file staged under a scratch
// name and put in place only when everything verified.
class SealedOutput {
 public:
  // path "-": standard output.
  bool Open(const std::string& path, Console& console) {
    platform::SystemError error;
    if (path == kStandardStream) {
      standard_ = platform::NewFile::StandardOutput(error);
      sink.file = &standard_;
    } else {
      path_ = platform::Utf8ToUtf16(path);
      staged_ = platform::StagedFile::Create(path_, error);
      sink.file = &staged_;
    }
    if (sink.file->IsOpen()) {
      display = path == kStandardStream ? "standard output" : Printable(path);
      return true;
    }
    console.err << "corvanel-cli: cannot write " << Printable(path) << ": " << SystemText(error) << '\n';
    return false;
  }

  bool Finish(Console& console) {
    platform::SystemError error;
    const bool done = path_.empty() ? standard_.Close(error) : staged_.Commit(path_, error);
    if (!done) console.err << "corvanel-cli: cannot write " << display << ": " << SystemText(error) << '\n';
    return done;
  }

  FileSink sink;
  std::string display;

 private:
  std::u16string path_;
  platform::NewFile standard_;
  platform::StagedFile staged_;
};

std::string DirectoryPart(const std::string& path) {
  const std::u16string wide = platform::Utf8ToUtf16(path);
  std::size_t end = wide.size();
  while (end > 0 && !platform::IsPathSeparator(wide[end - 1])) --end;
  return platform::Utf16ToUtf8(std::u16string_view(wide).substr(0, end));
}

std::string NamePart(const std::string& path) { return path.substr(DirectoryPart(path).size()); }

int ReportSealed(Console& console, const sealed::Result& result, const std::string& input, platform::SystemError readError,
                 platform::SystemError writeError) {
  using sealed::Status;
  const std::string chunk = std::to_string(result.chunk);
  std::string text;
  switch (result.status) {
    case Status::Ok: return kExitOk;
    case Status::NotSealed: text = input + " is not in the sealed format (legacy files are decrypted by their path)"; break;
    case Status::NewerVersion: text = input + " is in a newer sealed format than this corvanel-cli reads"; break;
    case Status::WorkBeyondCap:
      text = input + " asks for a key derivation beyond what is allowed (scrypt N up to 2^" +
             std::to_string(sealed::kMaxLog2N) + ", r up to " + std::to_string(sealed::kMaxR) + ", p up to " +
             std::to_string(sealed::kMaxP) + ", 1 GiB of memory); refused";
      break;
    case Status::WrongPassphrase: text = "wrong passphrase, or the header of " + input + " was changed"; break;
    case Status::Damaged: text = input + " was changed or damaged (chunk " + chunk + " does not verify)"; break;
    case Status::CutShort: text = input + " is cut short (it ends after chunk " + chunk + ", which is not its last)"; break;
    case Status::DataAfterEnd: text = input + " has data after its last chunk (chunk " + chunk + ")"; break;
    case Status::BadName:
      text = "the file name sealed with " + input + " is not a plain name of at most " +
             std::to_string(sealed::kMaxNameBytes) + " bytes";
      break;
    case Status::ReadFailed: text = "cannot read " + input + ": " + SystemText(readError); break;
    case Status::WriteFailed:
      if (writeError.code == 0) return kExitFailed;  // reported where it happened
      text = "cannot write the output: " + SystemText(writeError);
      break;
    case Status::Aborted: text = "interrupted; the partial output was removed"; break;
  }
  console.err << "corvanel-cli: " << text << '\n';
  return kExitFailed;
}

std::optional<FileSource> OpenSealedInput(const std::string& path, Console& console, std::uint64_t& size) {
  platform::SystemError error;
  platform::InputFile file;
  if (path == kStandardStream) {
    file = platform::InputFile::StandardInput(error);
  } else if (std::optional<std::string> narrow = platform::ToNarrowPath(platform::Utf8ToUtf16(path))) {
    if (std::optional<std::uint64_t> regular = platform::RegularFileSize(*narrow, error)) {
      size = *regular;
      file = platform::InputFile::Open(*narrow, error);
    }
  } else {
    error = platform::UnmappableCharacterError();
  }
  if (file.IsOpen()) return FileSource(std::move(file));
  console.err << "corvanel-cli: cannot read " << Printable(path) << ": " << SystemText(error) << '\n';
  return std::nullopt;
}

int RunSealed(const CryptArguments& arguments, Console& console, Direction direction, const std::string& secret) {
  if (secret.empty()) return ReportPrompt(console, prompt::kKeyEmpty);
  const std::span<const std::uint8_t> passphrase(reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size());
  const bool fromStdin = arguments.file == kStandardStream;
  std::uint64_t size = 0;
  std::optional<FileSource> input = OpenSealedInput(arguments.file, console, size);
  if (!input) return kExitFailed;
  const std::string inputName = fromStdin ? "standard input" : Printable(arguments.file);
  Progress progress(console);
  auto onProgress = [&](std::uint64_t done) {
    progress.OnProgress(done);
    return AbortRequested == 0;
  };
  SealedOutput output;
  sealed::Result result;
  if (direction == Direction::Encrypt) {
    std::string outputPath = arguments.output ? *arguments.output : fromStdin ? "-" : arguments.file + ".sealed";
    if (outputPath == kStandardStream && console.outIsTerminal) {
      console.err << "corvanel-cli: sealed data is not for a terminal: redirect standard output or give --output\n";
      return kExitFailed;
    }
    if (!output.Open(outputPath, console)) return kExitFailed;
    progress.OnOutput(outputPath, size);
    result = sealed::Seal(passphrase, fromStdin ? "" : NamePart(arguments.file), *input, output.sink, {}, onProgress);
  } else {
    bool reported = false;
    auto sinkFor = [&](const std::string& name) -> sealed::Sink* {
      std::string outputPath;
      if (arguments.output) outputPath = *arguments.output;
      else if (fromStdin) outputPath = "-";
      else if (!name.empty()) outputPath = DirectoryPart(arguments.file) + name;
      if (outputPath.empty()) {
        console.err << "corvanel-cli: " << inputName << " holds no file name (it was sealed from a stream): give --output\n";
        reported = true;
        return nullptr;
      }
      if (!output.Open(outputPath, console)) {
        reported = true;
        return nullptr;
      }
      progress.OnOutput(outputPath, size);
      return &output.sink;
    };
    result = sealed::Open(passphrase, *input, sinkFor, onProgress);
    if (reported) return kExitFailed;
  }
  if (result.status == sealed::Status::Ok && AbortRequested) result.status = sealed::Status::Aborted;
  if (int status = ReportSealed(console, result, inputName, input->error, output.sink.error)) return status;
  if (!output.Finish(console)) return kExitFailed;
  console.err.flush();
  (output.display == "standard output" ? console.err : console.out)
      << (direction == Direction::Encrypt ? "sealed " : "opened ") << inputName << " -> " << output.display << " ("
      << result.bytes << " bytes)\n";
  return kExitOk;
}

// Whether a file starts with the sealed format's magic.
bool IsSealedFile(const std::string& path) {
  std::optional<std::string> narrow = platform::ToNarrowPath(platform::Utf8ToUtf16(path));
  if (!narrow) return false;
  platform::SystemError error;
  platform::InputFile file = platform::InputFile::Open(*narrow, error);
  std::array<std::uint8_t, sealed::kMagic.size()> start{};
  std::optional<std::size_t> got = file.IsOpen() ? file.Read(start, error) : std::nullopt;
  return got && sealed::StartsSealed(std::span(start).first(*got));
}

int RunCrypt(const CryptArguments& arguments, Console& console, Direction direction) {
  const bool fromStdin = arguments.file == kStandardStream;
  const bool sealedFormat =
      direction == Direction::Encrypt ? arguments.sealed : fromStdin || IsSealedFile(arguments.file);
  if (direction == Direction::Encrypt && fromStdin && !arguments.sealed)
    return ReportUsage(console, "'-' (standard input) is for --sealed only");
  if (!sealedFormat && arguments.output)
    return ReportUsage(console, "--output is for the sealed format; the legacy format's names are fixed");
  if (sealedFormat && direction == Direction::Encrypt && arguments.cipherGiven)
    return ReportUsage(console, "--cipher is for the legacy format; --sealed uses AES-256-GCM");

  int status = kExitOk;
  std::optional<std::string> secret = ObtainSecret(arguments, console, status, fromStdin);
  if (!secret) return status;
  if (sealedFormat) return RunSealed(arguments, console, direction, *secret);

  const std::u16string keyText = platform::Utf8ToUtf16(*secret);
  if (std::int32_t refusal = KeyTextRefusal(keyText)) return ReportPrompt(console, refusal);

  std::u16string path = platform::Utf8ToUtf16(arguments.file);
  AlgorithmId id = arguments.cipher->id;
  if (direction == Direction::Decrypt && !SuffixMatches(path, id)) return ReportPrompt(console, prompt::kCipherMismatch);

  std::int32_t errorCode = error_code::kNone;
  Progress progress(console);
  if (direction == Direction::Encrypt) {
    std::size_t nameStart = path.size();
    while (nameStart > 0 && !platform::IsPathSeparator(path[nameStart - 1])) --nameStart;
    EncryptFile(keyText, path, std::u16string_view(path).substr(nameStart), id, errorCode, &progress);
  } else {
    DecryptFile(keyText, path, id, errorCode, &progress);
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
  auto passphraseEnv = std::make_shared<std::string>();
  auto passphraseFd = std::make_shared<int>(-1);
  auto output = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand(
      encrypt ? "encrypt" : "decrypt",
      encrypt ? "encrypt FILE into FILE_<suffix> beside it, or with --sealed into FILE.sealed (the key is asked for "
                "when not given)"
              : "decrypt FILE into its folder under the name it had before (a sealed file is recognised by its "
                "start; '-' reads sealed data from standard input)");
  command->footer(HelpFooter(kHelpCiphers));
  command->add_option("FILE", arguments->file,
                      encrypt ? "the file; '-' with --sealed reads standard input" : "the file; '-' standard input")
      ->required();
  CLI::Option* cipherOption =
      command->add_option("--cipher", *cipherName, "the legacy format's cipher (see the list below)")
          ->check([](const std::string& name) {
            return FindCipherByName(name) ? std::string() : "unknown cipher '" + name + "'";
          });
  CLI::Option* sealedOption = nullptr;
  if (encrypt)
    sealedOption = command->add_flag("--sealed", arguments->sealed,
                                     "the sealed format: authenticated, passphrase of any length (see README)");
  CLI::Option* outputOption = command->add_option(
      "--output,-o", *output,
      encrypt ? "(--sealed) where to write; '-' standard output (the default for '-')"
              : "(sealed files) where to write; '-' standard output (the default for '-')");
  (void)sealedOption;
  CLI::Option* keyOption =
      command->add_option("--key", *key, "the key (legacy: sixteen characters); other users can see it");
  CLI::Option* keyFileOption = command->add_option("--key-file", *keyFile, "a file whose first line is the key");
  CLI::Option* envOption =
      command->add_option("--passphrase-env", *passphraseEnv, "an environment variable that holds the key");
  CLI::Option* fdOption =
      command->add_option("--passphrase-fd", *passphraseFd, "a file descriptor whose first line is the key")
          ->check(CLI::NonNegativeNumber);
  const std::vector<CLI::Option*> sources = {keyOption, keyFileOption, envOption, fdOption};
  for (CLI::Option* one : sources)
    for (CLI::Option* other : sources)
      if (one != other) one->excludes(other);
  command->callback([=, &chosen] {
    arguments->cipher = FindCipherByName(*cipherName);
    arguments->cipherGiven = cipherOption->count() > 0;
    if (outputOption->count()) arguments->output = *output;
    if (keyOption->count()) arguments->key = *key;
    if (keyFileOption->count()) arguments->keyFile = *keyFile;
    if (envOption->count()) arguments->passphraseEnv = *passphraseEnv;
    if (fdOption->count()) arguments->passphraseFd = *passphraseFd;
    chosen = [=](Console& console) { return RunCrypt(*arguments, console, direction); };
  });
}

}  // namespace

void AddCryptCommands(CLI::App& app, CommandAction& chosen) {
  AddCryptCommand(app, chosen, Direction::Encrypt);
  AddCryptCommand(app, chosen, Direction::Decrypt);
}

}  // namespace corvanel::cli
