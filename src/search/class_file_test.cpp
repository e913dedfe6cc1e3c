#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "circ/gate.hpp"
#include "core/panic.hpp"
#include "core/test_support.hpp"
#include "search/ecc.hpp"

namespace marrowfen {
namespace {

using Bytes = std::vector<std::uint8_t>;

Instr32 one(Gate16 g, std::uint8_t q) { return Instr32::one(g, q); }
Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32::two(g, a, b); }
Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
Permut32 id(std::uint8_t n) { return Permut32::identity(n); }

class ClassFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/marrowfen_classfile_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const std::string& f : files_) ::unlink(f.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string path(const std::string& name) {
    files_.push_back(dir_ + "/" + name);
    return files_.back();
  }
  Bytes dump(const ECCs& e) {
    const std::string p = path("dump.bin");
    e.dump_postcard(p);
    return read_file_bytes(p);
  }
  ECCs load(const Bytes& b) {
    const std::string p = path("load.bin");
    write_file_bytes(p, b);
    return ECCs::from_postcard(p);
  }
  // The DecodeError text of loading b, or "<loaded>".
  std::string load_error(const Bytes& b) {
    try {
      load(b);
    } catch (const DecodeError& e) {
      return e.what();
    }
    return "<loaded>";
  }

  std::string dir_;
  std::vector<std::string> files_;
};

const ECCs EXAMPLE{{ECC{{EccMember{{}, id(1)},
                         EccMember{{one(gates::H, 0), one(gates::H, 0)}, id(1)}}}},
                   1};
const Bytes EXAMPLE_BYTES = {0x01, 0x02, 0x00, 0x80, 0x80, 0x80, 0x08, 0x02, 0x01,
                             0x68, 0x00, 0xFF, 0x01, 0x68, 0x00, 0xFF, 0x80, 0x80,
                             0x80, 0x08, 0x01};

const std::string END = "Failed to read postcard data: Hit the end of buffer, expected more data";

