// Signatures of the disk-image containers, from each format's published layout.
#include "platform/disk_image_format.h"

#include <algorithm>

#include "platform/text_encoding.h"

namespace corvanel::platform {
namespace {

bool StartsWith(std::span<const std::uint8_t> bytes, std::string_view signature) {
  return bytes.size() >= signature.size() &&
         std::equal(signature.begin(), signature.end(), bytes.begin(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

// Past every errno and every Win32 error (bit 29 marks an application's own
// codes there): base | format << 4 | problem.
constexpr std::uint32_t kErrorBase = 0x20C00000;
constexpr std::uint32_t kErrorMask = 0xFFFFF000;

thread_local std::string lastDetail;

}  // namespace

DiskImageFormat DetectDiskImageFormat(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail) {
  using namespace std::literals;
  // EWF segment files: "EVF" 09 0D 0A FF 00 (E01), "EVF2" 0D 0A 81 00 (Ex01).
  if (StartsWith(head, "EVF\x09\x0d\x0a\xff\x00"sv)) return DiskImageFormat::Ewf;
  if (StartsWith(head, "EVF2\x0d\x0a\x81\x00"sv)) return DiskImageFormat::Ewf2;
  if (StartsWith(head, "vhdxfile"sv)) return DiskImageFormat::Vhdx;
  // QCOW: "QFI" FB, every version.
  if (StartsWith(head, "QFI\xfb"sv)) return DiskImageFormat::Qcow;
  // VMDK: a sparse extent ("KDMV"), an ESX COW extent ("COWD") or a text descriptor.
  if (StartsWith(head, "KDMV"sv) || StartsWith(head, "COWD"sv) || StartsWith(head, "# Disk DescriptorFile"sv))
    return DiskImageFormat::Vmdk;
  // VHD: the footer "conectix" is copied to the start of dynamic and
  // differencing images; a fixed image has it only in its last sector.
  if (StartsWith(head, "conectix"sv)) return DiskImageFormat::Vhd;
  if (tail.size() >= 512 && StartsWith(tail.subspan(tail.size() - 512), "conectix"sv)) return DiskImageFormat::Vhd;
  return DiskImageFormat::None;
}

std::string_view DiskImageFormatName(DiskImageFormat format) {
  switch (format) {
    case DiskImageFormat::Ewf: return "E01 (EWF)";
    case DiskImageFormat::Ewf2: return "Ex01 (EWF2)";
    case DiskImageFormat::Vhd: return "VHD";
    case DiskImageFormat::Vhdx: return "VHDX";
    case DiskImageFormat::Vmdk: return "VMDK";
    case DiskImageFormat::Qcow: return "QCOW";
    case DiskImageFormat::None: break;
  }
  return "raw";
}

SystemError DiskImageError(DiskImageFormat format, DiskImageProblem problem, std::string_view detail) {
  lastDetail.assign(detail);
  return {kErrorBase | static_cast<std::uint32_t>(format) << 4 | static_cast<std::uint32_t>(problem)};
}

std::optional<std::u16string> DiskImageErrorMessage(SystemError error) {
  if ((error.code & kErrorMask) != kErrorBase) return std::nullopt;
  const auto format = static_cast<DiskImageFormat>((error.code >> 4) & 0xFF);
  const auto problem = static_cast<DiskImageProblem>(error.code & 0xF);
  std::string name(DiskImageFormatName(format));
  std::string text;
  switch (problem) {
    case DiskImageProblem::Unreadable:
      text = "Unreadable " + name + " image (damaged, truncated, or a segment or parent file missing)";
      if (!lastDetail.empty()) text += ": " + lastDetail;
      break;
    case DiskImageProblem::ReadOnly:
      text = name + " image: disk images are only read, never written";
      break;
    case DiskImageProblem::NotThisBuild:
      text = name + " image: this build cannot read it (the Linux build of corvanel-cli can)";
      break;
  }
  return Utf8ToUtf16(text);
}

}  // namespace corvanel::platform
