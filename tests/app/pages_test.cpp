// The encrypt and shred pages driven through the real window under Wine: its
// buttons, the system's file-open dialog and message boxes; the files they
// leave checked against corvanel-cli.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#include "app/corvanel_dlg.h"
#include "app/message_catalogue.h"
#include "app/pause_gate.h"
#include "app/shared_state.h"
#include "crypt/cipher_table.h"
#include "crypt/encrypt_page.h"
#include "app/message_box_prompter.h"
#include "res/resource.h"
#include "shred/shred_page.h"
#include "tests/app/window_driver.h"

namespace corvanel {
namespace {

using namespace std::chrono_literals;
using namespace corvanel::testing;
namespace fs = std::filesystem;
using Bytes = std::vector<char>;

std::wstring Wide(const std::optional<std::u16string>& text) {
  return text ? std::wstring(text->begin(), text->end()) : L"(no such entry)";
}
std::wstring UserText(std::int32_t number) { return Wide(UserPromptText(number, UiLanguage)); }
std::wstring ErrorText(std::int32_t code) { return Wide(ErrorPromptText(code, UiLanguage)); }

Bytes Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Write(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Bytes RandomBytes(std::size_t size) {
  std::mt19937 random(7);
  Bytes bytes(size);
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// Two encryptions of one file with one key and cipher: the same but for the
// header's random filler (the key verifier's bits match).
void ExpectSameEncryption(const Bytes& a, const Bytes& b) {
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GT(a.size(), 560u);
  EXPECT_TRUE(std::equal(a.begin() + 300, a.end(), b.begin() + 300));
  for (std::size_t i = 0; i < 256; i += 2) EXPECT_EQ(a[i] & 0x80, b[i] & 0x80) << i;
}

// The files directly in a folder (the engine writes through a scratch file
// of its own name).
std::vector<fs::path> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path().filename());
  return files;
}

std::uintmax_t BytesIn(const fs::path& folder) {
  std::uintmax_t bytes = 0;
  for (const fs::path& name : FilesIn(folder)) bytes += fs::file_size(folder / name);
  return bytes;
}

// corvanel-cli (the same build, under the same Wine) encrypting a copy of a
// file in a folder of its own; the encrypted copy's bytes.
Bytes CliEncryption(const fs::path& source, const char* cipher, const std::wstring& key) {
  const char* cli = std::getenv("CORVANEL_CLI");
  if (!cli) {
    ADD_FAILURE() << "CORVANEL_CLI is not set";
    return {};
  }
  fs::path folder = source.parent_path() / "cli";
  fs::create_directories(folder);
  fs::copy_file(source, folder / source.filename(), fs::copy_options::overwrite_existing);
  std::wstring command = L"\"Z:" + fs::path(cli).make_preferred().wstring() + L"\" encrypt --cipher " +
                         std::wstring(cipher, cipher + std::strlen(cipher)) + L" --key " + key + L" \"" +
                         (folder / source.filename()).wstring() + L"\"";
  // The tool's own words go to a log, so a failure here says what it was.
  const fs::path log = folder / "cli.log";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE logFile = ::CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = logFile;
  startup.hStdError = logFile;
  PROCESS_INFORMATION process{};
  const BOOL started =
      ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  const DWORD startError = ::GetLastError();
  DWORD exitCode = 0;
  if (started) {
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::CloseHandle(logFile);
  if (!started) {
    ADD_FAILURE() << "corvanel-cli did not start: error " << startError;
    return {};
  }
  const Bytes said = Read(log);
  EXPECT_EQ(exitCode, 0u) << std::string(said.begin(), said.end());
  fs::path output = folder / source.filename();
  output += L"_" + std::wstring(cipher, cipher + std::strlen(cipher));
  return Read(output);
}

class PagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedState();
    InstallPrompter(&boxes_);
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    folder_ = fs::path(temp) / "corvanel-pages";
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    InstallPrompter(nullptr);
    ResetSharedState();
    fs::remove_all(folder_);
  }