TEST_F(ClassFile, ExactBytesOfSmallCollections) {
  EXPECT_EQ(dump(EXAMPLE), EXAMPLE_BYTES);
  EXPECT_EQ(dump(ECCs{{}, 3}), (Bytes{0x00, 0x03}));
  EXPECT_EQ(dump(ECCs{{}, 128}), (Bytes{0x00, 0x80, 0x01}));
  // A two-qubit instruction, the empty permutation as one byte 00, the 4-byte (0 2 1).
  const ECCs e{{ECC{{EccMember{{two(gates::CX, 0, 1)}, Permut32{}}}},
                ECC{{EccMember{{}, P({0, 2, 1})}}}},
               0xFFFF'FFFF};
  EXPECT_EQ(dump(e), (Bytes{0x02, 0x01, 0x01, 0x02, 0x63, 0x78, 0x00, 0x01, 0x00, 0x01, 0x00,
                            0xD0, 0x80, 0x80, 0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
}

TEST_F(ClassFile, RoundTripKeepsEverythingAsWritten) {
  // Parameterised and custom-adjoint gate texts, unsorted classes, an empty class and a
  // one-member class all come back unchanged, and writing again gives the same bytes.
  GateMatrix m(2, 2);
  m.at(0, 0) = QComplex{1.0, 0.0};
  m.at(1, 1) = QComplex{0.6, 0.8};
  const Gate16 u = Gate16::create("u_classfile", {"a", "b"}, m);
  const Gate16 udg = u.adjoint();
  ASSERT_EQ(udg.display(), "u_classfile\u2020(a, b)");
  const Gate16 rz = *Gate16::from_name("rz(pi/3)");
  const ECCs e{{ECC{{EccMember{{one(gates::X, 2), one(udg, 1)}, P({2, 0, 1})},
                     EccMember{{one(u, 0), one(rz, 2), two(gates::CX, 2, 0)}, id(3)}}},
                ECC{},
                ECC{{EccMember{{one(gates::H, 0)}, id(3)}}}},
               3};
  const Bytes b = dump(e);
  const ECCs back = load(b);
  EXPECT_EQ(back, e);
  EXPECT_EQ(dump(back), b);
  EXPECT_EQ(load(EXAMPLE_BYTES), EXAMPLE);
}

TEST_F(ClassFile, TrailingBytesAreIgnored) {
  Bytes b = EXAMPLE_BYTES;
  b.insert(b.end(), {0xFF, 0xFF, 0x00, 0x42});
  EXPECT_EQ(load(b), EXAMPLE);
}

TEST_F(ClassFile, NothingIsValidatedBeyondTheEncoding) {
  // Qubit bytes beyond the arity and the qubit count, an unchecked permutation word.
  const Bytes b = {0x01, 0x01, 0x01, 0x01, 0x68, 0x07, 0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x02};
  const ECCs e = load(b);
  ASSERT_EQ(e.eccs.size(), 1u);
  EXPECT_EQ(e.eccs[0].members[0].first[0], Instr32::two(gates::H, 7, 9));
  EXPECT_EQ(e.eccs[0].members[0].second.raw, 0xFFFF'FFFFu);
  EXPECT_EQ(e.nqubits, 2u);
}

TEST_F(ClassFile, CutAnywhereFailsWithEndOfBuffer) {
  for (std::size_t n = 0; n < EXAMPLE_BYTES.size(); ++n) {
    const Bytes cut(EXAMPLE_BYTES.begin(), EXAMPLE_BYTES.begin() + static_cast<long>(n));
    EXPECT_EQ(load_error(cut), END) << "cut at " << n;
  }
}

TEST_F(ClassFile, DecoderErrors) {
  const std::string VARINT =
      "Failed to read postcard data: Found a varint that didn't terminate. Is the usize too big "
      "for this platform?";
  struct Case {
    const char* what;
    Bytes bytes;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"class count fifth byte above 15", {0x80, 0x80, 0x80, 0x80, 0x10}, VARINT},
      {"class count fifth byte continues", {0xFF, 0xFF, 0xFF, 0xFF, 0x8F, 0x00}, VARINT},
      {"permutation varint too long",
       {0x01, 0x01, 0x00, 0x80, 0x80, 0x80, 0x80, 0x20, 0x01},
       VARINT},
      {"qubit count of 2^32", {0x00, 0x80, 0x80, 0x80, 0x80, 0x10},
       "Failed to read postcard data: Serde Deserialization Error"},
      {"qubit count past ten bytes",
       {0x00, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00},
       VARINT},
      {"qubit count tenth byte above 1",
       {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},
       VARINT},
      {"gate text not UTF-8",
       {0x01, 0x01, 0x01, 0x01, 0xC3, 0x00, 0xFF, 0x00, 0x01},
       "Failed to read postcard data: Tried to parse invalid utf-8"},
  };
  for (const Case& c : cases) EXPECT_EQ(load_error(c.bytes), c.error) << c.what;

  // A gate text longer than 8192 bytes reads as the end of the data, even when it is there.
  Bytes big = {0x01, 0x01, 0x01, 0x81, 0x40};  // length 8193
  big.insert(big.end(), 8193 + 16, 'h');
  EXPECT_EQ(load_error(big), END);
}

TEST_F(ClassFile, UnknownGateStops) {
  const Bytes b = {0x01, 0x01, 0x01, 0x04, 'n', 'o', 'p', 'e', 0x00, 0xFF, 0x00, 0x01};
  try {
    load(b);
    FAIL() << "loaded";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "Failed to deserialize Gate16 from nope");
  }
}

TEST_F(ClassFile, MissingDirectory) {
  const std::string p = dir_ + "/missing/x.bin";
  try {
    EXAMPLE.dump_postcard(p);
    FAIL() << "written";
  } catch (const IoError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Failed to create file: No such file or directory (os error 2)");
  }
  try {
    ECCs::from_postcard(p);
    FAIL() << "read";
  } catch (const IoError& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to open file: No such file or directory (os error 2)");
  }
}

TEST_F(ClassFile, LargeFileCrossesTheBufferBoundary) {
  // Many members so that both the writer and the reader refill their 8 KiB buffers.
  ECC big;
  for (unsigned i = 0; i < 3000; ++i)
    big.members.push_back(EccMember{{one(gates::H, static_cast<std::uint8_t>(i % 5)),
                                     two(gates::CX, 0, static_cast<std::uint8_t>(1 + i % 4))},
                                    id(5)});
  const ECCs e{{big, big}, 5};
  const Bytes b = dump(e);
  EXPECT_GT(b.size(), 3u * 8192);
  EXPECT_EQ(load(b), e);
}

}  // namespace
}  // namespace marrowfen
