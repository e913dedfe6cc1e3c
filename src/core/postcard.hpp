// The postcard encoding over buffered files, as the class file and the prover file use it:
// unsigned LEB128 varints in their shortest form (seven bits per byte, lowest group first,
// the high bit set on every byte but the last), raw bytes, and strings as a varint byte
// length followed by UTF-8. Structures are their fields in order with no names or tags; a
// sequence is its length as a varint followed by its elements. No header, no trailer:
// whatever follows the last field a reader asks for is never read.
//
// Both ends go through an 8 KiB buffer. Failures are thrown as the file errors of
// core/panic.hpp with the module's texts:
//   IoError     "Failed to create file: {}" / "Failed to open file: {}" (system error text)
//   DecodeError "Failed to write postcard data: The serialize buffer is full" (any output
//               failure) and "Failed to read postcard data: {}" with one of the decoder texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace marrowfen {

enum class PostcardError {
  UnexpectedEnd,  // the data ends early, a read fails, or a string exceeds the scratch area
  BadVarint,      // a varint longer than its type allows, or overflowing its last byte
  BadUtf8,        // a string that is not UTF-8
  SerdeDe,        // a decoded value that does not fit the field it is read into
};

inline constexpr std::string_view POSTCARD_SERIALIZE_BUFFER_FULL = "The serialize buffer is full";

// The decoder's text for an error, e.g. "Hit the end of buffer, expected more data".
std::string_view postcard_error_text(PostcardError e) noexcept;

// Throws DecodeError("Failed to read postcard data: " + text of e).
[[noreturn]] void throw_postcard_read_error(PostcardError e);

// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view s) noexcept;

// How many elements to reserve for a sequence whose declared length is `count`: never more
// than about 1 MiB worth, so a corrupt count fails at the end of the data instead of
// exhausting memory.
template <class T>
constexpr std::size_t cautious_capacity(std::uint64_t count) noexcept {
  constexpr std::size_t limit = (std::size_t{1} << 20) / (sizeof(T) == 0 ? 1 : sizeof(T));
  return count < limit ? static_cast<std::size_t>(count) : limit;
}

class PostcardWriter {
 public:
  static constexpr std::size_t BUFFER_SIZE = 8192;

  // Creates the file, or truncates an existing one (mode 0666 less the umask).
  explicit PostcardWriter(const std::string& path);
  // Without finish() (a failed write, an exception on the way), whatever is still buffered
  // is handed to the file, errors ignored, and the file is closed.
  ~PostcardWriter();
  PostcardWriter(const PostcardWriter&) = delete;
  PostcardWriter& operator=(const PostcardWriter&) = delete;

  void u8(std::uint8_t v) {
    if (used_ == BUFFER_SIZE) flush_buffer();
    buf_[used_++] = v;
  }
  void bytes(const void* data, std::size_t len);
  void varint_u32(std::uint32_t v);
  void varint_u64(std::uint64_t v);
  // A sequence or string length: a machine word, which the module writes as a 32-bit varint.
  void varint_len(std::size_t n) { varint_u64(n); }
  // Byte length as a varint, then the bytes (the caller passes UTF-8).
  void str(std::string_view s) {
    varint_len(s.size());
    bytes(s.data(), s.size());
  }

  // Hands the rest of the buffer to the file and closes it.
  void finish();

 private:
  void flush_buffer();
  void write_all(const std::uint8_t* p, std::size_t len);
  [[noreturn]] static void fail();

  int fd_ = -1;
  std::size_t used_ = 0;
  std::unique_ptr<std::uint8_t[]> buf_;
};

class PostcardReader {
 public:
  static constexpr std::size_t BUFFER_SIZE = 8192;
  static constexpr std::size_t DEFAULT_SCRATCH_SIZE = 8192;

  // Opens the file read-only. `scratch_size` bounds one string: a longer one is an
  // unexpected end, as if the data had run out.
  explicit PostcardReader(const std::string& path,
                          std::size_t scratch_size = DEFAULT_SCRATCH_SIZE);
  ~PostcardReader();
  PostcardReader(const PostcardReader&) = delete;
  PostcardReader& operator=(const PostcardReader&) = delete;

  std::uint8_t u8() {
    if (pos_ == end_) refill();
    return buf_[pos_++];
  }
  void bytes(void* out, std::size_t len);
  // At most five bytes, the fifth at most 15.
  std::uint32_t varint_u32();
  // At most ten bytes, the tenth at most 1.
  std::uint64_t varint_u64();
  // A machine word that was written through a 64-bit varint: read as varint_u64, and a value
  // of 2^32 or more is SerdeDe.
  std::uint32_t varint_u64_to_u32();
  // A sequence or string length (32-bit machine word).
  std::uint32_t varint_len() { return varint_u32(); }
  // Length, bytes into the scratch area, UTF-8 check. The view is valid until the next str().
  std::string_view str();

  [[noreturn]] static void fail(PostcardError e) { throw_postcard_read_error(e); }

 private:
  void refill();

  int fd_ = -1;
  std::size_t pos_ = 0, end_ = 0;
  std::size_t scratch_size_;
  std::unique_ptr<std::uint8_t[]> buf_;
  std::unique_ptr<std::uint8_t[]> scratch_;
};

}  // namespace marrowfen
