// Drive-letter forms of a volume name.
#pragma once

#include <optional>
#include <string_view>

namespace corvanel::platform {

// "X:", "X:\", "X:/" and "\\.\X:" name drive X (returned in upper case);
// nothing else does.
std::optional<char> DriveLetterFromName(std::string_view name);

}  // namespace corvanel::platform
