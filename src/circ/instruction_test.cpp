#include "circ/instruction.hpp"

#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/content_hash.hpp"
#include "core/panic.hpp"
#include "core/test_support.hpp"

namespace marrowfen {
namespace {

Argument q(std::uint32_t i) { return Argument{"q", i}; }
Argument c(std::uint32_t i) { return Argument{"c", i}; }

TEST(Argument, TextsEqualityAndHash) {
  EXPECT_EQ(q(0).display(), "q[0]");
  EXPECT_EQ((Argument{"anc", 4294967295u}).display(), "anc[4294967295]");
  EXPECT_EQ(q(0).debug(), "Argument { regid: \"q\", index: 0 }");
  EXPECT_EQ(q(0), q(0));
  EXPECT_NE(q(0), q(1));
  EXPECT_NE(q(0), c(0));
  // The name's bytes, 0xFF, the index as 4 bytes.
  ContentHasher h;
  for (std::uint8_t b : std::initializer_list<std::uint8_t>{'q', 0xFF, 7, 0, 0, 0}) h.u8(b);
  EXPECT_EQ(content_hash(q(7)), h.finish());
  // The terminator keeps a name and an index apart: "q" + 0x31.. differs from "q1" + ...
  EXPECT_NE(content_hash(Argument{"q1", 0}), content_hash(Argument{"q", 0x31}));
}

TEST(Argument, DebugEscapes) {
  struct Case {
    std::string regid;
    const char* quoted;
  };
  const Case cases[] = {
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"\n\r\t", R"("\n\r\t")"},
      {std::string("a\0b", 3), R"("a\0b")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
      {"\xc2\x85", R"("\u{85}")"},             // U+0085, a C1 control
      {"'", R"("'")"},                          // single quotes stay
      {"\xc3\xa9\xe2\x80\xa0", "\"\xc3\xa9\xe2\x80\xa0\""},  // é† printable, kept
      {"", R"("")"},
  };
  for (const auto& c : cases) EXPECT_EQ(debug_quoted(c.regid), c.quoted) << c.regid;
  EXPECT_EQ((Argument{"q\"", 1}).debug(), R"(Argument { regid: "q\"", index: 1 })");
}

TEST(Instruction, Texts) {
  const Gate16 cx = gates::CX;
  EXPECT_EQ((Instruction{cx, {q(0), q(1)}, {}}).display(), "cx q[0], q[1];");
  EXPECT_EQ((Instruction{gates::H, {}, {}}).display(), "h ;");
  EXPECT_EQ((Instruction{cx, {q(0)}, {c(1)}}).display(), "cx q[0], c[1];");
  EXPECT_EQ((Instruction{gates::H, {}, {c(0), c(2)}}).display(), "h c[0], c[2];");
  EXPECT_EQ((Instruction{cx, {q(0)}, {}}).debug(),
            "Instruction { gate: Gate(9 -> cx), qargs: [Argument { regid: \"q\", index: 0 }], "
            "cargs: [] }");
  EXPECT_EQ((Instruction{gates::H, {q(0)}, {c(0), c(1)}}).debug(),
            "Instruction { gate: Gate(1 -> h), qargs: [Argument { regid: \"q\", index: 0 }], "
            "cargs: [Argument { regid: \"c\", index: 0 }, Argument { regid: \"c\", index: 1 "
            "}] }");
}

TEST(Instruction, EqualityAndHash) {
  const Instruction a{gates::CX, {q(0), q(1)}, {c(0)}};
  EXPECT_EQ(a, (Instruction{gates::CX, {q(0), q(1)}, {c(0)}}));
  EXPECT_NE(a, (Instruction{gates::CX, {q(0), q(1)}, {}}));
  EXPECT_NE(a, (Instruction{Gate16{10}, {q(0), q(1)}, {c(0)}}));
  // The same arguments split differently between the lists.
  EXPECT_NE(a, (Instruction{gates::CX, {q(0)}, {q(1), c(0)}}));
  EXPECT_NE(content_hash(a), content_hash(Instruction{gates::CX, {q(0)}, {q(1), c(0)}}));
  EXPECT_EQ(content_hash(a), content_hash(Instruction{gates::CX, {q(0), q(1)}, {c(0)}}));

  ContentHasher h;
  for (std::uint8_t b : std::initializer_list<std::uint8_t>{1, 0, 1, 0, 0, 0, 'q', 0xFF, 3, 0, 0, 0, 0, 0, 0, 0}) h.u8(b);
  EXPECT_EQ(content_hash(Instruction{gates::H, {q(3)}, {}}), h.finish());
}

TEST(Instruction, FromGateCall) {
  const std::vector<Argument> args = {q(0), q(1), c(0)};
  EXPECT_EQ(Instruction::from_gate_call(gates::CX, args),
            (Instruction{gates::CX, {q(0), q(1)}, {c(0)}}));
  EXPECT_EQ(Instruction::from_gate_call(gates::H, std::span(args).first(2)),
            (Instruction{gates::H, {q(0)}, {q(1)}}));
  EXPECT_EQ(stop_message([&] { Instruction::from_gate_call(gates::CX, std::span(args).first(1)); }),
            "range end index 2 out of range for slice of length 1");
}

}  // namespace
}  // namespace marrowfen
