#include "core/postcard.hpp"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/panic.hpp"
#include "core/test_support.hpp"

namespace marrowfen {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string READ_PREFIX = "Failed to read postcard data: ";
const std::string END = READ_PREFIX + "Hit the end of buffer, expected more data";
const std::string BAD_VARINT =
    READ_PREFIX + "Found a varint that didn't terminate. Is the usize too big for this platform?";
const std::string BAD_UTF8 = READ_PREFIX + "Tried to parse invalid utf-8";
const std::string SERDE = READ_PREFIX + "Serde Deserialization Error";
const std::string WRITE_FAILED = "Failed to write postcard data: The serialize buffer is full";

class PostcardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/marrowfen_postcard_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name = "f.bin") const { return (dir_ / name).string(); }

  std::string write_file(const Bytes& b, const std::string& name = "in.bin") const {
    write_file_bytes(path(name), b);
    return path(name);
  }

  Bytes encode(const std::function<void(PostcardWriter&)>& f) const {
    {
      PostcardWriter w(path("enc.bin"));
      f(w);
      w.finish();
    }
    return read_file_bytes(path("enc.bin"));
  }

  // The message of the DecodeError that reading `file` with `f` throws ("" if none).
  std::string read_error(const Bytes& file, const std::function<void(PostcardReader&)>& f,
                         std::size_t scratch = PostcardReader::DEFAULT_SCRATCH_SIZE) const {
    PostcardReader r(write_file(file), scratch);
    try {
      f(r);
    } catch (const DecodeError& e) {
      return e.what();
    }
    return "";
  }

  std::filesystem::path dir_;
};

