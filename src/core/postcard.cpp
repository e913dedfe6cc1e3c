#include "core/postcard.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include <fmt/format.h>

#include "core/os_error.hpp"
#include "core/panic.hpp"

namespace marrowfen {

std::string_view postcard_error_text(PostcardError e) noexcept {
  switch (e) {
    case PostcardError::UnexpectedEnd:
      return "Hit the end of buffer, expected more data";
    case PostcardError::BadVarint:
      return "Found a varint that didn't terminate. Is the usize too big for this platform?";
    case PostcardError::BadUtf8:
      return "Tried to parse invalid utf-8";
    case PostcardError::SerdeDe:
      return "Serde Deserialization Error";
  }
  return "Serde Deserialization Error";
}

void throw_postcard_read_error(PostcardError e) {
  throw DecodeError(fmt::format("Failed to read postcard data: {}", postcard_error_text(e)));
}

bool is_valid_utf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lo = 0xA0;         // no overlong 3-byte forms
      if (c == 0xED) hi = 0x9F;         // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lo = 0x90;         // no overlong 4-byte forms
      if (c == 0xF4) hi = 0x8F;         // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k <= extra; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Writer

PostcardWriter::PostcardWriter(const std::string& path)
    : buf_(std::make_unique<std::uint8_t[]>(BUFFER_SIZE)) {
  fd_ = open_file(path, FileMode::CreateWrite, "Failed to create file");
}

PostcardWriter::~PostcardWriter() {
  if (fd_ < 0) return;
  try {
    flush_buffer();
  } catch (...) {
    // The caller already has (or never needs) the error; the file keeps what was written.
  }
  ::close(fd_);
}

void PostcardWriter::fail() {
  throw DecodeError(
      fmt::format("Failed to write postcard data: {}", POSTCARD_SERIALIZE_BUFFER_FULL));
}

void PostcardWriter::write_all(const std::uint8_t* p, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd_, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail();
    }
    if (n == 0) fail();
    p += n;
    len -= static_cast<std::size_t>(n);
  }
}

void PostcardWriter::flush_buffer() {
  std::size_t done = 0;
  while (done < used_) {
    const ssize_t n = ::write(fd_, buf_.get() + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Keep what the file did not take, so a later attempt starts where this one stopped.
      std::memmove(buf_.get(), buf_.get() + done, used_ - done);
      used_ -= done;
      fail();
    }
    done += static_cast<std::size_t>(n);
  }
  used_ = 0;
}

void PostcardWriter::bytes(const void* data, std::size_t len) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (len > BUFFER_SIZE - used_) {
    flush_buffer();
    if (len >= BUFFER_SIZE) {  // too big to buffer: straight to the file
      write_all(p, len);
      return;
    }
  }
  std::memcpy(buf_.get() + used_, p, len);
  used_ += len;
}

void PostcardWriter::varint_u32(std::uint32_t v) { varint_u64(v); }

void PostcardWriter::varint_u64(std::uint64_t v) {
  std::uint8_t tmp[10];
  std::size_t n = 0;
  while (v >= 0x80) {
    tmp[n++] = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  tmp[n++] = static_cast<std::uint8_t>(v);
  bytes(tmp, n);
}

void PostcardWriter::finish() {
  if (fd_ < 0) return;
  flush_buffer();
  ::close(fd_);
  fd_ = -1;
}

// ---------------------------------------------------------------------------------------
// Reader

PostcardReader::PostcardReader(const std::string& path, std::size_t scratch_size)
    : scratch_size_(scratch_size),
      buf_(std::make_unique<std::uint8_t[]>(BUFFER_SIZE)),
      scratch_(std::make_unique<std::uint8_t[]>(scratch_size)) {  // zeroed
  fd_ = open_file(path, FileMode::Read, "Failed to open file");
}

PostcardReader::~PostcardReader() {
  if (fd_ >= 0) ::close(fd_);
}

void PostcardReader::refill() {
  for (;;) {
    const ssize_t n = ::read(fd_, buf_.get(), BUFFER_SIZE);
    if (n < 0 && errno == EINTR) continue;
    // A read error reads as the end of the data.
    if (n <= 0) fail(PostcardError::UnexpectedEnd);
    pos_ = 0;
    end_ = static_cast<std::size_t>(n);
    return;
  }
}

void PostcardReader::bytes(void* out, std::size_t len) {
  auto* dst = static_cast<std::uint8_t*>(out);
  while (len > 0) {
    if (pos_ == end_) refill();
    const std::size_t take = std::min(len, end_ - pos_);
    std::memcpy(dst, buf_.get() + pos_, take);
    pos_ += take;
    dst += take;
    len -= take;
  }
}

std::uint32_t PostcardReader::varint_u32() {
  std::uint32_t out = 0;
  for (int i = 0; i < 5; ++i) {
    const std::uint8_t b = u8();
    out |= static_cast<std::uint32_t>(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) {
      if (i == 4 && b > 0x0F) fail(PostcardError::BadVarint);
      return out;
    }
  }
  fail(PostcardError::BadVarint);
}

std::uint64_t PostcardReader::varint_u64() {
  std::uint64_t out = 0;
  for (int i = 0; i < 10; ++i) {
    const std::uint8_t b = u8();
    out |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) {
      if (i == 9 && b > 0x01) fail(PostcardError::BadVarint);
      return out;
    }
  }
  fail(PostcardError::BadVarint);
}

std::uint32_t PostcardReader::varint_u64_to_u32() {
  const std::uint64_t v = varint_u64();
  if (v > UINT32_MAX) fail(PostcardError::SerdeDe);
  return static_cast<std::uint32_t>(v);
}

std::string_view PostcardReader::str() {
  const std::uint32_t len = varint_len();
  if (len > scratch_size_) fail(PostcardError::UnexpectedEnd);
  bytes(scratch_.get(), len);
  const std::string_view s(reinterpret_cast<const char*>(scratch_.get()), len);
  if (!is_valid_utf8(s)) fail(PostcardError::BadUtf8);
  return s;
}

}  // namespace marrowfen