  MessageBoxPrompter boxes_;
  fs::path folder_;
};

// ---- the encrypt page ------------------------------------------------------

constexpr wchar_t kKey[] = L"Kq7!mZ2#pL9@xR4$";

// Types into the key field as the keyboard does, character by character.
void TypeKey(HWND page, const std::wstring& key) {
  HWND field = ::GetDlgItem(page, IDC_KEY);
  ::SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  for (wchar_t c : key) ::SendMessageW(field, WM_CHAR, c, 1);
}

void ChooseCipher(HWND page, int index) {
  HWND list = ::GetDlgItem(page, IDC_CIPHER);
  ::SendMessageW(list, CB_SETCURSEL, index, 0);
  ::SendMessageW(page, WM_COMMAND, MAKEWPARAM(IDC_CIPHER, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

void AwaitIdle() {
  for (int i = 0; i < 3000 && CurrentOperation != kOperationIdle; ++i) std::this_thread::sleep_for(10ms);
}

// Presses a start button and answers the box the attempt ends with.
std::wstring StartAndAnswer(HWND page, int button) {
  Press(page, button);
  std::wstring text = AnswerNextBox(IDOK);
  AwaitIdle();
  return text;
}

TEST_F(PagesTest, EncryptPageRefusesWhatItCannotUse) {
  const fs::path plain = folder_ / L"a.txt";
  Write(plain, RandomBytes(1000));
  CCorvanelDlg dialog;
  RunMainWindow(dialog, [&](CCorvanelDlg& window) {
    HWND page = window.encryptPage().hwnd();
    // DES and RC6 only, DES chosen.
    HWND list = ::GetDlgItem(page, IDC_CIPHER);
    ASSERT_EQ(::SendMessageW(list, CB_GETCOUNT, 0, 0), 2);
    wchar_t entry[32] = {};
    ::SendMessageW(list, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(entry));
    EXPECT_EQ(std::wstring(entry), kRc6Entry);
    EXPECT_EQ(::SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(SelectedAlgorithm, algorithm::kDes);
    ChooseCipher(page, 1);
    EXPECT_EQ(SelectedAlgorithm, algorithm::kRc6);
    ChooseCipher(page, 0);
    EXPECT_EQ(SelectedAlgorithm, algorithm::kDes);
    SaveScreenshot(window.hwnd(), "encrypt-idle");

    EXPECT_EQ(StartAndAnswer(page, IDC_ENCRYPT_START), UserText(prompt::kChooseStandardFile));
    ChooseThroughDialog(page, IDC_ENCRYPT_CHOOSE_FILE, plain.wstring());
    EXPECT_EQ(ControlText(page, IDC_ENCRYPT_FILE_PATH), plain.wstring());
    EXPECT_EQ(StartAndAnswer(page, IDC_ENCRYPT_START), UserText(prompt::kKeyEmpty));
    TypeKey(page, std::wstring(kKey).substr(0, 15));
    EXPECT_EQ(StartAndAnswer(page, IDC_DECRYPT_START), UserText(prompt::kKeyLength));
    // A seventeenth character cannot be typed.
    TypeKey(page, std::wstring(kKey) + L"x");
    EXPECT_EQ(ControlText(page, IDC_KEY), kKey);
    SaveScreenshot(window.hwnd(), "encrypt-file-chosen");
    // No cipher suffix: refused before any animation, the key kept.
    EXPECT_EQ(StartAndAnswer(page, IDC_DECRYPT_START), UserText(prompt::kCipherMismatch));
    EXPECT_EQ(EncryptAnimation.frameCount(), 0);
    EXPECT_EQ(ControlText(page, IDC_KEY), kKey);
    // Another page's operation running.
    CurrentOperation = kOperationScan;
    Press(page, IDC_ENCRYPT_START);
    EXPECT_EQ(AnswerNextBox(IDOK), UserText(prompt::kBusyEncryptPage));
    EXPECT_EQ(CurrentOperation, kOperationScan);
    CurrentOperation = kOperationIdle;
    // Cancel forgets the file.
    ChooseThroughDialog(page, IDC_ENCRYPT_CHOOSE_FILE, L"");
    EXPECT_EQ(ControlText(page, IDC_ENCRYPT_FILE_PATH), L"");
    EXPECT_EQ(StartAndAnswer(page, IDC_ENCRYPT_START), UserText(prompt::kChooseStandardFile));
    EXPECT_EQ(CurrentOperation, kOperationIdle);
  });
  // Nothing was written.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST_F(PagesTest, EncryptAndDecryptThroughTheWindowAsTheCliDoes) {
  const fs::path plain = folder_ / L"report 1.bin";
  const Bytes original = RandomBytes(300'000);
  Write(plain, original);
  const Bytes reference = CliEncryption(plain, "rc6", kKey);
  fs::path encrypted = plain;
  encrypted += L"_rc6";
  CCorvanelDlg dialog;
  RunMainWindow(dialog, [&](CCorvanelDlg& window) {
    HWND page = window.encryptPage().hwnd();
    ChooseThroughDialog(page, IDC_ENCRYPT_CHOOSE_FILE, plain.wstring());
    TypeKey(page, kKey);
    ChooseCipher(page, 1);
    Press(page, IDC_ENCRYPT_START);
    HWND box = AwaitOwnedDialog();
    SaveScreenshot(window.hwnd(), "encrypt-done");
    EXPECT_EQ(BoxText(box), UserText(prompt::kEncryptDone));
    AnswerBox(box, IDOK);
    AwaitIdle();
    EXPECT_EQ(ControlText(page, IDC_KEY), L"");  // emptied after every attempt
    ExpectSameEncryption(Read(encrypted), reference);

    // Decrypting gives the original back, under its own name.
    fs::rename(plain, folder_ / L"original.bin");
    ChooseThroughDialog(page, IDC_ENCRYPT_CHOOSE_FILE, encrypted.wstring());
    TypeKey(page, kKey);
    EXPECT_EQ(StartAndAnswer(page, IDC_DECRYPT_START), UserText(prompt::kDecryptDone));
    EXPECT_EQ(Read(plain), original);

    // A wrong key: refused, the key field emptied, nothing written.
    fs::remove(plain);
    const Bytes before = Read(encrypted);
    TypeKey(page, L"0000000000000000");
    EXPECT_EQ(StartAndAnswer(page, IDC_DECRYPT_START), ErrorText(error_code::kWrongKey));
    EXPECT_EQ(ControlText(page, IDC_KEY), L"");
    EXPECT_FALSE(fs::exists(plain));
    EXPECT_EQ(Read(encrypted), before);

    // DES once, both ways.
    const fs::path second = folder_ / L"original.bin";
    ChooseThroughDialog(page, IDC_ENCRYPT_CHOOSE_FILE, second.wstring());
    ChooseCipher(page, 0);
    TypeKey(page, kKey);
    EXPECT_EQ(StartAndAnswer(page, IDC_ENCRYPT_START), UserText(prompt::kEncryptDone));
    fs::path des = second;
    des += L"_des";
    ExpectSameEncryption(Read(des), CliEncryption(second, "des", kKey));
    fs::rename(second, folder_ / L"kept.bin");
    ChooseThroughDialog(page, IDC_ENCRYPT_CHOOSE_FILE, des.wstring());
    TypeKey(page, kKey);
    EXPECT_EQ(StartAndAnswer(page, IDC_DECRYPT_START), UserText(prompt::kDecryptDone));
    EXPECT_EQ(Read(second), original);
  });
}

// Closing the window while a file is encrypted: the question holds the
// worker at its next chunk; No lets it finish, Yes stops it with nothing left.
TEST_F(PagesTest, ClosingWhileEncryptingHoldsTheWorkerAtItsGate) {
  const fs::path plain = folder_ / L"large.bin";
  Write(plain, RandomBytes(8 << 20));
  fs::path encrypted = plain;
  encrypted += L"_des";
  const Bytes reference = CliEncryption(plain, "des", kKey);
  for (int answer : {IDNO, IDYES}) {
    SCOPED_TRACE(answer);
    ResetSharedState();
    fs::remove(encrypted);
    CCorvanelDlg dialog;
    INT_PTR result = RunMainWindow(dialog, [&](CCorvanelDlg& window) {
      HWND page = window.encryptPage().hwnd();
      ChooseThroughDialog(page, IDC_ENCRYPT_CHOOSE_FILE, plain.wstring());
      TypeKey(page, kKey);
      // The test holds the worker after its first chunk so that it is
      // surely running when the close button is pressed.
      WorkerGate.Close();
      Press(page, IDC_ENCRYPT_START);
      while (WorkerGate.waiting() != 1) std::this_thread::sleep_for(5ms);
      if (answer == IDNO) SaveScreenshot(window.hwnd(), "encrypt-busy");
      Press(window.hwnd(), IDC_CLOSE);
      HWND question = AwaitOwnedDialog();
      EXPECT_EQ(BoxText(question), UserText(prompt::kExitWhileEncrypting));
      WorkerGate.Open();  // the window's own hold remains while it asks
      const auto written = BytesIn(folder_);
      std::this_thread::sleep_for(300ms);
      EXPECT_EQ(WorkerGate.waiting(), 1);
      EXPECT_EQ(BytesIn(folder_), written);
      EXPECT_LT(written, 2 * (8u << 20));  // the output is partial
      // The window answers while it asks.
      DWORD_PTR ignored = 0;
      EXPECT_TRUE(::SendMessageTimeoutW(page, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &ignored));
      AnswerBox(question, answer);
      if (answer == IDNO) {
        EXPECT_EQ(AnswerNextBox(IDOK), UserText(prompt::kEncryptDone));
        AwaitIdle();
      }
    });
    ::WaitForSingleObject(EncryptThread.load(), INFINITE);
    if (answer == IDNO) {
      ExpectSameEncryption(Read(encrypted), reference);
      EXPECT_EQ(AbortRequested, 0);
    } else {
      EXPECT_EQ(result, IDCANCEL);
      EXPECT_EQ(AbortRequested, 1);
      EXPECT_EQ(FilesIn(folder_), std::vector<fs::path>{plain.filename()});  // nothing partial left
    }
  }
}


// ---- the shred page --------------------------------------------------------

// Records the restart requests instead of making them.
class RecordingRestart final : public SystemRestart {
 public:
  RecordingRestart() { InstallSystemRestart(this); }
  ~RecordingRestart() override { InstallSystemRestart(nullptr); }
  bool EnableShutdownPrivilege() override {
    ++privilegeRequests;
    return true;
  }
  void RequestRestart(UINT flags, DWORD reason) override { requests.emplace_back(flags, reason); }

  int privilegeRequests = 0;
  std::vector<std::pair<UINT, DWORD>> requests;
};

bool AnimationShown(HWND page) { return ::IsWindowVisible(::GetDlgItem(page, IDC_SHRED_ANIMATION)) != 0; }

// Confirms a shred of the chosen file; with the gate held, the worker stops
// right after it located the file.
void ConfirmShred(HWND page) {
  Press(page, IDC_SHRED_START);
  EXPECT_EQ(AnswerNextBox(IDYES), UserText(prompt::kConfirmShred));
}

// Needs drive X: on a volume and X:\dir\ holding file.bin, other.bin,
// third.bin and fourth.bin; window_shred_test.py sets that up and checks the
// volume afterwards.
TEST_F(PagesTest, ShredPageShredsTheChosenFileAndOffersARestart) {
  if (!std::getenv("CORVANEL_SHRED_VOLUME")) GTEST_SKIP() << "no volume on X: (run by window_shred_test.py)";
  const std::wstring folder = L"X:\\dir\\";
  RecordingRestart restart;
  CCorvanelDlg dialog;
  INT_PTR result = RunMainWindow(dialog, [&](CCorvanelDlg& window) {
    Click(window.hwnd(), IDC_SHOW_SHRED_PAGE);
    HWND page = window.shredPage().hwnd();
    SaveScreenshot(window.hwnd(), "shred-idle");
    EXPECT_EQ(StartAndAnswer(page, IDC_SHRED_START), UserText(prompt::kSelectFileToShred));

    // No on the confirmation changes nothing; a second press asks again.
    ChooseThroughDialog(page, IDC_SHRED_CHOOSE_FILE, folder + L"file.bin");
    EXPECT_EQ(ControlText(page, IDC_SHRED_FILE_PATH), folder + L"file.bin");
    SaveScreenshot(window.hwnd(), "shred-file-chosen");
    Press(page, IDC_SHRED_START);
    EXPECT_EQ(AnswerNextBox(IDNO), UserText(prompt::kConfirmShred));
    EXPECT_EQ(CurrentOperation, kOperationIdle);
    EXPECT_TRUE(fs::exists(folder + L"file.bin"));
    // Cancel in the dialog: the old path stays shown, but no file is chosen.
    ChooseThroughDialog(page, IDC_SHRED_CHOOSE_FILE, L"");
    EXPECT_EQ(ControlText(page, IDC_SHRED_FILE_PATH), folder + L"file.bin");
    EXPECT_EQ(StartAndAnswer(page, IDC_SHRED_START), UserText(prompt::kSelectFileToShred));
    ChooseThroughDialog(page, IDC_SHRED_CHOOSE_FILE, folder + L"file.bin");

    // Yes: shredded; No to the restart leaves the page idle and empty.
    WorkerGate.Close();  // held after the locate, for the picture of it busy
    ConfirmShred(page);
    while (WorkerGate.waiting() != 1) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(AnimationShown(page));
    SaveScreenshot(window.hwnd(), "shred-busy");
    WorkerGate.Open();
    HWND question = AwaitOwnedDialog();
    SaveScreenshot(window.hwnd(), "shred-done");
    EXPECT_EQ(BoxText(question), UserText(prompt::kRestartAfterShred));
    EXPECT_FALSE(fs::exists(folder + L"file.bin"));
    AnswerBox(question, IDNO);
    AwaitIdle();
    EXPECT_EQ(ControlText(page, IDC_SHRED_FILE_PATH), L"");
    EXPECT_FALSE(AnimationShown(page));
    EXPECT_EQ(ShredFileChosen, 0);
    EXPECT_TRUE(restart.requests.empty());
    // The path went with the request.
    EXPECT_EQ(StartAndAnswer(page, IDC_SHRED_START), UserText(prompt::kSelectFileToShred));

    // Yes to the restart: one request, reboot, reason 4.
    ChooseThroughDialog(page, IDC_SHRED_CHOOSE_FILE, folder + L"other.bin");
    ConfirmShred(page);
    EXPECT_EQ(AnswerNextBox(IDYES), UserText(prompt::kRestartAfterShred));
    AwaitIdle();
    EXPECT_EQ(restart.privilegeRequests, 1);
    ASSERT_EQ(restart.requests.size(), 1u);
    EXPECT_EQ(restart.requests[0], std::make_pair(UINT{EWX_REBOOT}, DWORD{4}));
    EXPECT_EQ(LastPromptAnswer, 0);
    EXPECT_FALSE(fs::exists(folder + L"other.bin"));

    // Closing while a shred runs: the question holds it; No lets it finish,
    // and a file chosen meanwhile is not the one it shreds.
    for (const wchar_t* name : {L"third.bin", L"fourth.bin"}) {
      const bool leave = std::wstring(name) == L"fourth.bin";
      ChooseThroughDialog(page, IDC_SHRED_CHOOSE_FILE, folder + name);
      WorkerGate.Close();
      ConfirmShred(page);
      while (WorkerGate.waiting() != 1) std::this_thread::sleep_for(5ms);
      if (!leave) ChooseThroughDialog(page, IDC_SHRED_CHOOSE_FILE, folder + L"keep.bin");
      Press(window.hwnd(), IDC_CLOSE);
      question = AwaitOwnedDialog();
      EXPECT_EQ(BoxText(question), UserText(prompt::kExitWhileShredding));
      WorkerGate.Open();  // the window's own hold remains while it asks
      std::this_thread::sleep_for(300ms);
      EXPECT_EQ(WorkerGate.waiting(), 1);
      EXPECT_TRUE(fs::exists(folder + name));
      AnswerBox(question, leave ? IDYES : IDNO);
      if (leave) break;
      EXPECT_EQ(AnswerNextBox(IDNO), UserText(prompt::kRestartAfterShred));
      AwaitIdle();
      EXPECT_FALSE(fs::exists(folder + name));
      EXPECT_TRUE(fs::exists(folder + L"keep.bin"));
      // The file chosen meanwhile is the page's choice now.
      EXPECT_EQ(ControlText(page, IDC_SHRED_FILE_PATH), folder + L"keep.bin");
      EXPECT_EQ(ShredFileChosen, 1);
    }
  });
  // Yes: the worker stopped at its gate, before anything was done to the file.
  EXPECT_EQ(result, IDCANCEL);
  ::WaitForSingleObject(ShredThread.load(), INFINITE);
  EXPECT_TRUE(fs::exists(L"X:\\dir\\fourth.bin"));
  EXPECT_EQ(restart.requests.size(), 1u);
}

}  // namespace
}  // namespace corvanel
