// Helpers shared by the unit tests. Only `*_test.cpp` files include this header.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/panic.hpp"

namespace marrowfen {

// What stop_message returns when the call returned normally.
inline constexpr const char* NO_STOP = "<no stop>";

// Runs f and returns the message of the Panic it stopped with, or NO_STOP when it returned.
// Other exceptions pass through.
template <class F>
std::string stop_message(F&& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.message();
  }
  return NO_STOP;
}

// The whole content of a file (empty when it cannot be opened).
inline std::vector<std::uint8_t> read_file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Replaces the content of a file with `bytes`.
inline void write_file_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace marrowfen
