#include "core/os_error.hpp"

#include <cerrno>

#include <fcntl.h>
#include <string.h>

#include <fmt/format.h>

#include "core/panic.hpp"

namespace marrowfen {

std::string os_error_text(int errnum) {
  char buf[256];
  // The GNU strerror_r returns either buf or a static string.
  const char* desc = strerror_r(errnum, buf, sizeof buf);
  return fmt::format("{} (os error {})", desc, errnum);
}

int open_file(const std::string& path, FileMode mode, std::string_view failure) {
  // The system would read the path only up to the NUL and act on a file the caller did not
  // name.
  if (path.find('\0') != std::string::npos)
    throw IoError(fmt::format("{}: file name contained an unexpected NUL byte", failure));
  const int fd = mode == FileMode::CreateWrite
                     ? ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                     : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    throw IoError(fmt::format("{}: {}", failure, os_error_text(err)));
  }
  return fd;
}

}  // namespace marrowfen
