#include "circ/instr.hpp"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "circ/qargs.hpp"
#include "core/content_hash.hpp"
#include "core/panic.hpp"
#include "core/postcard.hpp"
#include "core/test_support.hpp"

namespace marrowfen {
namespace {

Gate16 gate(const char* text) { return *Gate16::from_name(text); }

std::uint64_t hash_of_bytes(std::initializer_list<std::uint8_t> bytes) {
  ContentHasher h;
  for (std::uint8_t b : bytes) h.u8(b);
  return h.finish();
}

// A gate of `nq` qubits whose matrix is the identity scaled by a phase no built-in row has.
Gate16 custom_gate(const char* name, unsigned nq) {
  const std::uint32_t n = 1u << nq;
  GateMatrix m(n, n);
  for (std::uint32_t i = 0; i < n; ++i) m.at(i, i) = QComplex{0.0, 1.0};
  return Gate16::create(name, {}, std::move(m));
}

const char* const THIRD = "index out of bounds: the len is 2 but the index is 2";

TEST(QArgs16, BuildLengthAndReading) {
  const std::vector<std::uint8_t> none, one{4}, two{3, 0}, three{0, 1, 2};
  EXPECT_EQ(QArgs16::from_iter(none), QArgs16::none());
  EXPECT_EQ(QArgs16::from_iter(one), (QArgs16{{4, 255}}));
  EXPECT_EQ(QArgs16::from_iter(two), (QArgs16{{3, 0}}));
  EXPECT_EQ(stop_message([&] { QArgs16::from_iter(three); }), THIRD);

  EXPECT_EQ(QArgs16::none().len(), 0u);
  EXPECT_EQ(QArgs16::one(4).len(), 1u);
  EXPECT_EQ(QArgs16::two(3, 0).len(), 2u);
  // Slot 1 is not looked at when slot 0 is empty.
  EXPECT_EQ((QArgs16{{255, 7}}).len(), 0u);

  const QArgs16 q = QArgs16::two(3, 0);
  EXPECT_EQ(std::vector<std::uint8_t>(q.begin(), q.end()), (std::vector<std::uint8_t>{3, 0}));
  EXPECT_EQ(q.as_slice().size(), 2u);
  EXPECT_EQ(q[0], 3);
  EXPECT_EQ(q[1], 0);
  EXPECT_EQ(stop_message([&] { (void)q[2]; }), THIRD);
  EXPECT_EQ(stop_message([] { (void)QArgs16::one(4)[1]; }), "Index out of bounds");
  EXPECT_EQ(stop_message([] { (void)QArgs16::none()[0]; }), "Index out of bounds");
  EXPECT_EQ(stop_message([] { (void)QArgs16::one(4)[5]; }),
            "index out of bounds: the len is 2 but the index is 5");

  EXPECT_TRUE(q.contains(0));
  EXPECT_TRUE(q.contains(3));
  EXPECT_FALSE(q.contains(1));
  EXPECT_FALSE(QArgs16::one(4).contains(255));
  EXPECT_FALSE(QArgs16::none().contains(255));
}

TEST(QArgs16, OrderAndHash) {
  // Slot 0 first, then slot 1; an empty slot sorts after every qubit.
  EXPECT_LT(QArgs16::two(0, 1), QArgs16::two(0, 2));
  EXPECT_LT(QArgs16::two(0, 7), QArgs16::one(0));
  EXPECT_LT(QArgs16::one(0), QArgs16::two(1, 0));
  EXPECT_LT(QArgs16::one(7), QArgs16::none());
  // Count 2 as four bytes, then both slot bytes, empty ones included.
  EXPECT_EQ(content_hash(QArgs16::one(2)), hash_of_bytes({2, 0, 0, 0, 2, 255}));
  EXPECT_EQ(content_hash(QArgs16::none()), hash_of_bytes({2, 0, 0, 0, 255, 255}));
}

TEST(Instr32, PackedLayout) {
  EXPECT_EQ(Instr32::two(gates::CX, 0, 1).raw, 0x0100'0009u);
  EXPECT_EQ(Instr32::one(gates::H, 2).raw, 0xFF02'0001u);
  EXPECT_EQ(Instr32::none(Gate16{300}).raw, 0xFFFF'012Cu);
  const Instr32 in = Instr32::two(Gate16{0x1234}, 5, 6);
  EXPECT_EQ(in.gate(), Gate16{0x1234});
  EXPECT_EQ(in.qargs(), QArgs16::two(5, 6));
  EXPECT_EQ(in.slot(0), 5);
  EXPECT_EQ(in.slot(1), 6);
}

TEST(Instr32, CheckedConstructor) {
  EXPECT_EQ(Instr32::create(gates::CX, {0, 1}), Instr32::two(gates::CX, 0, 1));
  EXPECT_EQ(Instr32::create(gates::H, {2}), Instr32::one(gates::H, 2));
  const char* arity = "Number of qubit arguments does not match gate arity";
  const char* unique = "Qubit arguments must be unique";
  const char* reserved = "Qubit index 255 is reserved for an empty slot";
  EXPECT_EQ(stop_message([] { Instr32::create(gates::CX, {0}); }), arity);
  EXPECT_EQ(stop_message([] { Instr32::create(gates::H, {}); }), arity);
  EXPECT_EQ(stop_message([] { Instr32::create(gates::CX, {1, 1}); }), unique);
  // Arity is checked before uniqueness, uniqueness before the reserved value.
  EXPECT_EQ(stop_message([] { Instr32::create(gates::H, {1, 1}); }), arity);
  EXPECT_EQ(stop_message([] { Instr32::create(gates::CX, {255, 255}); }), unique);
  EXPECT_EQ(stop_message([] { Instr32::create(gates::H, {255}); }), reserved);
  EXPECT_EQ(stop_message([] { Instr32::create(gates::CX, {0, 255}); }), reserved);
  // A gate of three qubits cannot be packed.
  const Gate16 g3 = custom_gate("ccz_like", 3);
  EXPECT_EQ(stop_message([&] { Instr32::create(g3, {0, 1, 2}); }), THIRD);
  // A gate of no qubits packs both slots empty.
  const Gate16 g0 = custom_gate("phase_only", 0);
  EXPECT_EQ(Instr32::create(g0, {}), Instr32::none(g0));
}

TEST(Instr32, FromGateCall) {
  // Repeated qubits are not refused here.
  EXPECT_EQ(Instr32::from_gate_call(gates::CX, std::vector<std::uint8_t>{0, 0}),
            Instr32::two(gates::CX, 0, 0));
  EXPECT_EQ(stop_message([] {
              Instr32::from_gate_call(gates::CX, std::vector<std::uint8_t>{0});
            }),
            "Number of arguments not match for gate cx");
  EXPECT_EQ(stop_message([] {
              Instr32::from_gate_call(gate("rz(pi/3)"), std::vector<std::uint8_t>{});
            }),
            "Number of arguments not match for gate rz(pi/3)");
  EXPECT_EQ(stop_message([] {
              Instr32::from_gate_call(gates::H, std::vector<std::uint8_t>{255});
            }),
            "Qubit index 255 is reserved for an empty slot");
  const Gate16 g3 = custom_gate("ccz_like", 3);
  EXPECT_EQ(stop_message([&] {
              Instr32::from_gate_call(g3, std::vector<std::uint8_t>{0, 1, 2});
            }),
            THIRD);
}

TEST(Instr32, ApplyPermutation) {
  const Permut32 swap01 = Permut32::from_iter({1, 0});
  EXPECT_EQ(Instr32::two(gates::CX, 0, 1).apply_permutation(swap01),
            Instr32::two(gates::CX, 1, 0));
  // A qubit at or past the permutation's length maps to 0.
  EXPECT_EQ(Instr32::one(gates::H, 3).apply_permutation(swap01), Instr32::one(gates::H, 0));
  EXPECT_EQ(Instr32::two(gates::CX, 2, 0).permut(Permut32::from_iter({2, 0, 1})),
            Instr32::two(gates::CX, 1, 2));
  EXPECT_EQ(Instr32::none(gates::X).apply_permutation(swap01), Instr32::none(gates::X));
  EXPECT_EQ(stop_message([&] { Instr32::one(gates::H, 9).apply_permutation(swap01); }),
            "assertion failed: idx < 8");
}

TEST(Instr32, Masks) {
  struct Case {
    Instr32 in;
    std::uint8_t mask;
    std::optional<std::uint8_t> passed;
  };
  const Case cases[] = {
      {Instr32::two(gates::CX, 0, 1), 0, 0b11},
      {Instr32::two(gates::CX, 1, 0), 0, std::nullopt},
      {Instr32::one(gates::H, 0), 0, 0b1},
      {Instr32::one(gates::H, 1), 0, std::nullopt},
      {Instr32::two(gates::CX, 0, 1), 0b01, 0b11},
      {Instr32::two(gates::CX, 2, 0), 0b01, std::nullopt},
      {Instr32::two(gates::CX, 1, 2), 0b011, 0b111},
      {Instr32::two(gates::CX, 3, 7), 255, 255},
      {Instr32::one(gates::H, 3), 0b0111, 0b1111},
      {Instr32::none(gates::X), 0b101, 0b101},
  };
  for (const auto& c : cases) EXPECT_EQ(c.in.pass_mask(c.mask), c.passed) << c.in.display();

  EXPECT_EQ(Instr32::two(gates::CX, 0, 9).arg_mask(), 0b11);
  EXPECT_EQ(Instr32::two(gates::CX, 2, 5).arg_mask(), 0b100100);
  EXPECT_EQ(Instr32::none(gates::X).arg_mask(), 0);

  EXPECT_EQ(Instr32::two(gates::CX, 5, 2).largest_qubit(), 5);
  EXPECT_EQ(Instr32::one(gates::H, 3).largest_qubit(), 3);
  EXPECT_EQ(Instr32::none(gates::X).largest_qubit(), 0);

  EXPECT_TRUE(Instr32::two(gates::CX, 0, 1).disjoint(Instr32::one(gates::H, 2)));
  EXPECT_FALSE(Instr32::two(gates::CX, 0, 1).disjoint(Instr32::one(gates::H, 1)));
  EXPECT_TRUE(Instr32::none(gates::X).disjoint(Instr32::one(gates::H, 0)));
  // Qubits count modulo 8.
  EXPECT_FALSE(Instr32::one(gates::H, 9).disjoint(Instr32::one(gates::H, 1)));

  const Instr32 cx25 = Instr32::two(gates::CX, 2, 5);
  EXPECT_EQ(cx25.position_of_qubit(2), 0u);
  EXPECT_EQ(cx25.position_of_qubit(5), 1u);
  EXPECT_EQ(cx25.position_of_qubit(3), std::nullopt);
  EXPECT_EQ(cx25.position_of_qubit(255), std::nullopt);
  EXPECT_EQ(Instr32::one(gates::H, 0).position_of_qubit(255), std::nullopt);
}

TEST(Instr32, Adjoint) {
  EXPECT_EQ(Instr32::one(gates::T, 3).adjoint(), Instr32::one(gates::TDG, 3));
  EXPECT_EQ(Instr32::two(gates::CX, 1, 0).adjoint(), Instr32::two(gates::CX, 1, 0));
}

TEST(Instr32, OrderQubitsFirstThenGate) {
  // Ascending.
  const std::vector<Instr32> sorted = {
      Instr32::two(gates::SWAP, 0, 1), Instr32::two(gates::CX, 0, 2),
      Instr32::one(gates::H, 0),       Instr32::one(gates::X, 0),
      Instr32::two(gates::CX, 1, 0),   Instr32::one(gates::H, 1),
      Instr32::none(gates::H),         Instr32::none(gates::X),
  };
  for (std::size_t i = 0; i + 1 < sorted.size(); ++i)
    EXPECT_LT(sorted[i], sorted[i + 1]) << sorted[i].display() << " " << sorted[i + 1].display();
  std::vector<Instr32> shuffled(sorted.rbegin(), sorted.rend());
  std::sort(shuffled.begin(), shuffled.end());
  EXPECT_EQ(shuffled, sorted);
  // Equal qubits: the gate breaks the tie; a large gate index does not outweigh the qubits.
  EXPECT_LT(Instr32::one(Gate16{0xFFFF}, 0), Instr32::one(Gate16{0}, 1));
}

TEST(Instr32, DisplayAndHash) {
  EXPECT_EQ(Instr32::two(gates::CX, 0, 1).display(), "cx(0, 1)");
  EXPECT_EQ(Instr32::one(gates::H, 2).display(), "h(2)");
  EXPECT_EQ(Instr32::one(gate("rz(pi/3)"), 0).display(), "rz(pi/3)(0)");
  EXPECT_EQ(Instr32::none(gates::X).display(), "x()");
  EXPECT_EQ(Instr32::one(gates::H, 2).debug(), "h(2)");
  // Format options are ignored.
  EXPECT_EQ(fmt::format("{:>20}", Instr32::two(gates::CX, 0, 1)), "cx(0, 1)");
  // Gate (2 bytes), count 2 (4 bytes), both slots.
  EXPECT_EQ(content_hash(Instr32::one(gates::H, 2)), hash_of_bytes({1, 0, 2, 0, 0, 0, 2, 255}));
  EXPECT_EQ(content_hash(Instr32::two(gates::CX, 0, 1)),
            hash_of_bytes({9, 0, 2, 0, 0, 0, 0, 1}));
}

class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/marrowfen_instr_XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    path_ = name;
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }
  std::vector<std::uint8_t> bytes() const { return read_file_bytes(path_); }
  void write(const std::vector<std::uint8_t>& b) const { write_file_bytes(path_, b); }

 private:
  std::string path_;
};

TEST(Instr32, FileForm) {
  TempFile f;
  {
    PostcardWriter w(f.path());
    Instr32::one(gates::H, 2).write_postcard(w);
    Instr32::two(gate("rz(pi/3)"), 0, 1).write_postcard(w);
    w.finish();
  }
  const std::vector<std::uint8_t> expected = {0x01, 'h', 0x02, 0xFF, 0x08, 'r', 'z', '(',
                                              'p',  'i', '/',  '3',  ')',  0x00, 0x01};
  EXPECT_EQ(f.bytes(), expected);
  PostcardReader r(f.path());
  EXPECT_EQ(Instr32::read_postcard(r), Instr32::one(gates::H, 2));
  EXPECT_EQ(Instr32::read_postcard(r), Instr32::two(gate("rz(pi/3)"), 0, 1));

  // Nothing is validated but the gate text.
  f.write({0x02, 'c', 'x', 0x07, 0x07});
  PostcardReader r2(f.path());
  EXPECT_EQ(Instr32::read_postcard(r2), Instr32::two(gates::CX, 7, 7));
  f.write({0x02, 'r', 'z', 0x00, 0xFF});
  PostcardReader r3(f.path());
  EXPECT_EQ(stop_message([&] { Instr32::read_postcard(r3); }),
            "Failed to deserialize Gate16 from rz");
  f.write({0x01, 'h', 0x02});
  PostcardReader r4(f.path());
  EXPECT_THROW(Instr32::read_postcard(r4), DecodeError);
}

}  // namespace
}  // namespace marrowfen
