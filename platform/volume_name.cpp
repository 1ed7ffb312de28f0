// Drive-letter forms of a volume name.
#include "platform/volume_name.h"

#include <cctype>

namespace corvanel::platform {

std::optional<char> DriveLetterFromName(std::string_view name) {
  if (name.starts_with("\\\\.\\") || name.starts_with("//./")) name.remove_prefix(4);
  if (name.size() == 3 && (name[2] == '\\' || name[2] == '/')) name.remove_suffix(1);
  if (name.size() != 2 || name[1] != ':' || !std::isalpha(static_cast<unsigned char>(name[0])))
    return std::nullopt;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
}

}  // namespace corvanel::platform
