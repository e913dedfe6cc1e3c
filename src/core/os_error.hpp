// The system's text for an error number, as every file and entropy failure shows it:
// the operating system's description, then " (os error N)"; and the one place where the
// module's files are opened.
#pragma once

#include <string>
#include <string_view>

namespace marrowfen {

std::string os_error_text(int errnum);

// Flags of open_file: create or empty a file for writing (mode 0666 less the umask), or open
// one read-only. Both close on exec.
enum class FileMode { CreateWrite, Read };

// Opens `path` and returns the descriptor. A path with an embedded NUL names no file: it is
// refused before the system is asked, so nothing is created, truncated or read. Any failure
// throws IoError("{failure}: {reason}"), the reason being the system's error text or
// "file name contained an unexpected NUL byte".
int open_file(const std::string& path, FileMode mode, std::string_view failure);

}  // namespace marrowfen
