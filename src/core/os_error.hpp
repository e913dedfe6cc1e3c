// The system's text for an error number, as every file and entropy failure shows it:
// the operating system's description, then " (os error N)".
#pragma once

#include <string>

namespace marrowfen {

std::string os_error_text(int errnum);

}  // namespace marrowfen
