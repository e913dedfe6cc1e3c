#include "identity/idcircuit.hpp"

#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/panic.hpp"
#include "core/postcard.hpp"
#include "core/test_support.hpp"
#include "identity/test_identities.hpp"

namespace marrowfen {
namespace {

using testing::one;
using testing::two;

using U32s = std::vector<std::uint32_t>;

IdentityCirc ident(std::vector<Instr32> instrs, Permut32 perm) {
  return IdentityCirc::from_circ(Circ::create(std::move(instrs), perm));
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// A gate of a 1x1 matrix: an instruction of it uses no qubit.
Gate16 scalar_gate() {
  GateMatrix m(1, 1);
  m.at(0, 0) = QComplex{1.0, 0.0};
  return Gate16::create("one", {}, m);
}

TEST(IdentityCirc, CheckAcceptsIdentitiesAndStopsOtherwise) {
  EXPECT_TRUE(IdentityCirc::create().check());
  EXPECT_EQ(IdentityCirc::create().circ.perm.raw, 0u);
  EXPECT_TRUE(ident({one(gates::H, 0), one(gates::H, 0)}, Permut32::identity(1)).check());
  // S·T·T: S† undone by T·T; the three instructions are not self-adjoint.
  EXPECT_TRUE(ident({one(gates::T, 0), one(gates::T, 0), one(gates::SDG, 0)},
                    Permut32::identity(1))
                  .check());
  // SWAP by three CX, undone by the permutation: order of the adjoints matters here.
  EXPECT_TRUE(IdentityCirc::from_circ(testing::swap_identity(2)).check());

  const struct {
    const char* what;
    IdentityCirc id;
  } bad[] = {
      {"swap permutation alone", ident({}, Permut32::from_iter({1, 0}))},
      {"single x", ident({one(gates::X, 0)}, Permut32::identity(1))},
      {"three cx without the permutation",
       ident({two(gates::CX, 0, 1), two(gates::CX, 1, 0), two(gates::CX, 0, 1)},
             Permut32::identity(2))},
      {"h then t", ident({one(gates::H, 0), one(gates::T, 0)}, Permut32::identity(1))},
  };
  for (const auto& c : bad) {
    const std::string msg = stop_message([&] { c.id.check(); });
    EXPECT_TRUE(starts_with(msg, "IdentityCirc: circuit is not identity [")) << msg;
    EXPECT_NE(msg.find("] Identity { "), std::string::npos) << msg;
    EXPECT_TRUE(starts_with(stop_message([&] { IdentityCirc::unchecked(c.id.circ); }),
                            "IdentityCirc: circuit is not identity "))
        << c.what;
  }
}

TEST(IdentityCirc, UncheckedKeepsTheCircuitAsGiven) {
  // An identity that is not in canonical form is stored exactly.
  const Circ c = Circ::create({one(gates::H, 1), one(gates::H, 1)}, Permut32::identity(2));
  const IdentityCirc id = IdentityCirc::unchecked(c);
  EXPECT_EQ(id.circ, c);
  EXPECT_NE(id, c.rotate_representative());
}

TEST(IdentityCirc, EveryRotationOfAnIdentityIsAnIdentity) {
  std::mt19937 rng(7);
  for (unsigned len = 2; len <= 15; ++len) {
    const Circ c = testing::random_identity(rng, len, 3);
    ASSERT_EQ(c.len(), len);
    const auto n = static_cast<std::int32_t>(len);
    for (std::int32_t k = -n; k <= n; ++k)
      EXPECT_TRUE(IdentityCirc::unchecked(c.rotate(k)).check()) << c.display() << " by " << k;
    const IdentityCirc rep = c.rotate_representative();
    EXPECT_TRUE(rep.check()) << rep.display();
    for (std::int32_t k = 1; k < static_cast<std::int32_t>(rep.len()); ++k)
      EXPECT_TRUE(IdentityCirc::unchecked(rep.circ.rotate(k)).check()) << rep.display();
  }
}

TEST(IdentityCirc, CheckCatchesOneChangedInstruction) {
  std::mt19937 rng(11);
  for (unsigned len = 4; len <= 12; ++len) {
    Circ c = testing::random_identity(rng, len, 3);
    const std::size_t at = rng() % len;
    const Instr32 in = c.instrs[at];
    // Another single-qubit gate that differs from the original by more than a phase.
    c.instrs[at] = in.nqubits() == 2 ? one(gates::H, in.slot(0))
                                     : one(in.gate() == gates::H ? gates::X : gates::H,
                                           in.slot(0));
    EXPECT_TRUE(starts_with(stop_message([&] { IdentityCirc::unchecked(c); }),
                            "IdentityCirc: circuit is not identity"))
        << c.display();
  }
}

TEST(IdentityCirc, WireNeighbours) {
  const IdentityCirc hh = ident({one(gates::H, 0), one(gates::H, 0)}, Permut32::identity(1));
  EXPECT_EQ(hh.qargs_forward(0), U32s{1});
  EXPECT_EQ(hh.qargs_forward(1), U32s{0});
  EXPECT_EQ(hh.qargs_backward(0), U32s{1});
  EXPECT_EQ(hh.qargs_backward(1), U32s{0});

  // Alone on its wire: the instruction is its own neighbour.
  const IdentityCirc lone = ident({one(gates::Z, 0)}, Permut32::identity(1));
  EXPECT_EQ(lone.qargs_forward(0), U32s{0});
  EXPECT_EQ(lone.qargs_backward(0), U32s{0});

  // cx(0,1) h(1) x(0) cx(0,1) h(1): argument 0 first; the first instruction met on a wire
  // decides, later ones do not overwrite it.
  const IdentityCirc c = ident({two(gates::CX, 0, 1), one(gates::H, 1), one(gates::X, 0),
                                two(gates::CX, 0, 1), one(gates::H, 1)},
                               Permut32::identity(2));
  EXPECT_EQ(c.qargs_forward(0), (U32s{2, 1}));
  EXPECT_EQ(c.qargs_backward(0), (U32s{3, 4}));
  EXPECT_EQ(c.qargs_forward(3), (U32s{0, 4}));
  EXPECT_EQ(c.qargs_backward(3), (U32s{2, 1}));
  EXPECT_EQ(c.qargs_forward(4), (U32s{0}));
  EXPECT_EQ(c.qargs_backward(1), (U32s{0}));

  // Across the end through the permutation: with (1 0), wire 0 continues as wire 1.
  const IdentityCirc sw = IdentityCirc::from_circ(testing::swap_identity(2));
  EXPECT_EQ(sw.qargs_forward(2), (U32s{0, 0}));
  EXPECT_EQ(sw.qargs_backward(0), (U32s{2, 2}));

  // An instruction without qubits has no neighbours (the rotation is still made).
  const Gate16 g = scalar_gate();
  const IdentityCirc s = ident({Instr32::none(g), one(gates::H, 0)}, Permut32::identity(1));
  EXPECT_EQ(s.qargs_forward(0), U32s{});
  EXPECT_EQ(s.qargs_backward(0), U32s{});
  EXPECT_EQ(s.qargs_forward(1), U32s{1});
}

TEST(IdentityCirc, WireNeighbourStops) {
  const IdentityCirc hh = ident({one(gates::H, 0), one(gates::H, 0)}, Permut32::identity(1));
  EXPECT_EQ(stop_message([&] { hh.qargs_forward(2); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(stop_message([&] { hh.qargs_backward(7); }),
            "index out of bounds: the len is 2 but the index is 7");
  EXPECT_EQ(stop_message([&] { IdentityCirc::create().qargs_forward(0); }),
            "index out of bounds: the len is 0 but the index is 0");

  // h on wire 0 with the permutation (1 0): the wire leaves and never comes back.
  const IdentityCirc gone = ident({one(gates::H, 0)}, Permut32::from_iter({1, 0}));
  EXPECT_EQ(stop_message([&] { gone.qargs_forward(0); }),
            "Identity { h(0) (1 0) } [4294967295]");
  EXPECT_EQ(stop_message([&] { gone.qargs_backward(0); }),
            "a Identity { h(0) (1 0) } Circ { instrs: [h(1)], perm: (1 0) } 0");
}

TEST(IdentityCirc, HashTextsAndOrder) {
  const IdentityCirc a = ident({one(gates::H, 0), two(gates::CX, 0, 1)}, Permut32::identity(2));
  const IdentityCirc b = ident({one(gates::H, 0), two(gates::CX, 0, 1)}, Permut32::identity(2));
  const IdentityCirc other_perm =
      ident({one(gates::H, 0), two(gates::CX, 0, 1)}, Permut32::identity(3));
  EXPECT_EQ(a.hash_value(), b.hash_value());
  EXPECT_EQ(a.hash_value(), a.circ.hash_value());
  EXPECT_NE(a.hash_value(), other_perm.hash_value());

  ContentHasher h;
  h.u32(2);
  for (Instr32 in : a.circ.instrs) {
    h.u16(in.gate().raw);
    h.u32(2);
    h.u8(in.slot(0));
    h.u8(in.slot(1));
  }
  h.u32(a.circ.perm.raw);
  EXPECT_EQ(a.hash_value(), h.finish());

  EXPECT_EQ(a.display(), "Identity { h(0) cx(0, 1) (0 1) }");
  EXPECT_EQ(fmt::format("{}", a), "Identity { h(0) cx(0, 1) (0 1) }");
  EXPECT_EQ(a.debug(), "IdentityCirc(Circ { instrs: [h(0), cx(0, 1)], perm: (0 1) })");
  EXPECT_EQ(IdentityCirc::create().display(), "Identity { () }");

  EXPECT_EQ(a, b);
  EXPECT_NE(a, other_perm);
  EXPECT_LT(a, other_perm);
  const IdentityCirc shorter = ident({one(gates::X, 3)}, Permut32::identity(4));
  EXPECT_LT(shorter, a);
  EXPECT_EQ(a.len(), 2u);
  EXPECT_EQ(a.nqubits(), 2);
  EXPECT_FALSE(a.is_empty());
  EXPECT_TRUE(IdentityCirc::create().is_empty());
}

TEST(IdentityCirc, PostcardRoundTrip) {
  char path[] = "/tmp/marrowfen_idcircuit_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  // Not an identity: reading checks nothing.
  const IdentityCirc a = ident({one(gates::H, 2), two(gates::CX, 1, 0)},
                               Permut32::from_iter({2, 0, 1}));
  {
    PostcardWriter w(path);
    a.write_postcard(w);
    IdentityCirc::create().write_postcard(w);
    w.finish();
  }
  {
    PostcardReader r(path);
    EXPECT_EQ(IdentityCirc::read_postcard(r), a);
    EXPECT_EQ(IdentityCirc::read_postcard(r), IdentityCirc::create());
  }
  std::remove(path);
}

}  // namespace
}  // namespace marrowfen
