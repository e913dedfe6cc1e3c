#include "core/os_error.hpp"

#include <string.h>

#include <fmt/format.h>

namespace marrowfen {

std::string os_error_text(int errnum) {
  char buf[256];
  // The GNU strerror_r returns either buf or a static string.
  const char* desc = strerror_r(errnum, buf, sizeof buf);
  return fmt::format("{} (os error {})", desc, errnum);
}

}  // namespace marrowfen
