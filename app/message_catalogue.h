// The bilingual message catalogue: table A keyed by error code, table B keyed
// by prompt number, each entry with its owner, buttons and two texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/prompter.h"

namespace corvanel {

// Table A: the errorCode values the engines leave behind (0 is success).
namespace error_code {
inline constexpr std::int32_t kNone = 0;
inline constexpr std::int32_t kVolumeOpenFailed = 1;        // system text
inline constexpr std::int32_t kRecoverSourceInvalid = 2;
inline constexpr std::int32_t kFileOpenFailed = 3;          // system text
inline constexpr std::int32_t kSectorReadFailed = 4;
inline constexpr std::int32_t kRecoverTargetInvalid = 5;
inline constexpr std::int32_t kNoFileRecordFound = 6;
inline constexpr std::int32_t kUnrecognizedFileSystem = 11;
inline constexpr std::int32_t kEncryptDiskFull = 12;
inline constexpr std::int32_t kRecoverDiskFull = 13;
inline constexpr std::int32_t kEmptyFile = 14;
inline constexpr std::int32_t kWrongKey = 15;
inline constexpr std::int32_t kFileTooLargeToShred = 16;
inline constexpr std::int32_t kRecoverDataNotLocated = 17;
inline constexpr std::int32_t kScanSystemError = 18;        // system text
inline constexpr std::int32_t kShredSystemError = 19;       // system text
inline constexpr std::int32_t kShredDataNotLocated = 20;
inline constexpr std::int32_t kUnsupportedSectorSize = 21;  // the size in PromptDetail
inline constexpr std::int32_t kVolumeTooLarge = 22;
}  // namespace error_code

// Table B: the user-interface prompts.
namespace prompt {
inline constexpr std::int32_t kNone = 0;
inline constexpr std::int32_t kSelectDisk = 1;
inline constexpr std::int32_t kSelectFileToRecover = 2;
inline constexpr std::int32_t kChooseTargetFolder = 3;
inline constexpr std::int32_t kSameNameWarning = 4;
inline constexpr std::int32_t kChooseTargetFolderAgain = 5;
inline constexpr std::int32_t kTargetOnScannedDisk = 6;
inline constexpr std::int32_t kRecoverDone = 7;
inline constexpr std::int32_t kConfirmShred = 8;              // Yes/No
inline constexpr std::int32_t kSelectFileToShred = 9;
inline constexpr std::int32_t kChooseStandardFile = 10;
inline constexpr std::int32_t kRestartAfterShred = 11;        // Yes/No
inline constexpr std::int32_t kKeyEmpty = 12;
inline constexpr std::int32_t kKeyEmptyAgain = 13;
inline constexpr std::int32_t kKeyLength = 14;
inline constexpr std::int32_t kKeyLengthAgain = 15;
inline constexpr std::int32_t kEncryptDone = 16;
inline constexpr std::int32_t kDecryptDone = 17;
inline constexpr std::int32_t kBusyEncryptPage = 18;
inline constexpr std::int32_t kBusyRecoverPage = 19;
inline constexpr std::int32_t kBusyShredPage = 20;
inline constexpr std::int32_t kScanInProgress = 21;           // Yes/No
inline constexpr std::int32_t kCipherMismatch = 23;
inline constexpr std::int32_t kExitWhileScanning = 24;        // Yes/No
inline constexpr std::int32_t kExitWhileEncrypting = 25;      // Yes/No
inline constexpr std::int32_t kExitWhileShredding = 26;       // Yes/No
inline constexpr std::int32_t kExitWhileRecovering = 27;      // Yes/No
}  // namespace prompt

// The page whose window owns a box; None is the desktop.
enum class PromptOwner { None, EncryptPage, ShredPage, RecoverPage };

struct CatalogueEntry {
  std::int32_t number;
  PromptOwner owner;
  PromptButtons buttons;
  // Empty in both languages for the entries that show LastSystemErrorText.
  std::u16string_view chinese;
  std::u16string_view english;

  bool ShowsSystemText() const { return chinese.empty(); }
};

// The entry of a number, or nullptr when the table has none.
const CatalogueEntry* FindErrorEntry(std::int32_t errorCode);
const CatalogueEntry* FindUserPromptEntry(std::int32_t promptNumber);

// The text an entry shows in a language right now (system-text entries give
// LastSystemErrorText; "%1" in a text stands for PromptDetail); nullopt for an
// unknown number or a language that is neither English nor Chinese.
std::optional<std::u16string> ErrorPromptText(std::int32_t errorCode, std::uint16_t language);
std::optional<std::u16string> UserPromptText(std::int32_t promptNumber, std::uint16_t language);

// "提示！" or "Prompt"; empty for any other language.
std::u16string_view PromptCaption(std::uint16_t language);

// The window handle of an owner, from the shared page windows.
WindowHandle OwnerWindow(PromptOwner owner);

// Shows the table A entry of errorCode in UiLanguage; returns the box result
// (0 when nothing is shown).
int ShowErrorPrompt(const std::int32_t& errorCode);

// Shows the table B entry of promptNumber in UiLanguage; a Yes/No entry stores
// its answer in LastPromptAnswer. Returns the box result (0 when nothing is shown).
int ShowUserPrompt(const std::int32_t& promptNumber);

// ---- Texts the engines put together (from names and system texts) or show
// outside the two tables.

// The shred's question asked when the data was not located, its caption, and the
// prefix put before the system text when an NTFS overwrite fails; English
// for kLanguageEnglish, Chinese otherwise.
std::u16string_view NotLocatedQuestion(std::uint16_t language);
std::u16string_view NotLocatedCaption(std::uint16_t language);
std::u16string_view OverwriteFailurePrefix(std::uint16_t language);
// Why a file is refused before anything is written: it has other names (hard
// links), it is not the file the locate found, or the raw volume cannot be
// written.
std::u16string_view OtherNamesRefusal(std::uint16_t language);
std::u16string_view NotTheLocatedFileRefusal(std::uint16_t language);
std::u16string_view VolumeNotWritableRefusal(std::uint16_t language);

// The recovery's texts, in the language of UiLanguage (English for 0x0409,
// Chinese otherwise), with the names and system texts they carry.
std::u16string SameNameQuestion(std::u16string_view name);                                    // Yes/No
std::u16string CannotRecoverText(std::u16string_view name, std::u16string_view systemText);   // for code 18
std::u16string RenamedNotice(std::u16string_view name, std::u16string_view systemText, std::int32_t number,
                             std::u16string_view extension);

}  // namespace corvanel
