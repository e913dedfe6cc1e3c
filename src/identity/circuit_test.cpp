#include "identity/circuit.hpp"

#include <unistd.h>

#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/panic.hpp"
#include "core/postcard.hpp"
#include "core/test_support.hpp"
#include "identity/idcircuit.hpp"

namespace marrowfen {

void PrintTo(const Circ& c, std::ostream* os) { *os << c.debug(); }
void PrintTo(const IdentityCirc& c, std::ostream* os) { *os << c.circ.debug(); }
void PrintTo(Permut32 p, std::ostream* os) { *os << fmt::format("{}", p); }

namespace {

Instr32 one(Gate16 g, std::uint8_t q) { return Instr32::one(g, q); }
Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32::two(g, a, b); }

Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
Permut32 id(std::uint8_t n) { return Permut32::identity(n); }

Circ C(std::vector<Instr32> instrs, Permut32 perm) { return Circ::create(std::move(instrs), perm); }

// A gate of a 1x1 matrix: an instruction of it uses no qubit.
Gate16 scalar_gate() {
  GateMatrix m(1, 1);
  m.at(0, 0) = QComplex{1.0, 0.0};
  return Gate16::create("one", {}, m);
}

// Random circuit on nq qubits over single-qubit gates, CX and SWAP, with a random trailing
// permutation.
Circ random_circ(std::mt19937& rng, unsigned len, std::uint8_t nq) {
  static const Gate16 singles[] = {gates::H, gates::X, gates::T, gates::TDG, gates::S};
  std::vector<Instr32> v;
  for (unsigned i = 0; i < len; ++i) {
    const unsigned kind = nq >= 2 ? rng() % 4 : 0;
    if (kind >= 2) {
      const auto a = static_cast<std::uint8_t>(rng() % nq);
      auto b = static_cast<std::uint8_t>(rng() % (nq - 1));
      if (b >= a) ++b;
      v.push_back(two(kind == 2 ? gates::CX : gates::SWAP, a, b));
    } else {
      v.push_back(one(singles[rng() % 5], static_cast<std::uint8_t>(rng() % nq)));
    }
  }
  const auto all = Permut32::all(nq);
  return C(std::move(v), all[rng() % all.size()]);
}

// An identity: a random circuit followed by its inverse, rotated, sometimes with a SWAP made of
// three CX in the middle that a trailing exchange of wires undoes.
Circ random_identity(std::mt19937& rng, unsigned half, std::uint8_t nq) {
  const Circ a = random_circ(rng, half, nq);
  Circ i = a + a.inverse();
  if (nq >= 2 && rng() % 2 == 0) {
    std::vector<std::uint8_t> w{1, 0};
    for (std::uint8_t q = 2; q < nq; ++q) w.push_back(q);
    const Circ sw = C({two(gates::CX, 0, 1), two(gates::CX, 1, 0), two(gates::CX, 0, 1)},
                      Permut32::from_iter(w));
    i = a + sw + a.inverse();
  }
  return i.rotate(static_cast<std::int32_t>(rng() % (i.len() + 1)));
}

// ---- the canonical forms written out step by step with whole circuits, as a reference -------

Circ prepared(const Circ& c) { return c.compact_qubits().remove_swaps(); }

Circ reference_representative(const Circ& in) {
  const Circ c = prepared(in);
  if (c.is_empty()) return c;
  std::optional<Circ> best;
  for (Permut32 p : Permut32::all(c.nqubits())) {
    Circ cand = c.permut(p).reorder_instrs().compact_qubits();
    if (!best || cand < *best) best = std::move(cand);
  }
  return *best;
}

std::pair<Circ, Permut32> reference_with_perm(const Circ& in) {
  const Circ c = prepared(in);
  if (c.is_empty()) return {c, Permut32{}};
  std::optional<std::pair<Circ, Permut32>> best;
  for (Permut32 p : Permut32::all(c.nqubits())) {
    Circ cand = c.permut(p).reorder_instrs().compact_qubits();
    if (!best || cand < best->first || (cand == best->first && p.raw < best->second.raw))
      best = std::pair{std::move(cand), p};
  }
  return *best;
}

std::optional<Circ> reference_rotate(const Circ& in) {
  const Circ c = prepared(in);
  if (c.is_empty()) return c;
  std::optional<Circ> best;
  for (Permut32 p : Permut32::all(c.nqubits())) {
    const Circ d = c.permut(p);
    std::optional<Circ> best_p;
    for (std::size_t i = 0; i < d.len(); ++i) {
      if (!d.instrs[i].qargs().contains(0)) continue;
      Circ cand = d.rotate(static_cast<std::int32_t>(i)).reorder_instrs().compact_qubits();
      if (!best_p || cand < *best_p) best_p = std::move(cand);
    }
    EXPECT_EQ(best_p, d._rotate_representative());
    if (best_p && (!best || *best_p < *best)) best = std::move(best_p);
  }
  return best;
}

// ---- value ------------------------------------------------------------------------------------

TEST(Circ, ConstructorsCheckQubitsAgainstThePermutation) {
  const char* too_short = "Permutation length must be greater than the max qubit index.";
  EXPECT_EQ(stop_message([] { C({one(gates::H, 2)}, id(2)); }), too_short);
  EXPECT_EQ(C({one(gates::H, 2)}, id(3)).nqubits(), 3);
  // Without qubits any permutation goes, the empty one included.
  EXPECT_EQ(C({}, Permut32{}).nqubits(), 0);
  EXPECT_EQ(C({}, P({1, 0})).nqubits(), 2);
  EXPECT_EQ(C({Instr32::none(scalar_gate())}, Permut32{}).len(), 1u);
  // The second slot counts even when the first is empty (only unvalidated data has that).
  EXPECT_EQ(stop_message([] { C({Instr32::from_raw(0x03FF'0001u)}, id(2)); }), too_short);

  EXPECT_EQ(Circ::new_no_perm({}).perm.raw, 0u);
  EXPECT_EQ(Circ::new_no_perm({Instr32::none(scalar_gate())}).perm.raw, 0u);
  EXPECT_EQ(Circ::new_no_perm({one(gates::X, 3)}).perm, id(4));
  EXPECT_EQ(Circ::new_no_perm({one(gates::H, 0), two(gates::CX, 0, 1)}).perm, id(2));
  EXPECT_EQ(stop_message([] { Circ::new_no_perm({one(gates::X, 8)}); }),
            "Permutation length must be less than or equal to 8");
  EXPECT_TRUE(C({}, P({1, 0})).is_empty());
}

TEST(Circ, OrderIsLengthThenInstructionsThenRawPermutation) {
  const Circ h0 = C({one(gates::H, 0)}, id(2));
  struct Case {
    Circ a, b;
  };
  const Case less[] = {
      {C({one(gates::X, 0), one(gates::X, 1)}, id(2)),
       C({one(gates::H, 0), one(gates::H, 0), one(gates::H, 0)}, id(2))},
      {C({one(gates::H, 0)}, id(2)), C({one(gates::H, 0)}, id(3))},
      {C({one(gates::H, 0)}, id(2)), C({one(gates::H, 1)}, id(2))},
      {C({one(gates::H, 0)}, id(2)), C({one(gates::X, 0)}, id(2))},
      {C({two(gates::CX, 0, 1)}, id(2)), C({one(gates::H, 0)}, id(2))},
      // Raw words: (1 0) is 0x02000001, (0 1) is 0x02000008 (entry 1 weighs most).
      {C({one(gates::H, 0)}, P({1, 0})), C({one(gates::H, 0)}, id(2))},
      {C({one(gates::H, 1), one(gates::X, 0)}, id(2)), C({one(gates::X, 1), one(gates::H, 0)}, id(2))},
  };
  for (const Case& c : less) {
    EXPECT_LT(c.a, c.b) << c.a.debug() << " vs " << c.b.debug();
    EXPECT_GT(c.b, c.a);
    EXPECT_NE(c.a, c.b);
  }
  EXPECT_EQ(h0, C({one(gates::H, 0)}, id(2)));
  EXPECT_EQ(h0 <=> C({one(gates::H, 0)}, id(2)), std::strong_ordering::equal);
}

TEST(Circ, ContentHashFeedsCountInstructionsAndRawPermutation) {
  const Circ c = C({one(gates::H, 0), two(gates::CX, 0, 1)}, id(2));
  ContentHasher h;
  h.u32(2);
  for (auto [g, a, b] : {std::tuple<std::uint16_t, std::uint8_t, std::uint8_t>{1, 0, 255},
                         {9, 0, 1}}) {
    h.u16(g);
    h.u32(2);
    h.u8(a);
    h.u8(b);
  }
  h.u32(0x02000008u);
  EXPECT_EQ(c.hash_value(), h.finish());
  EXPECT_EQ(c.hash_value(), C({one(gates::H, 0), two(gates::CX, 0, 1)}, id(2)).hash_value());
  EXPECT_NE(C({one(gates::H, 0)}, id(2)).hash_value(), C({one(gates::H, 0)}, id(3)).hash_value());
}

TEST(Circ, CyclicIndexWrapsBothWays) {
  const Circ c = C({one(gates::H, 0), two(gates::CX, 0, 1), one(gates::T, 1)}, id(2));
  const IdentityCirc idc = IdentityCirc::from_circ(c);
  for (const std::int64_t i : {-7LL, -4LL, -3LL, -1LL, 0LL, 1LL, 2LL, 3LL, 5LL, 3000000001LL,
                               std::numeric_limits<long long>::min()}) {
    SCOPED_TRACE(i);
    const std::int64_t r = ((i % 3) + 3) % 3;
    EXPECT_EQ(c.at_cyclic(i), c.instrs[static_cast<std::size_t>(r)]);
    EXPECT_EQ(idc.at_cyclic(i), c.instrs[static_cast<std::size_t>(r)]);
  }
  EXPECT_EQ(stop_message([] { C({}, id(2)).at_cyclic(0); }),
            "attempt to calculate the remainder with a divisor of zero");
  EXPECT_EQ(stop_message([] { IdentityCirc::create().at_cyclic(-1); }),
            "attempt to calculate the remainder with a divisor of zero");
}

TEST(Circ, DisplayAndDebugTexts) {
  const Circ c = C({one(gates::H, 0), two(gates::CX, 0, 1)}, id(2));
  EXPECT_EQ(c.display(), "Circuit { h(0) cx(0, 1) (0 1) }");
  EXPECT_EQ(fmt::format("{}", c), "Circuit { h(0) cx(0, 1) (0 1) }");
  EXPECT_EQ(c.debug(), "Circ { instrs: [h(0), cx(0, 1)], perm: (0 1) }");
  EXPECT_EQ(C({}, Permut32{}).display(), "Circuit { () }");
  EXPECT_EQ(C({}, Permut32{}).debug(), "Circ { instrs: [], perm: () }");
  EXPECT_EQ(c.display_as("Identity"), "Identity { h(0) cx(0, 1) (0 1) }");
}

TEST(Circ, PostcardFormRoundTripsWithExactBytes) {
  char path[] = "/tmp/circ_postcard_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const Circ c = C({one(gates::H, 2), two(gates::CX, 0, 1)}, P({0, 2, 1}));
  {
    PostcardWriter w(path);
    c.write_postcard(w);
    C({}, Permut32{}).write_postcard(w);
    w.finish();
  }
  std::FILE* f = std::fopen(path, "rb");
  std::vector<unsigned char> bytes(64);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
  std::fclose(f);
  const std::vector<unsigned char> expect = {0x02, 0x01, 'h', 0x02, 0xFF, 0x02, 'c', 'x', 0x00,
                                             0x01, 0xD0, 0x80, 0x80, 0x18, 0x00, 0x00};
  EXPECT_EQ(bytes, expect);
  {
    PostcardReader r(path);
    EXPECT_EQ(Circ::read_postcard(r), c);
    EXPECT_EQ(Circ::read_postcard(r), C({}, Permut32{}));
    EXPECT_THROW(Circ::read_postcard(r), DecodeError);
  }
  std::remove(path);
}

// ---- algebra --------------------------------------------------------------------------------

TEST(CircAlgebra, PermutConjugatesThePermutationAndPads) {
  const Circ c = C({two(gates::CX, 0, 1), one(gates::H, 2)}, P({1, 2, 0}));
  const Circ r = c.permut(P({2, 0, 1}));
  EXPECT_EQ(r.instrs, (std::vector<Instr32>{two(gates::CX, 2, 0), one(gates::H, 1)}));
  // Wire p(i) goes to p(P(i)): p = (2 0 1), P = (1 2 0): 2->0, 0->1, 1->2.
  EXPECT_EQ(r.perm, P({1, 2, 0}));
  // A longer relabelling widens; a shorter one is padded with fixed points.
  EXPECT_EQ(C({one(gates::H, 0)}, id(1)).permut(P({1, 0, 2})).debug(),
            "Circ { instrs: [h(1)], perm: (0 1 2) }");
  EXPECT_EQ(C({one(gates::H, 2)}, id(3)).permut(P({1, 0})).instrs[0], one(gates::H, 2));
  // A value list that is no permutation of its positions can leave a qubit uncovered.
  EXPECT_EQ(stop_message([] { C({one(gates::H, 0)}, id(1)).permut(P({5})); }),
            "Permutation length must be greater than the max qubit index.");
}

TEST(CircAlgebra, RotateMovesInstructionsAcrossThePermutation) {
  const Circ c = C({one(gates::H, 0), two(gates::CX, 0, 1), one(gates::T, 2)}, P({1, 2, 0}));
  EXPECT_EQ(c.rotate(0), c);
  EXPECT_EQ(c.rotate(1).instrs,
            (std::vector<Instr32>{two(gates::CX, 0, 1), one(gates::T, 2), one(gates::H, 2)}));
  EXPECT_EQ(c.rotate(-1).instrs,
            (std::vector<Instr32>{one(gates::T, 0), one(gates::H, 0), two(gates::CX, 0, 1)}));
  // By L: every instruction relabelled by inv(P), order kept.
  EXPECT_EQ(c.rotate(3).instrs,
            (std::vector<Instr32>{one(gates::H, 2), two(gates::CX, 2, 0), one(gates::T, 1)}));
  EXPECT_EQ(c.rotate(-3).instrs,
            (std::vector<Instr32>{one(gates::H, 1), two(gates::CX, 1, 2), one(gates::T, 0)}));
  EXPECT_EQ(stop_message([&] { c.rotate(4); }),
            "range start index 4 out of range for slice of length 3");
  EXPECT_EQ(stop_message([&] { c.rotate(-5); }),
            "range start index 4294967294 out of range for slice of length 3");
  EXPECT_EQ(stop_message([] { C({}, Permut32{}).rotate(1); }),
            "range start index 1 out of range for slice of length 0");

  std::mt19937 rng(7);
  for (int t = 0; t < 50; ++t) {
    const Circ r = random_circ(rng, 1 + rng() % 6, static_cast<std::uint8_t>(1 + rng() % 4));
    for (std::int32_t k = 0; k <= static_cast<std::int32_t>(r.len()); ++k)
      EXPECT_EQ(r.rotate(k).rotate(-k), r) << r.debug() << " by " << k;
  }
}

TEST(CircAlgebra, InverseAddAndIdentities) {
  const Circ c = C({one(gates::H, 0)}, P({1, 0}));
  EXPECT_EQ(c.inverse(), C({one(gates::H, 1)}, P({1, 0})));
  const Circ d = C({one(gates::T, 0), two(gates::CX, 0, 1), one(gates::TDG, 1), one(gates::S, 2)},
                   P({2, 0, 1}));
  EXPECT_EQ(d.inverse().inverse(), d);
  EXPECT_EQ(d.inverse().instrs.front(), one(gates::SDG, 1));

  const Circ a = C({one(gates::H, 1)}, P({1, 0}));
  const Circ b = C({two(gates::CX, 0, 2)}, P({0, 2, 1}));
  const Circ ab = a + b;
  EXPECT_EQ(ab.nqubits(), 3);
  EXPECT_EQ(ab.instrs, (std::vector<Instr32>{one(gates::H, 1), two(gates::CX, 1, 2)}));
  EXPECT_EQ(ab.perm, P({2, 0, 1}));  // i -> Pb(Pa(i))

  // c + c.inverse() acts as the identity; so does every rotation of it.
  std::mt19937 rng(11);
  for (int t = 0; t < 40; ++t) {
    const Circ r = random_circ(rng, 1 + rng() % 6, static_cast<std::uint8_t>(1 + rng() % 4));
    const Circ i = r + r.inverse();
    EXPECT_TRUE(IdentityCirc::unchecked(i).check()) << i.debug();
    EXPECT_TRUE(IdentityCirc::unchecked(r.inverse() + r).check());
    EXPECT_TRUE(IdentityCirc::unchecked(i.rotate(static_cast<std::int32_t>(rng() % (i.len() + 1))))
                    .check());
  }
}

TEST(CircAlgebra, RemoveSwapsFoldsThemIntoThePermutation) {
  EXPECT_EQ(C({two(gates::SWAP, 0, 1), one(gates::X, 0)}, id(2)).remove_swaps(),
            C({one(gates::X, 1)}, P({1, 0})));
  const Circ plain = C({one(gates::H, 0), two(gates::CX, 1, 0)}, P({1, 0}));
  EXPECT_EQ(plain.remove_swaps(), plain);
  // Unvalidated data: a SWAP with an empty slot, a qubit beyond the permutation.
  EXPECT_EQ(stop_message([] { Circ{{one(gates::SWAP, 0)}, id(2)}.remove_swaps(); }),
            "Index out of bounds");
  EXPECT_EQ(stop_message([] { Circ{{two(gates::SWAP, 0, 3)}, id(2)}.remove_swaps(); }),
            "index out of bounds: the len is 2 but the index is 3");
  EXPECT_EQ(stop_message([] { Circ{{one(gates::H, 2)}, id(2)}.remove_swaps(); }),
            "index out of bounds: the len is 2 but the index is 2");

  // Same operator before and after; and instrs_with_swaps writes the permutation back out.
  std::mt19937 rng(3);
  for (int t = 0; t < 40; ++t) {
    const Circ r = random_circ(rng, 1 + rng() % 7, static_cast<std::uint8_t>(2 + rng() % 3));
    const Circ folded = r.remove_swaps();
    for (Instr32 in : folded.instrs) EXPECT_NE(in.gate(), gates::SWAP);
    EXPECT_TRUE(IdentityCirc::unchecked(r + folded.inverse()).check()) << r.debug();
    const Circ written = C(folded.instrs_with_swaps(), id(folded.nqubits()));
    EXPECT_TRUE(IdentityCirc::unchecked(folded + written.inverse()).check()) << folded.debug();
    EXPECT_EQ(written.remove_swaps(), folded);
  }
  EXPECT_EQ(plain.instrs_with_swaps(), (std::vector<Instr32>{one(gates::H, 0), two(gates::CX, 1, 0),
                                                             two(gates::SWAP, 0, 1)}));
  EXPECT_EQ(C({one(gates::H, 0)}, id(3)).instrs_with_swaps(),
            (std::vector<Instr32>{one(gates::H, 0)}));
}

TEST(CircAlgebra, AffectedAndCompactQubits) {
  EXPECT_EQ(C({}, id(3)).affected_qubits(), std::nullopt);
  EXPECT_EQ(C({}, P({0, 2, 1})).affected_qubits(), 2);
  EXPECT_EQ(C({two(gates::CX, 0, 1)}, id(4)).affected_qubits(), 1);

  EXPECT_EQ(C({two(gates::CX, 0, 1)}, id(4)).compact_qubits(), C({two(gates::CX, 0, 1)}, id(2)));
  EXPECT_EQ(C({two(gates::CX, 1, 0)}, P({0, 1, 3, 2})).compact_qubits().perm, P({0, 1, 3, 2}));
  EXPECT_EQ(C({two(gates::CX, 0, 1)}, P({1, 0, 2, 3})).compact_qubits().perm, P({1, 0}));
  EXPECT_EQ(C({}, id(3)).compact_qubits().perm, id(3));
  EXPECT_EQ(C({}, P({0, 2, 1})).compact_qubits().perm, P({0, 2, 1}));
  // Idle wires in the middle stay.
  EXPECT_EQ(C({one(gates::H, 2)}, id(4)).compact_qubits().perm, id(3));
  // Instructions without qubits and an identity permutation: nothing is affected, nothing cut.
  EXPECT_EQ(C({Instr32::none(scalar_gate())}, id(3)).compact_qubits().perm, id(3));
}

TEST(CircAlgebra, ReorderSwapsOnlyDisjointNeighbours) {
  EXPECT_EQ(C({one(gates::X, 1), one(gates::H, 0)}, id(2)).reorder_instrs().instrs,
            (std::vector<Instr32>{one(gates::H, 0), one(gates::X, 1)}));
  const Circ shared = C({one(gates::H, 0), two(gates::CX, 0, 1)}, id(2));
  EXPECT_EQ(shared.reorder_instrs(), shared);
  // x(1) moves in front of h(2); cx(0, 2), smaller than both, stops at h(2).
  EXPECT_EQ(C({one(gates::H, 2), one(gates::X, 1), two(gates::CX, 0, 2)}, id(3))
                .reorder_instrs()
                .instrs,
            (std::vector<Instr32>{one(gates::X, 1), one(gates::H, 2), two(gates::CX, 0, 2)}));
  // An instruction without qubits shares none and sorts by its qubit bytes (255) last.
  const Instr32 s = Instr32::none(scalar_gate());
  EXPECT_EQ(C({s, one(gates::H, 0)}, id(1)).reorder_instrs().instrs,
            (std::vector<Instr32>{one(gates::H, 0), s}));
}

// ---- canonical forms -----------------------------------------------------------------------

TEST(CircCanonical, RepresentativeExamples) {
  EXPECT_EQ(C({one(gates::X, 2)}, id(3)).representative(), C({one(gates::X, 0)}, id(1)));
  EXPECT_EQ(C({two(gates::CX, 1, 0)}, id(2)).representative(), C({two(gates::CX, 0, 1)}, id(2)));
  EXPECT_EQ(C({two(gates::CX, 0, 1)}, id(2)).representative(), C({two(gates::CX, 0, 1)}, id(2)));
  EXPECT_EQ(C({one(gates::X, 1), one(gates::H, 0)}, id(2)).representative(),
            C({one(gates::H, 0), one(gates::X, 1)}, id(2)).representative());
  EXPECT_EQ(C({two(gates::SWAP, 0, 1)}, id(2)).representative(), C({}, P({1, 0})));
  EXPECT_EQ(C({}, id(3)).representative(), C({}, id(3)));

  auto [r, p] = C({}, id(3)).representative_with_perm();
  EXPECT_EQ(r, C({}, id(3)));
  EXPECT_EQ(p.raw, 0u);
  auto [r2, p2] = C({two(gates::SWAP, 0, 1)}, id(2)).representative_with_perm();
  EXPECT_EQ(r2, C({}, P({1, 0})));
  EXPECT_EQ(p2.raw, 0u);
  // Every relabelling of h(0) h(1) h(2) gives the same circuit: the smallest raw word wins,
  // (2 1 0) (entry 2 smallest, then entry 1), not the identity that comes first.
  auto [r3, p3] =
      C({one(gates::H, 0), one(gates::H, 1), one(gates::H, 2)}, id(3)).representative_with_perm();
  EXPECT_EQ(r3, C({one(gates::H, 0), one(gates::H, 1), one(gates::H, 2)}, id(3)));
  EXPECT_EQ(p3, P({2, 1, 0}));
  EXPECT_EQ(C({one(gates::H, 0), one(gates::H, 1)}, id(2)).representative_with_perm().second,
            P({1, 0}));
  // x(0) h(1) on 3 wires: cut to 2 wires first; (1 0) gives h(0) x(1).
  auto [r4, p4] = C({one(gates::X, 0), one(gates::H, 1)}, id(3)).representative_with_perm();
  EXPECT_EQ(r4, C({one(gates::H, 0), one(gates::X, 1)}, id(2)));
  EXPECT_EQ(p4, P({1, 0}));
}

TEST(CircCanonical, MatchesTheStepByStepReferenceOnRandomCircuits) {
  std::mt19937 rng(2024);
  for (int t = 0; t < 300; ++t) {
    const auto nq = static_cast<std::uint8_t>(1 + rng() % 5);
    const Circ c = random_circ(rng, rng() % 7, nq);
    const Circ rep = c.representative();
    EXPECT_EQ(rep, reference_representative(c)) << c.debug();
    const auto [rp, p] = c.representative_with_perm();
    EXPECT_EQ(std::pair(rp, p), reference_with_perm(c)) << c.debug();
    EXPECT_EQ(rp, rep);
    // The representative is a relabelling of the prepared circuit.
    const Circ prep = prepared(c);
    if (!prep.is_empty()) {
      EXPECT_EQ(p.len(), prep.nqubits());
      EXPECT_EQ(prep.permut(p).reorder_instrs().compact_qubits(), rep) << c.debug();
      // Relabelling the input does not change the representative.
      const auto all = Permut32::all(nq);
      EXPECT_EQ(c.permut(all[rng() % all.size()]).representative(), rep) << c.debug();
    }
  }
}

TEST(CircCanonical, RotateRepresentativeMatchesReferenceAndPassesTheCheck) {
  std::mt19937 rng(99);
  for (int t = 0; t < 150; ++t) {
    const auto nq = static_cast<std::uint8_t>(1 + rng() % 5);
    const Circ c = random_identity(rng, 1 + rng() % 5, nq);
    const IdentityCirc r = c.rotate_representative();
    EXPECT_EQ(std::optional<Circ>(r.circ), reference_rotate(c)) << c.debug();
    EXPECT_TRUE(r.check());
    if (r.circ.is_empty()) continue;  // only the SWAP folding ran: nothing was minimised
    // Invariant under rotation and relabelling of the input.
    const auto all = Permut32::all(c.nqubits());
    const Circ moved = c.rotate(static_cast<std::int32_t>(rng() % (c.len() + 1)))
                           .permut(all[rng() % all.size()]);
    EXPECT_EQ(moved.rotate_representative(), r) << c.debug();
  }
}

TEST(CircCanonical, LongAndUnvalidatedInputs) {
  // More instructions than a byte can count.
  std::mt19937 rng(5);
  const Circ a = random_circ(rng, 150, 3);
  const Circ c = (a + a.inverse()).rotate(77);
  EXPECT_EQ(std::optional<Circ>(c.rotate_representative().circ), reference_rotate(c));
  EXPECT_EQ(c.representative(), reference_representative(c));
  // Circuits read from a serialized form are not validated: the canonical forms stop cleanly.
  const Circ bad{{one(gates::H, 5)}, id(2)};
  EXPECT_EQ(stop_message([&] { bad.representative(); }),
            "index out of bounds: the len is 2 but the index is 5");
  EXPECT_EQ(stop_message([&] { bad.rotate_representative(); }),
            "index out of bounds: the len is 2 but the index is 5");
  EXPECT_EQ(stop_message([] { Circ{{one(gates::H, 200)}, id(1)}.rotate(1); }),
            "assertion failed: idx < 8");
  EXPECT_EQ(stop_message([] { Circ{{one(gates::H, 0)}, Permut32::from_raw(0x0200'0000u)}
                                  .representative(); }),
            "<no stop>");
}

TEST(CircCanonical, RotateRepresentativeExamplesAndStops) {
  const Circ hh = C({one(gates::H, 0), one(gates::H, 0)}, id(1));
  EXPECT_EQ(hh.rotate_representative().circ, hh);
  EXPECT_EQ(C({one(gates::H, 1), one(gates::H, 1)}, id(2)).rotate_representative().circ, hh);
  EXPECT_EQ(C({}, id(2)).rotate_representative().circ, C({}, id(2)));
  EXPECT_EQ(C({two(gates::SWAP, 0, 1), two(gates::SWAP, 1, 0)}, id(2)).rotate_representative().circ,
            C({}, id(2)));
  EXPECT_EQ(stop_message([] { C({one(gates::X, 0)}, id(1)).rotate_representative(); })
                .rfind("IdentityCirc: circuit is not identity ", 0),
            0u);
  EXPECT_EQ(stop_message([] { C({}, P({1, 0})).rotate_representative(); })
                .rfind("IdentityCirc: circuit is not identity ", 0),
            0u);
  const Instr32 s = Instr32::none(scalar_gate());
  EXPECT_EQ(stop_message([&] { C({s, s}, Permut32{}).rotate_representative(); }),
            "called `Option::unwrap()` on a `None` value");
  // No instruction on qubit 0 in some relabelling: that relabelling gives no candidate.
  EXPECT_EQ(C({one(gates::H, 1), one(gates::H, 1)}, id(2))._rotate_representative(), std::nullopt);
}

}  // namespace
}  // namespace marrowfen
