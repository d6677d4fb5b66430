// Renderings of operating-system errors used in messages.
#pragma once

#include <string>

namespace quarn {

// errno value standing for a path that holds a NUL byte, which the system
// itself never sees; rendered as its own text.
inline constexpr int nul_in_path = -1;

// "No such file or directory (os error 2)".
std::string os_text_rendering(int code);

// "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }".
std::string os_structured_rendering(int code);

}  // namespace quarn
