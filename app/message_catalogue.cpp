// The catalogue's two tables and the operations that show them.
#include "app/message_catalogue.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace corvanel {
namespace {

using enum PromptOwner;
constexpr PromptButtons Ok = PromptButtons::Ok;
constexpr PromptButtons YesNo = PromptButtons::YesNo;
// Marks the entries whose text is LastSystemErrorText.
constexpr std::u16string_view kSystemText;

// Table A, shown by ShowErrorPrompt; all OK boxes.
constexpr CatalogueEntry kErrorTable[] = {
    {1, None, Ok, kSystemText, kSystemText},
    {2, None, Ok, u"INVALID_HANDLE_VALUE！", u"INVALID_HANDLE_VALUE!"},
    {3, EncryptPage, Ok, kSystemText, kSystemText},
    {4, RecoverPage, Ok, u"抱歉，无法获取此盘的信息！", u"Sorry, we could not get the information on the disk!"},
    {5, None, Ok, u"INVALID_HANDLE_VALUE！", u"INVALID_HANDLE_VALUE!"},
    {6, RecoverPage, Ok, u"ERROR_NO_FILE_RECORD_FOUND！", u"ERROR_NO_FILE_RECORD_FOUND!"},
    {8, RecoverPage, Ok, u"程序错误！", u"Error!"},
    {9, RecoverPage, Ok, u"程序错误！", u"Error!"},
    {11, RecoverPage, Ok, u"无法访问磁盘，此卷不包含可识别的文件系统！", u"Unable to access the disk, this volume does not contain a recognized file system!"},
    {12, EncryptPage, Ok, u"当前硬盘空间不足！", u"Lack of hard disk space!"},
    {13, RecoverPage, Ok, u"当前硬盘空间不足！", u"Lack of hard disk space!"},
    {14, EncryptPage, Ok, u"此文件内容为空，请重新选择文件！", u"This file is empty, please select files again!"},
    {15, EncryptPage, Ok, u"密钥错误，请重新输入！", u"Key error, please re-enter!"},
    {16, ShredPage, Ok, u"文件太大，无法彻底删除！", u"File is too large, can not be completely deleted!"},
    {17, RecoverPage, Ok, u"此文件的数据内容定位不到，无法恢复文件！", u"Data contents of this file can not locate, can not recover files!"},
    {18, RecoverPage, Ok, kSystemText, kSystemText},
    {19, ShredPage, Ok, kSystemText, kSystemText},
    {20, ShredPage, Ok, u"此文件的数据内容定位不到,不能彻底删除文件！", u"Data contents of this file can not locate, can not completely delete a file!"},
    {21, RecoverPage, Ok, u"无法访问磁盘，此卷的扇区为%1字节，只支持512至4096字节的扇区！", u"Unable to access the disk, this volume has sectors of %1 bytes, only sectors of 512 to 4096 bytes are supported!"},
    {22, RecoverPage, Ok, u"无法访问磁盘，此卷超过2TiB（多于2^32个扇区），不受支持！", u"Unable to access the disk, this volume is larger than 2 TiB (more than 2^32 sectors), which is not supported!"},
};

// Table B, shown by ShowUserPrompt.
constexpr CatalogueEntry kUserPromptTable[] = {
    {1, RecoverPage, Ok, u"请选择一个盘符！", u"Please select a disk!"},
    {2, RecoverPage, Ok, u"请选择一个需要恢复的文件！", u"Please select a file needs to be recovered!"},
    {3, RecoverPage, Ok, u"请选择一个存放恢复文件的路径！", u"Please choose a path to store to recover files!"},
    {4, RecoverPage, Ok, u"此路径下有同名文件，即将恢复的文件会覆盖原文件，请慎重选择！", u"The same name files in this path, the file be resumed will overwrite the original file, please choose carefully!"},
    {5, RecoverPage, Ok, u"请选择一个存放恢复文件的路径！", u"Please choose a path to store to recover files!"},
    {6, RecoverPage, Ok, u"存放恢复文件的路径，与待恢复文件不能属于同一盘符！", u"The path to restore files and the path to be recovered files can not be part of the same disk!"},
    {7, RecoverPage, Ok, u"恢复文件成功！", u"Recovered files successfully!"},
    {8, ShredPage, YesNo, u"粉碎文件后，文件无法恢复！继续粉碎请选择“是”，终止请选择“否”。", u"After shred files, files can not be recovered!Continue shreding select \"Yes\" to terminate the select \"NO\". "},
    {9, ShredPage, Ok, u"请先选择一个文件！", u"Please select a file!"},
    {10, EncryptPage, Ok, u"请选择一个符合标准的文件！", u"Please choose a standard file!"},
    {11, ShredPage, YesNo, u"粉碎文件成功！立即重启请选择“是”，稍后手动重启请选择“否”。", u"Shreded files successfully! Now reboot select \"Yes\" to restart later manually select \"NO\". "},
    {12, EncryptPage, Ok, u"密钥不能为空！", u"Key can not be empty!"},
    {13, EncryptPage, Ok, u"密钥不能为空！", u"Key can not be empty!"},
    {14, EncryptPage, Ok, u"密钥的长度须16位！", u"Key length must be sixteen!"},
    {15, EncryptPage, Ok, u"密钥的长度须16位！", u"Key length must be sixteen!"},
    {16, EncryptPage, Ok, u"加密文件成功！", u"Encrypted file success!"},
    {17, EncryptPage, Ok, u"解密文件成功！", u"Decrypted files success!"},
    {18, EncryptPage, Ok, u"有操作正在进行，请等待其结束！", u"An operation in progress, wait for it to end!"},
    {19, RecoverPage, Ok, u"有操作正在进行，请等待其结束！", u"An operation in progress, wait for it to end!"},
    {20, ShredPage, Ok, u"有操作正在进行，请等待其结束！", u"An operation in progress, wait for it to end!"},
    {21, RecoverPage, YesNo, u"正在扫描被删除文件！继续扫描请选择“是”，重新扫描新盘符请选择“否”。", u"Scanning deleted files! Continue to scan please select \"Yes\" and re-scan for new disk select \"NO\". "},
    {23, EncryptPage, Ok, u"解密算法与所选文件不匹配，请选择相应的解密算法进行解密！", u"Decryption algorithm does not match the selected file, select the a corresponding decryption algorithm to decrypt!"},
    {24, RecoverPage, YesNo, u"正在扫描被删除文件！继续退出程序选择“是”，等待操作完成请选择“否”。", u"Scanning deleted files! Continue to exit the program select \"Yes\" and wait for the completion of the operation select \"NO\"."},
    {25, EncryptPage, YesNo, u"正在加（解）密文件！继续退出程序选择“是”，等待操作完成请选择“否”。", u"Encrypting(Decrypting) files！Continue to exit the program select \"Yes\" and wait for the completion of the operation select \"NO\". "},
    {26, ShredPage, YesNo, u"正在执行删除文件！继续退出程序选择“是”，等待操作完成请选择“否”。", u"Shreding files！Continue to exit the program select \"Yes\" and wait for the completion of the operation select \"NO\"."},
    {27, RecoverPage, YesNo, u"正在恢复文件！继续退出程序选择“是”，等待操作完成请选择“否”。", u"Recovering files！Continue to exit the program select \"Yes\" and wait for the completion of the operation select \"NO\"."},
};

template <std::size_t N>
const CatalogueEntry* FindIn(const CatalogueEntry (&table)[N], std::int32_t number) {
  auto found = std::find_if(std::begin(table), std::end(table),
                            [number](const CatalogueEntry& entry) { return entry.number == number; });
  return found == std::end(table) ? nullptr : found;
}

std::optional<std::u16string> TextOf(const CatalogueEntry* entry, std::uint16_t language) {
  if (entry == nullptr) return std::nullopt;
  if (language != kLanguageChinese && language != kLanguageEnglish) return std::nullopt;
  if (entry->ShowsSystemText()) return LastSystemErrorText.Get();
  std::u16string text(language == kLanguageChinese ? entry->chinese : entry->english);
  if (std::size_t at = text.find(u"%1"); at != std::u16string::npos) text.replace(at, 2, PromptDetail.Get());
  return text;
}

// The box result, or nullopt when nothing was shown: an unknown number, a
// language that is neither English nor Chinese, or no prompter installed.
std::optional<int> Show(const CatalogueEntry* entry) {
  std::uint16_t language = UiLanguage;
  std::optional<std::u16string> text = TextOf(entry, language);
  if (!text || InstalledPrompter() == nullptr) return std::nullopt;
  return ShowPrompt(OwnerWindow(entry->owner), *text, PromptCaption(language), entry->buttons);
}

}  // namespace

