// Broken preconditions stop the current call: stop() throws Panic, which the binding layer
// turns into PanicException after writing the report to standard error.
#pragma once

#include <exception>
#include <source_location>
#include <string>

#include <fmt/format.h>

namespace marrowfen {

class Panic : public std::exception {
 public:
  Panic(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] void stop(std::string message,
                       std::source_location where = std::source_location::current());

// Rust-style index failures, worded as the standard library words them.
[[noreturn]] void stop_index_out_of_bounds(
    std::size_t len, std::size_t index,
    std::source_location where = std::source_location::current());

// A file or decoding failure: the binding layer maps IoError to OSError, DecodeError to
// ValueError, each with the message as its text.
class IoError : public std::exception {
 public:
  explicit IoError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class DecodeError : public std::exception {
 public:
  explicit DecodeError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace marrowfen
