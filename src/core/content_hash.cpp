#include "core/content_hash.hpp"

#include <cstring>

namespace marrowfen {
namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

inline void sipround(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2,
                     std::uint64_t& v3) {
  v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
  v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
  v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
  v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
}

}  // namespace

ContentHasher::ContentHasher() noexcept
    : v0_(0x736f6d6570736575ULL),
      v1_(0x646f72616e646f6dULL),
      v2_(0x6c7967656e657261ULL),
      v3_(0x7465646279746573ULL),
      tail_(0),
      ntail_(0),
      length_(0) {}

void ContentHasher::write(const void* data, std::size_t len) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  length_ += len;
  std::size_t i = 0;
  if (ntail_ != 0) {
    while (ntail_ < 8 && i < len) {
      tail_ |= static_cast<std::uint64_t>(p[i]) << (8 * ntail_);
      ++ntail_;
      ++i;
    }
    if (ntail_ < 8) return;
    v3_ ^= tail_;
    sipround(v0_, v1_, v2_, v3_);
    v0_ ^= tail_;
    tail_ = 0;
    ntail_ = 0;
  }
  for (; i + 8 <= len; i += 8) {
    std::uint64_t m = 0;
    for (int k = 0; k < 8; ++k) m |= static_cast<std::uint64_t>(p[i + k]) << (8 * k);
    v3_ ^= m;
    sipround(v0_, v1_, v2_, v3_);
    v0_ ^= m;
  }
  for (; i < len; ++i) {
    tail_ |= static_cast<std::uint64_t>(p[i]) << (8 * ntail_);
    ++ntail_;
  }
}

void ContentHasher::u16(std::uint16_t v) noexcept {
  unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  write(b, 2);
}

void ContentHasher::u32(std::uint32_t v) noexcept {
  unsigned char b[4];
  for (int k = 0; k < 4; ++k) b[k] = static_cast<unsigned char>(v >> (8 * k));
  write(b, 4);
}

void ContentHasher::u64(std::uint64_t v) noexcept {
  unsigned char b[8];
  for (int k = 0; k < 8; ++k) b[k] = static_cast<unsigned char>(v >> (8 * k));
  write(b, 8);
}

std::uint64_t ContentHasher::finish() const noexcept {
  std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
  const std::uint64_t b = ((length_ & 0xff) << 56) | tail_;
  v3 ^= b;
  sipround(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xff;
  sipround(v0, v1, v2, v3);
  sipround(v0, v1, v2, v3);
  sipround(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace marrowfen