const CatalogueEntry* FindErrorEntry(std::int32_t errorCode) { return FindIn(kErrorTable, errorCode); }

const CatalogueEntry* FindUserPromptEntry(std::int32_t promptNumber) {
  return FindIn(kUserPromptTable, promptNumber);
}

std::optional<std::u16string> ErrorPromptText(std::int32_t errorCode, std::uint16_t language) {
  return TextOf(FindErrorEntry(errorCode), language);
}

std::optional<std::u16string> UserPromptText(std::int32_t promptNumber, std::uint16_t language) {
  return TextOf(FindUserPromptEntry(promptNumber), language);
}

std::u16string_view PromptCaption(std::uint16_t language) {
  if (language == kLanguageChinese) return u"提示！";
  if (language == kLanguageEnglish) return u"Prompt";
  return {};
}

WindowHandle OwnerWindow(PromptOwner owner) {
  switch (owner) {
    case PromptOwner::EncryptPage: return EncryptPageWindow;
    case PromptOwner::ShredPage: return ShredPageWindow;
    case PromptOwner::RecoverPage: return RecoverPageWindow;
    case PromptOwner::None: break;
  }
  return nullptr;
}

int ShowErrorPrompt(const std::int32_t& errorCode) {
  return Show(FindErrorEntry(errorCode)).value_or(0);
}

