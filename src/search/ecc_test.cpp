#include "search/ecc.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "circ/gate.hpp"
#include "core/panic.hpp"
#include "core/test_support.hpp"

namespace marrowfen {

void PrintTo(const ECC& e, std::ostream* os) {
  *os << "ECC[";
  for (const auto& [instrs, perm] : e.members) {
    *os << " {";
    for (Instr32 in : instrs) *os << fmt::format(" {}", in);
    *os << fmt::format(" {}", perm) << " }";
  }
  *os << " ]";
}

namespace {

Instr32 one(Gate16 g, std::uint8_t q) { return Instr32::one(g, q); }
Instr32 two(Gate16 g, std::uint8_t a, std::uint8_t b) { return Instr32::two(g, a, b); }
Permut32 P(std::initializer_list<std::uint8_t> v) { return Permut32::from_iter(v); }
Permut32 id(std::uint8_t n) { return Permut32::identity(n); }

const std::string EMPTY_INDEX = "index out of bounds: the len is 0 but the index is 0";

TEST(EccOrder, MemberOrderCountsFirstClassOrderComparesSequences) {
  const Instr32 a = one(gates::H, 0), b = one(gates::X, 1);
  // a = h(0) sorts before cx(0, 1)? No: qubit bytes first, (0, 1) < (0, 255).
  const Instr32 c01 = two(gates::CX, 0, 1);
  ASSERT_LT(c01, a);
  const EccMember ma{{a}, id(2)};
  const EccMember mab{{a, b}, id(2)};
  const EccMember mc{{c01, c01}, id(2)};
  // Member order: a one-instruction member always first.
  EXPECT_TRUE(compare_members(ma, mc) < 0);
  EXPECT_TRUE(compare_members(ma, mab) < 0);
  // Class order: sequences; [cx, cx] < [h] because cx < h, and [a] is a proper prefix of [a, b].
  EXPECT_TRUE(compare_members_lex(ma, mc) > 0);
  EXPECT_TRUE(compare_members_lex(ma, mab) < 0);
  // Same instructions: raw permutation, unsigned ((1 0) is 0x02000001, (0 1) 0x02000008).
  EXPECT_TRUE(compare_members(EccMember{{a}, P({0, 1})}, EccMember{{a}, P({1, 0})}) > 0);
  EXPECT_TRUE(compare_members_lex(EccMember{{}, Permut32::from_raw(0x7FFF'FFFF)},
                                EccMember{{}, Permut32::from_raw(0x8000'0000)}) < 0);

  // Classes: member 0 [a] before member 0 [a, b], whatever later members hold.
  const ECC e1{{ma, EccMember{{c01, c01, c01}, id(2)}}};
  const ECC e2{{mab}};
  EXPECT_LT(e1, e2);
  // A class whose member list is a prefix of the other's comes first.
  const ECC e3{{ma}};
  EXPECT_LT(e3, e1);
  EXPECT_EQ(e1, (ECC{{ma, EccMember{{c01, c01, c01}, id(2)}}}));
  EXPECT_NE(e1, e3);
}

TEST(Ecc, SimplifyPermute) {
  ECC e{{EccMember{{one(gates::H, 0)}, P({1, 2, 0})}, EccMember{{one(gates::X, 1)}, P({2, 0, 1})},
         EccMember{{}, id(3)}}};
  const auto q = P({1, 2, 0}).inv();
  auto m = std::move(e).simplify_permute();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].second, id(3));
  EXPECT_EQ(m[1].second, q * P({2, 0, 1}));
  EXPECT_EQ(m[2].second, q);
  EXPECT_EQ(m[1].first, std::vector<Instr32>{one(gates::X, 1)});

  auto single = ECC{{EccMember{{one(gates::H, 0)}, P({1, 0})}}}.simplify_permute();
  EXPECT_EQ(single[0].second, id(2));
  EXPECT_EQ(stop_message([] { ECC{}.simplify_permute(); }), EMPTY_INDEX);
}

TEST(Ecc, CircuitsMaterialiseSwapsRelativeToMemberZero) {
  const ECC e{{EccMember{{one(gates::H, 0)}, id(2)}, EccMember{{one(gates::H, 1)}, P({1, 0})}}};
  const auto c = e.circuits();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0], std::vector<Instr32>{one(gates::H, 0)});
  EXPECT_EQ(c[1], (std::vector<Instr32>{one(gates::H, 1), two(gates::SWAP, 0, 1)}));

  // Relative to p0: when member 0 carries the swap, member 1 with the identity gets it.
  const ECC f{{EccMember{{}, P({1, 2, 0})}, EccMember{{}, P({1, 2, 0})}, EccMember{{}, id(3)}}};
  const auto d = f.circuits();
  EXPECT_TRUE(d[0].empty());
  EXPECT_TRUE(d[1].empty());
  // inv((1 2 0)) = (2 0 1): swaps (0,2) then (0,1).
  EXPECT_EQ(d[2], (std::vector<Instr32>{two(gates::SWAP, 0, 2), two(gates::SWAP, 0, 1)}));

  EXPECT_EQ(stop_message([] { ECC{}.circuits(); }), EMPTY_INDEX);
}

TEST(Ecc, DisplayTexts) {
  const Instr32 h0 = one(gates::H, 0);
  const ECC e{{EccMember{{}, id(1)}, EccMember{{h0, h0}, id(1)}}};
  EXPECT_EQ(e.display(), "ECC {\n\t,\n\th(0) h(0),\n}");
  EXPECT_EQ(fmt::format("{}", e), e.display());

  const ECC sw{{EccMember{{two(gates::CX, 0, 1)}, id(2)}, EccMember{{}, P({1, 0})}}};
  EXPECT_EQ(sw.display(), "ECC {\n\tcx(0, 1),\n\tswap(0, 1),\n}");
  EXPECT_EQ(stop_message([] { ECC{}.display(); }), EMPTY_INDEX);

  ECCs all{{ECC{{EccMember{{h0}, id(1)}}}, e, ECC{}, sw}, 2};
  EXPECT_EQ(all.display(), e.display() + " & " + sw.display());
  EXPECT_EQ((ECCs{{ECC{{EccMember{{h0}, id(1)}}}, ECC{}}, 1}).display(), "");
  EXPECT_EQ(ECCs{}.display(), "");
}

TEST(Eccs, FilterSingleAndEquality) {
  const Instr32 h0 = one(gates::H, 0);
  const ECC pair{{EccMember{{}, id(1)}, EccMember{{h0, h0}, id(1)}}};
  const ECC single{{EccMember{{h0}, id(1)}}};
  const ECCs all{{single, pair, ECC{}, pair}, 3};
  const ECCs f = all.filter_single();
  EXPECT_EQ(f.nqubits, 3u);
  ASSERT_EQ(f.eccs.size(), 2u);
  EXPECT_EQ(f.eccs[0], pair);
  EXPECT_EQ(all.eccs.size(), 4u);
  EXPECT_EQ(all, (ECCs{{single, pair, ECC{}, pair}, 3}));
  EXPECT_NE(all, (ECCs{{single, pair, ECC{}, pair}, 2}));
}

TEST(Eccs, CheckReportsOnlyFailingClasses) {
  const Instr32 h0 = one(gates::H, 0), x0 = one(gates::X, 0), z0 = one(gates::Z, 0);
  const Instr32 h1 = one(gates::H, 1);
  const ECC good{{EccMember{{}, id(2)}, EccMember{{h0, h0}, id(2)}, EccMember{{x0, x0}, id(2)}}};
  // h x h = z.
  const ECC good2{{EccMember{{z0}, id(2)}, EccMember{{h0, x0, h0}, id(2)}}};
  // cx(0,1) cx(1,0) cx(0,1) is the swap: against the empty circuit with the swap permutation
  // the SWAP is materialised.
  const ECC swap{{EccMember{{}, P({1, 0})},
                  EccMember{{two(gates::CX, 0, 1), two(gates::CX, 1, 0), two(gates::CX, 0, 1)},
                            id(2)}}};
  const ECC bad{{EccMember{{h0}, id(2)}, EccMember{{h1}, id(2)}}};
  const ECC bad_late{{EccMember{{}, id(2)}, EccMember{{h0, h0}, id(2)}, EccMember{{x0}, id(2)}}};
  const ECC single{{EccMember{{x0}, id(2)}}};
  const ECCs all{{good, bad, good2, single, swap, bad_late}, 2};
  const std::vector<ECC> failing = all.check();
  ASSERT_EQ(failing.size(), 2u);
  EXPECT_EQ(failing[0], bad);
  EXPECT_EQ(failing[1], bad_late);

  EXPECT_TRUE(ECCs{}.check().empty());
  EXPECT_EQ(stop_message([] { ECCs{{ECC{}}, 1}.check(); }), EMPTY_INDEX);
}

TEST(Eccs, ToIdentityCircuitsSortedWithWitnesses) {
  const Instr32 h0 = one(gates::H, 0), x0 = one(gates::X, 0), z0 = one(gates::Z, 0);
  const Instr32 s0 = one(gates::S, 0);
  // Class A: z = h x h; class B: s s = z; class C: (empty) = h h; a single class gives nothing.
  const ECC a{{EccMember{{z0}, id(1)}, EccMember{{h0, x0, h0}, id(1)}}};
  const ECC b{{EccMember{{z0}, id(1)}, EccMember{{s0, s0}, id(1)}}};
  const ECC c{{EccMember{{}, id(1)}, EccMember{{h0, h0}, id(1)}, EccMember{{x0, x0}, id(1)}}};
  const ECC single{{EccMember{{x0}, id(1)}}};
  const ECCs all{{a, single, b, c}, 1};
  const auto out = all.to_identity_circuits();
  ASSERT_EQ(out.size(), 4u);
  for (std::size_t i = 0; i + 1 < out.size(); ++i) {
    const auto& [id0, inv0, m0] = out[i];
    const auto& [id1, inv1, m1] = out[i + 1];
    EXPECT_TRUE(std::tie(id0, inv0, m0) <= std::tie(id1, inv1, m1));
  }
  // The shortest identities come from class C: h h and x x (2 instructions, h before x).
  EXPECT_EQ(std::get<0>(out[0]).circ, Circ::create({h0, h0}, id(1)));
  EXPECT_EQ(std::get<1>(out[0]), Circ::create({}, id(1)));
  EXPECT_EQ(std::get<2>(out[0]), Circ::create({h0, h0}, id(1)));
  EXPECT_EQ(std::get<0>(out[1]).circ, Circ::create({x0, x0}, id(1)));
  // Each entry's witness pair composes to a circuit with the same canonical identity.
  for (const auto& [ident, inv, m] : out)
    EXPECT_EQ((inv + m).rotate_representative(), ident);

  EXPECT_TRUE(ECCs{}.to_identity_circuits().empty());
  EXPECT_EQ(stop_message([] { ECCs{{ECC{}}, 1}.to_identity_circuits(); }), EMPTY_INDEX);
  EXPECT_EQ(stop_message([&] {
              ECCs{{ECC{{EccMember{{}, id(1)}, EccMember{{one(gates::H, 1)}, id(1)}}}}, 1}
                  .to_identity_circuits();
            }),
            "Permutation length must be greater than the max qubit index.");
}

TEST(Eccs, ToIdentityCircuitsKeepsEqualIdentitiesAdjacent) {
  const Instr32 h0 = one(gates::H, 0);
  const ECC c{{EccMember{{}, id(1)}, EccMember{{h0, h0}, id(1)}}};
  const ECC other{{EccMember{{one(gates::Z, 0)}, id(1)}, EccMember{{one(gates::S, 0), one(gates::S, 0)}, id(1)}}};
  const auto out = ECCs{{c, other, c}, 1}.to_identity_circuits();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(std::get<0>(out[0]), std::get<0>(out[1]));
  EXPECT_EQ(std::get<2>(out[0]), std::get<2>(out[1]));
}

}  // namespace
}  // namespace marrowfen
