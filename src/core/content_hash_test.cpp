#include "core/content_hash.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace marrowfen {
namespace {

std::string bytes_0_to(int n, int mul = 1) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>((i * mul) & 0xFF));
  return s;
}

// Expected values are CPython's hash(bytes) under PYTHONHASHSEED=0 (CPython 3.11:
// sys.hash_info.algorithm 'siphash13', cutoff 0, so no small-input shortcut; zero keys),
// which is SipHash-1-3 with both keys zero. CPython prints a signed value; these are the
// same 64 bits unsigned. Lengths cover a partial word, exact words, and the length byte of
// the final block wrapping (300 mod 256).
struct Oracle {
  std::string input;
  std::uint64_t hash;
};

std::vector<Oracle> oracles() {
  return {
      {"a", 0x407448d2b89b1813ULL},
      {"abcdefg", 0x6db12aae9070f506ULL},
      {"abcdefgh", 0x3f7b849c0b8e35eaULL},
      {"abcdefghi", 0xf89b34a3d11eb6e5ULL},
      {"0123456789abcde", 0x26f4d862282d8fcbULL},
      {"0123456789abcdef", 0x1d42b30f7e060c24ULL},
      {"0123456789abcdefg", 0x3323a4f8b8d9776bULL},
      {bytes_0_to(64), 0x75e05fd5bbc870c6ULL},
      {bytes_0_to(300, 7), 0x781c61ea9f40c411ULL},
  };
}

std::uint64_t hash_at_once(const std::string& s) {
  ContentHasher h;
  h.write(s.data(), s.size());
  return h.finish();
}

TEST(ContentHash, MatchesCpythonSiphash13) {
  for (const Oracle& o : oracles()) EXPECT_EQ(hash_at_once(o.input), o.hash) << o.input.size();
}

// The hasher keeps a partial word across feeds: any split gives the same result.
TEST(ContentHash, StreamingEqualsOneFeed) {
  for (const Oracle& o : oracles()) {
    const std::string& s = o.input;
    for (std::size_t a = 0; a <= s.size(); ++a) {
      for (std::size_t b = a; b <= s.size(); b += (s.size() > 20 ? 7 : 1)) {
        ContentHasher h;
        h.write(s.data(), a);
        h.write(s.data() + a, b - a);
        h.write(s.data() + b, s.size() - b);
        ASSERT_EQ(h.finish(), o.hash) << "len " << s.size() << " split " << a << "," << b;
      }
    }
    ContentHasher bytewise;
    for (char c : s) bytewise.u8(static_cast<std::uint8_t>(c));
    EXPECT_EQ(bytewise.finish(), o.hash);
  }
}

// Typed feeds are their little-endian bytes at their width (machine words as 4 bytes), and a
// string is its bytes then 0xFF. Oracle: CPython's hash of
// struct.pack('<BHIQqI', 1, 0x0203, 0x04050607, 0x08090a0b0c0d0e0f, -2, 5) + b"rz(pi/3)\xff".
TEST(ContentHash, TypedFeedsAreLittleEndianBytes) {
  ContentHasher h;
  h.u8(1);
  h.u16(0x0203);
  h.u32(0x04050607);
  h.u64(0x08090a0b0c0d0e0fULL);
  h.i64(-2);
  h.usize(5);
  h.str("rz(pi/3)");
  EXPECT_EQ(h.finish(), 0xf5880ab912482f75ULL);
}

// finish() does not disturb the state: feeding may go on after it.
TEST(ContentHash, FinishIsRepeatable) {
  const std::string s = "0123456789abcdefg";
  ContentHasher h;
  h.write(s.data(), 10);
  const std::uint64_t partial = h.finish();
  EXPECT_EQ(h.finish(), partial);
  h.write(s.data() + 10, s.size() - 10);
  EXPECT_EQ(h.finish(), 0x3323a4f8b8d9776bULL);
}

TEST(ContentHash, PythonFold) {
  struct Case {
    std::uint64_t h;
    std::int32_t folded;
  };
  const Case cases[] = {
      {0x0000000012345678ULL, 0x12345678},
      {0xabcdef0012345678ULL, 0x12345678},  // high half dropped
      {0x0000000080000000ULL, INT32_MIN},   // read as signed
      {0x00000000fffffffeULL, -2},
      {0x00000000ffffffffULL, -2},          // -1 is not a Python hash
      {0x7fffffff00000000ULL, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(fold_hash(c.h), c.folded) << std::hex << c.h;
}

struct Fed {
  std::uint32_t a;
  std::string name;
  void feed(ContentHasher& h) const {
    h.u32(a);
    h.str(name);
  }
};

TEST(ContentHash, ContentHashOfRecordFeedsItsFields) {
  ContentHasher h;
  h.u32(7);
  h.str("cx");
  EXPECT_EQ(content_hash(Fed{7, "cx"}), h.finish());
}

}  // namespace
}  // namespace marrowfen