int ShowUserPrompt(const std::int32_t& promptNumber) {
  const CatalogueEntry* entry = FindUserPromptEntry(promptNumber);
  std::optional<int> answer = Show(entry);
  if (!answer) return 0;
  if (entry->buttons == PromptButtons::YesNo) LastPromptAnswer = static_cast<std::int16_t>(*answer);
  return *answer;
}

namespace {

bool EnglishNow() { return UiLanguage == kLanguageEnglish; }

std::u16string DecimalText(std::int32_t number) {
  const std::string digits = std::to_string(number);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

std::u16string_view NotLocatedQuestion(std::uint16_t language) {
  if (language == kLanguageEnglish)
    return u"This file can not locate the data area, the file can not be completely shreded! Continue to delete a "
           u"file, select \"Yes\" to re-select the file, select \"NO\". ";
  return u"此文件数据区定位不到，不能彻底粉碎文件！继续删除文件请选择“是”，重新选择文件请选择“否”。";
}

std::u16string_view NotLocatedCaption(std::uint16_t language) {
  return language == kLanguageEnglish ? u"Prompt" : u"提示！";
}

std::u16string_view OverwriteFailurePrefix(std::uint16_t language) {
  if (language == kLanguageEnglish) return u"This file is not completely removed, in the data area ";
  return u"此文件没有彻底删除，在数据区";
}

std::u16string_view OtherNamesRefusal(std::uint16_t language) {
  if (language == kLanguageEnglish)
    return u"This file has other names (hard links) that still show its data; shredding it would destroy their data "
           u"too. Nothing was changed.";
  return u"此文件还有其他名称（硬链接）仍指向它的数据，粉碎它会一并毁掉这些数据。未做任何更改。";
}

std::u16string_view NotTheLocatedFileRefusal(std::uint16_t language) {
  if (language == kLanguageEnglish)
    return u"The file found on the disk is not the file open under this path (its number or size differ). Nothing "
           u"was changed.";
  return u"在磁盘上找到的文件与此路径下的文件不一致（编号或大小不同）。未做任何更改。";
}

std::u16string_view VolumeNotWritableRefusal(std::uint16_t language) {
  if (language == kLanguageEnglish)
    return u" The disk cannot be opened for writing, so the file cannot be shredded. Nothing was changed.";
  return u"无法以写方式打开此盘，不能粉碎文件。未做任何更改。";
}

std::u16string SameNameQuestion(std::u16string_view name) {
  if (EnglishNow())
    return u"File \"" + std::u16string(name) +
           u"\" and the target path of a file of the same name, to restore this file overwrites the original file! "
           u"Continue Recovery click\" Yes \", click again to select\" no. \" ";
  return u"文件“" + std::u16string(name) + u"”与目标路径下某文件同名，恢复此文件会覆盖原文件！继续恢复点击“是”，重新选择点击“否”。";
}

std::u16string CannotRecoverText(std::u16string_view name, std::u16string_view systemText) {
  if (EnglishNow())
    return u"file\"" + std::u16string(name) + u" \" System error:" + std::u16string(systemText) +
           u" This file can not be recovered!";
  return u"文件“" + std::u16string(name) + u"”发生系统错误：" + std::u16string(systemText) + u"不能恢复此文件！";
}

std::u16string RenamedNotice(std::u16string_view name, std::u16string_view systemText, std::int32_t number,
                             std::u16string_view extension) {
  if (EnglishNow())
    return u"File \"" + std::u16string(name) + u"\"System error:" + std::u16string(systemText) +
           u"File name of this file is modified: Recover_" + DecimalText(number) + std::u16string(extension);
  return u"文件“" + std::u16string(name) + u"”发生系统错误：" + std::u16string(systemText) + u"此文件的文件名修改为Recover_" +
         DecimalText(number) + std::u16string(extension);
}

}  // namespace corvanel
