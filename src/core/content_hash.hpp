// The one content hash of the module: SipHash-1-3 with both keys zero, streaming.
// Values feed their fields in declaration order: integers little-endian at their width,
// machine words (lengths, counts) as 4 bytes, strings as their bytes then 0xFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace marrowfen {

class ContentHasher {
 public:
  ContentHasher() noexcept;

  void write(const void* data, std::size_t len) noexcept;
  void u8(std::uint8_t v) noexcept { write(&v, 1); }
  void u16(std::uint16_t v) noexcept;
  void u32(std::uint32_t v) noexcept;
  void u64(std::uint64_t v) noexcept;
  void i64(std::int64_t v) noexcept { u64(static_cast<std::uint64_t>(v)); }
  // Lengths, counts and indices: the module's machine word is 32 bits.
  void usize(std::size_t v) noexcept { u32(static_cast<std::uint32_t>(v)); }
  void str(std::string_view s) noexcept {
    write(s.data(), s.size());
    u8(0xFF);
  }

  std::uint64_t finish() const noexcept;

 private:
  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_;     // pending bytes, little-endian
  std::uint32_t ntail_;    // number of pending bytes (0..7)
  std::uint64_t length_;   // total bytes fed
};

// Hash a value that has `void feed(ContentHasher&) const`.
template <class T>
std::uint64_t content_hash(const T& v) noexcept {
  ContentHasher h;
  v.feed(h);
  return h.finish();
}

// A Python __hash__: the low 32 bits read as signed, -1 replaced by -2.
inline std::int32_t fold_hash(std::uint64_t h) noexcept {
  auto v = static_cast<std::int32_t>(static_cast<std::uint32_t>(h));
  return v == -1 ? -2 : v;
}

}  // namespace marrowfen
