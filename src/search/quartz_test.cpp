#include "search/quartz.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "circ/gate.hpp"
#include "core/panic.hpp"

namespace marrowfen {
namespace {

Instr32 one(Gate16 g, std::uint8_t q) { return Instr32::one(g, q); }
Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32::two(g, a, b); }
Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
Permut32 id(std::uint8_t n) { return Permut32::identity(n); }

const Instr32 H0 = one(gates::H, 0);
const ECC SINGLE{{EccMember{{H0}, id(1)}}};
const ECC PAIR{{EccMember{{}, id(1)}, EccMember{{H0, H0}, id(1)}}};
const std::string PAIR_GROUP =
    R"([[[1,0],[]],[[1,2],[["h",["Q0"],["Q0"]],["h",["Q0"],["Q0"]]]]])";

TEST(Quartz, SmallDocuments) {
  EXPECT_EQ(quartz_document(ECCs{{PAIR, SINGLE}, 1}),
            R"([[[0],[0]],{"0_0":[[[1,0],[]],[[1,2],[["h",["Q0"],["Q0"]],["h",["Q0"],["Q0"]]]]]}])");
  EXPECT_EQ(quartz_document(ECCs{}), "[[[0],[0]],{}]");
  EXPECT_EQ(quartz_document(ECCs{{SINGLE, ECC{}, SINGLE}, 1}), "[[[0],[0]],{}]");
  // Indices of skipped classes are used up.
  EXPECT_EQ(quartz_document(ECCs{{SINGLE, PAIR, PAIR}, 1}),
            "[[[0],[0]],{\"1_0\":" + PAIR_GROUP + ",\"2_0\":" + PAIR_GROUP + "}]");
}

TEST(Quartz, KeysInByteOrder) {
  ECCs e;
  e.nqubits = 1;
  for (int i = 0; i < 11; ++i) e.eccs.push_back(i == 1 || i == 10 ? PAIR : SINGLE);
  EXPECT_EQ(quartz_document(e),
            "[[[0],[0]],{\"10_0\":" + PAIR_GROUP + ",\"1_0\":" + PAIR_GROUP + "}]");
}

TEST(Quartz, OneGroupPerDistinctPermutation) {
  // Permutations P, Q, P: group 0 relative to P (the middle member gets the swap), group 1
  // relative to Q (the outer members get it); both list all three members.
  const ECC e{{EccMember{{H0}, P({1, 0})}, EccMember{{one(gates::X, 1)}, id(2)},
               EccMember{{}, P({1, 0})}}};
  const std::string sw = R"(["swap",["Q0","Q1"],["Q0","Q1"]])";
  const std::string g0 = R"([[[2,1],[["h",["Q0"],["Q0"]]]],[[2,2],[["x",["Q1"],["Q1"]],)" + sw +
                         R"(]],[[2,0],[]]])";
  const std::string g1 = R"([[[2,2],[["h",["Q0"],["Q0"]],)" + sw +
                         R"(]],[[2,1],[["x",["Q1"],["Q1"]]]],[[2,1],[)" + sw + "]]]";
  EXPECT_EQ(quartz_document(ECCs{{e}, 2}), "[[[0],[0]],{\"0_0\":" + g0 + ",\"0_1\":" + g1 + "}]");

  // Shared permutation: a single group, no swaps, whatever that permutation is.
  const ECC same{{EccMember{{two(gates::CX, 0, 2)}, P({2, 0, 1})},
                  EccMember{{two(gates::CX, 0, 2), H0, H0}, P({2, 0, 1})}}};
  EXPECT_EQ(quartz_document(ECCs{{same}, 3}),
            R"([[[0],[0]],{"0_0":[[[3,1],[["cx",["Q0","Q2"],["Q0","Q2"]]]],[[3,3],[["cx",["Q0","Q2"],["Q0","Q2"]],["h",["Q0"],["Q0"]],["h",["Q0"],["Q0"]]]]]}])");
}

TEST(Quartz, OneQubitCountPerGroup) {
  // Members using no qubit, {0} and {0, 1}: every entry declares the widest need.
  const ECC mixed{{EccMember{{}, id(2)}, EccMember{{H0, H0}, id(2)},
                   EccMember{{two(gates::CX, 0, 1), two(gates::CX, 0, 1)}, id(2)}}};
  EXPECT_EQ(quartz_document(ECCs{{mixed}, 2}),
            R"([[[0],[0]],{"0_0":[[[2,0],[]],[[2,2],[["h",["Q0"],["Q0"]],["h",["Q0"],["Q0"]]]],)"
            R"([[2,2],[["cx",["Q0","Q1"],["Q0","Q1"]],["cx",["Q0","Q1"],["Q0","Q1"]]]]]}])");
  // A group whose circuits use no qubit declares 1.
  const ECC empty{{EccMember{{}, id(3)}, EccMember{{}, id(3)}}};
  EXPECT_EQ(quartz_document(ECCs{{empty}, 3}), R"([[[0],[0]],{"0_0":[[[1,0],[]],[[1,0],[]]]}])");
}

TEST(Quartz, GateTextsAsJsonStrings) {
  const Gate16 rz = *Gate16::from_name("rz(pi/3)");
  GateMatrix m(2, 2);
  m.at(0, 0) = QComplex{1.0, 0.0};
  m.at(1, 1) = QComplex{0.28, 0.96};
  const Gate16 odd = Gate16::create("q\"\\\x01\x7f", {"t"}, m);
  const Gate16 dg = odd.adjoint();
  const ECC e{{EccMember{{one(rz, 0)}, id(1)}, EccMember{{one(dg, 0)}, id(1)}}};
  EXPECT_EQ(quartz_document(ECCs{{e}, 1}),
            "[[[0],[0]],{\"0_0\":[[[1,1],[[\"rz(pi/3)\",[\"Q0\"],[\"Q0\"]]]],"
            "[[1,1],[[\"q\\\"\\\\\\u0001\x7f\u2020(t)\",[\"Q0\"],[\"Q0\"]]]]]}]");
}

TEST(Quartz, DumpWritesTheDocument) {
  char tmpl[] = "/tmp/marrowfen_quartz_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, file = dir + "/out.json";
  const ECCs e{{PAIR, SINGLE}, 1};
  {
    std::ofstream pre(file);
    pre << std::string(1000, 'x');  // an existing file is emptied first
  }
  e.dump_quartz(file);
  std::ifstream in(file, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(text, quartz_document(e));
  ::unlink(file.c_str());
  try {
    e.dump_quartz(dir + "/missing/out.json");
    ADD_FAILURE() << "written";
  } catch (const IoError& err) {
    EXPECT_EQ(std::string(err.what()),
              "Failed to create file: No such file or directory (os error 2)");
  }
  ::rmdir(dir.c_str());
}

TEST(Quartz, WriteFailureReportsTheSystemError) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  try {
    ECCs{{PAIR}, 1}.dump_quartz("/dev/full");
    ADD_FAILURE() << "written";
  } catch (const DecodeError& err) {
    EXPECT_EQ(std::string(err.what()),
              "Failed to write JSON: No space left on device (os error 28)");
  }
}

}  // namespace
}  // namespace marrowfen