TEST_F(PostcardTest, VarintEncodingsRoundTrip) {
  struct Case {
    std::uint64_t value;
    Bytes bytes;
  };
  const std::vector<Case> u32_cases = {
      {0, {0x00}},
      {1, {0x01}},
      {127, {0x7F}},
      {128, {0x80, 0x01}},
      {300, {0xAC, 0x02}},
      {16383, {0xFF, 0x7F}},
      {16384, {0x80, 0x80, 0x01}},
      {0x01000000, {0x80, 0x80, 0x80, 0x08}},  // the one-qubit identity permutation
      {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
  };
  const std::vector<Case> u64_cases = {
      {0x100000000ULL, {0x80, 0x80, 0x80, 0x80, 0x10}},
      {0xFFFFFFFFFFFFFFFFULL, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
  };
  for (const Case& c : u32_cases) {
    EXPECT_EQ(encode([&](PostcardWriter& w) { w.varint_u32(static_cast<std::uint32_t>(c.value)); }),
              c.bytes)
        << c.value;
    // A 64-bit varint of a 32-bit value has the same bytes.
    EXPECT_EQ(encode([&](PostcardWriter& w) { w.varint_u64(c.value); }), c.bytes) << c.value;
    PostcardReader r(write_file(c.bytes));
    EXPECT_EQ(r.varint_u32(), c.value);
  }
  for (const Case& c : u64_cases) {
    EXPECT_EQ(encode([&](PostcardWriter& w) { w.varint_u64(c.value); }), c.bytes) << c.value;
    PostcardReader r(write_file(c.bytes));
    EXPECT_EQ(r.varint_u64(), c.value);
  }
}

// The shape the class file uses: one class holding the empty circuit and h h on qubit 0, both
// with the one-qubit identity permutation, then the qubit count.
TEST_F(PostcardTest, ClassFileShapedExample) {
  const Bytes expected = {0x01, 0x02, 0x00, 0x80, 0x80, 0x80, 0x08, 0x02, 0x01, 0x68, 0x00,
                          0xFF, 0x01, 0x68, 0x00, 0xFF, 0x80, 0x80, 0x80, 0x08, 0x01};
  const Bytes got = encode([](PostcardWriter& w) {
    w.varint_len(1);
    w.varint_len(2);
    w.varint_len(0);
    w.varint_u32(0x01000000);
    w.varint_len(2);
    for (int i = 0; i < 2; ++i) {
      w.str("h");
      w.u8(0);
      w.u8(0xFF);
    }
    w.varint_u32(0x01000000);
    w.varint_u64(1);
  });
  EXPECT_EQ(got, expected);

  // Decoding the same shape; every cut of the file fails as an unexpected end, and bytes
  // after the last field are never looked at.
  auto decode = [](PostcardReader& r) {
    std::string texts;
    for (std::uint32_t c = r.varint_len(); c > 0; --c)
      for (std::uint32_t m = r.varint_len(); m > 0; --m) {
        for (std::uint32_t i = r.varint_len(); i > 0; --i) {
          texts += r.str();
          r.u8();
          r.u8();
        }
        EXPECT_EQ(r.varint_u32(), 0x01000000u);
      }
    EXPECT_EQ(r.varint_u64_to_u32(), 1u);
    return texts;
  };
  Bytes padded = expected;
  padded.insert(padded.end(), {0xFF, 0xFF, 0xFF});
  {
    PostcardReader r(write_file(padded));
    EXPECT_EQ(decode(r), "hh");
  }
  for (std::size_t cut = 0; cut < expected.size(); ++cut)
    EXPECT_EQ(read_error(Bytes(expected.begin(), expected.begin() + cut),
                         [&](PostcardReader& r) { decode(r); }),
              END)
        << "cut at " << cut;
}

TEST_F(PostcardTest, DecodeErrors) {
  using Read = std::function<void(PostcardReader&)>;
  const Read u32 = [](PostcardReader& r) { r.varint_u32(); };
  const Read u64 = [](PostcardReader& r) { r.varint_u64(); };
  const Read word = [](PostcardReader& r) { r.varint_u64_to_u32(); };
  const Read str = [](PostcardReader& r) { r.str(); };
  struct Case {
    const char* what;
    Bytes file;
    Read read;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"u32 fifth byte above 15", {0x80, 0x80, 0x80, 0x80, 0x10}, u32, BAD_VARINT},
      {"u32 fifth byte continues", {0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, u32, BAD_VARINT},
      {"u32 fifth byte 15", {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, u32, ""},
      {"u32 cut", {0x80, 0x80}, u32, END},
      {"empty file", {}, u32, END},
      {"u64 tenth byte above 1", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, u64,
       BAD_VARINT},
      {"u64 tenth byte continues", Bytes(10, 0x80), u64, BAD_VARINT},
      {"word of 2^32", {0x80, 0x80, 0x80, 0x80, 0x10}, word, SERDE},
      {"word of 2^32 - 1", {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, word, ""},
      {"str length overlong", {0x80, 0x80, 0x80, 0x80, 0x80}, str, BAD_VARINT},
      {"str cut", {0x03, 'a', 'b'}, str, END},
      {"str not utf-8", {0x02, 0xC3, 0x28}, str, BAD_UTF8},
      {"str lone continuation", {0x01, 0x80}, str, BAD_UTF8},
      {"str surrogate", {0x03, 0xED, 0xA0, 0x80}, str, BAD_UTF8},
      {"str utf-8", {0x03, 0xE2, 0x80, 0xA0}, str, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(read_error(c.file, c.read), c.error) << c.what;
}

// The scratch area bounds one string: a longer one reads as an unexpected end even when the
// bytes are there; one that fills it exactly is fine.
TEST_F(PostcardTest, StringScratchLimit) {
  for (std::size_t len : {8192u, 8193u}) {
    const std::string text(len, 'x');
    const Bytes file = encode([&](PostcardWriter& w) { w.str(text); });
    PostcardReader r(write_file(file));
    if (len <= PostcardReader::DEFAULT_SCRATCH_SIZE) {
      EXPECT_EQ(r.str(), text);
    } else {
      try {
        r.str();
        ADD_FAILURE() << "no error for " << len;
      } catch (const DecodeError& e) {
        EXPECT_EQ(std::string(e.what()), END);
      }
    }
  }
  EXPECT_EQ(read_error({0x03, 'a', 'b', 'c'}, [](PostcardReader& r) { r.str(); }, 2), END);
}

// Values that straddle the 8 KiB buffer on both sides, and raw runs larger than the buffer.
TEST_F(PostcardTest, BufferBoundaries) {
  const std::string gate(5000, 'g');
  const Bytes big(20000, 0xA5);
  const std::size_t lead = PostcardWriter::BUFFER_SIZE - 2;
  const Bytes file = encode([&](PostcardWriter& w) {
    for (std::size_t i = 0; i < lead; ++i) w.u8(static_cast<std::uint8_t>(i));
    w.varint_u64(0xFFFFFFFFFFFFFFFFULL);  // bytes 8190..8199
    w.str(gate);                          // length 2 bytes, then crosses again
    w.bytes(big.data(), big.size());      // bigger than the buffer
    w.varint_u32(300);
    w.str("tail");
  });
  ASSERT_EQ(file.size(), lead + 10 + 2 + gate.size() + big.size() + 2 + 5);

  PostcardReader r(write_file(file));
  for (std::size_t i = 0; i < lead; ++i) ASSERT_EQ(r.u8(), static_cast<std::uint8_t>(i));
  EXPECT_EQ(r.varint_u64(), 0xFFFFFFFFFFFFFFFFULL);
  EXPECT_EQ(r.str(), gate);
  Bytes got(big.size());
  r.bytes(got.data(), got.size());
  EXPECT_EQ(got, big);
  EXPECT_EQ(r.varint_u32(), 300u);
  EXPECT_EQ(r.str(), "tail");
}

TEST_F(PostcardTest, FileErrors) {
  const std::string missing = path("no/such/dir/f.bin");
  try {
    PostcardWriter w(missing);
    ADD_FAILURE() << "created a file in a missing directory";
  } catch (const IoError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Failed to create file: No such file or directory (os error 2)");
  }
  try {
    PostcardReader r(missing);
    ADD_FAILURE() << "opened a missing file";
  } catch (const IoError& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to open file: No such file or directory (os error 2)");
  }
  // A path with a NUL names no file: refused before anything is created or read.
  for (const std::string& prefix : {path("w.bin"), path("no/such/dir/f.bin")}) {
    const std::string nul = prefix + std::string(1, '\0') + ".bin";
    try {
      PostcardWriter w(nul);
      ADD_FAILURE() << "created a file for a path with a NUL";
    } catch (const IoError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Failed to create file: file name contained an unexpected NUL byte");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(path("w.bin")));
  write_file({1, 2, 3}, "r.bin");
  try {
    PostcardReader r(path("r.bin") + std::string(1, '\0'));
    ADD_FAILURE() << "opened a path with a NUL";
  } catch (const IoError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Failed to open file: file name contained an unexpected NUL byte");
  }
  // A directory opens but cannot be read: a read error reads as the end of the data.
  EXPECT_EQ(read_error({}, [&](PostcardReader&) { PostcardReader d(dir_.string()); d.u8(); }),
            END);
}

// Any output failure is the encoder's one text, whether it happens while writing (a full
// buffer passed on) or at the final flush.
TEST_F(PostcardTest, WriteFailures) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  for (std::size_t n : {10u, 10000u}) {
    try {
      PostcardWriter w("/dev/full");
      for (std::size_t i = 0; i < n; ++i) w.u8(1);
      w.finish();
      ADD_FAILURE() << "no error writing " << n << " bytes";
    } catch (const DecodeError& e) {
      EXPECT_EQ(std::string(e.what()), WRITE_FAILED);
    }
  }
}

// A writer dropped without finish() (say, an exception while encoding) still hands what it
// buffered to the file.
TEST_F(PostcardTest, DroppedWriterKeepsBufferedBytes) {
  try {
    PostcardWriter w(path());
    w.str("abc");
    throw std::runtime_error("encoding failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(read_file_bytes(path()), (Bytes{0x03, 'a', 'b', 'c'}));
}

TEST(Utf8, StrictValidation) {
  struct Case {
    const char* bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii", true},
      {"u\xE2\x80\xA0", true},        // U+2020, the adjoint mark
      {"\xF0\x9F\x98\x80", true},     // U+1F600
      {"\xF4\x8F\xBF\xBF", true},     // U+10FFFF
      {"\xC0\xAF", false},            // overlong '/'
      {"\xE0\x80\xAF", false},        // overlong, 3 bytes
      {"\xF0\x80\x80\xAF", false},    // overlong, 4 bytes
      {"\xED\xA0\x80", false},        // surrogate U+D800
      {"\xF4\x90\x80\x80", false},    // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xE2\x80", false},            // cut sequence
      {"\x80", false},
      {"\xC3\x28", false},
      {"\xFF", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
}

TEST(CautiousCapacity, BoundedFirstAllocation) {
  EXPECT_EQ(cautious_capacity<std::uint32_t>(10), 10u);
  EXPECT_EQ(cautious_capacity<std::uint32_t>(0xFFFFFFFFu), (1u << 20) / 4);
  EXPECT_EQ(cautious_capacity<std::uint8_t>(1u << 30), 1u << 20);
}

}  // namespace
}  // namespace marrowfen
