// The buffered forms of the algebra and canonical forms against the Circ operations they stand
// for: same values and same stops, on buffers reused from one call to the next.
#include "identity/canonical.hpp"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "circ/gate.hpp"
#include "core/test_support.hpp"
#include "identity/test_identities.hpp"

namespace marrowfen {
namespace {

using testing::one;
using testing::two;

// A random circuit on nq wires, now and then with a SWAP, and a random relabelling.
Circ random_with_swaps(std::mt19937& rng, unsigned k, std::uint8_t nq) {
  Circ c = testing::random_circuit(rng, k, nq);
  if (nq >= 2 && rng() % 3 == 0 && !c.instrs.empty())
    c.instrs.insert(c.instrs.begin() + static_cast<std::ptrdiff_t>(rng() % c.instrs.size()),
                    two(gates::SWAP, 0, static_cast<std::uint8_t>(1 + rng() % (nq - 1))));
  return c;
}

TEST(BufferedCanonical, SameValuesAsTheCircOperations) {
  std::mt19937 rng(31);
  Circ a_buf, b_buf, out, joined;  // reused by every case
  for (int t = 0; t < 400; ++t) {
    const auto nq = static_cast<std::uint8_t>(1 + rng() % 4);
    const Circ a = random_with_swaps(rng, rng() % 7, nq);
    const auto all = Permut32::all(static_cast<std::uint8_t>(1 + rng() % 4));
    const Permut32 p = all[rng() % all.size()];

    permut_into(a, p, out);
    EXPECT_EQ(out, a.permut(p)) << a.debug();

    const Circ b = random_with_swaps(rng, rng() % 5, static_cast<std::uint8_t>(1 + rng() % 4));
    add_into(a, b, joined);
    EXPECT_EQ(joined, a + b) << a.debug() << " " << b.debug();

    a_buf = a;
    const Permut32 relabel = representative_with_perm_into(a_buf, out);
    EXPECT_EQ(std::pair(out, relabel), a.representative_with_perm()) << a.debug();

    const Circ id = testing::random_identity(rng, 2 + rng() % 8, std::max<std::uint8_t>(nq, 2));
    b_buf = id;
    EXPECT_EQ(rotate_representative_in_place(b_buf), id.rotate_representative()) << id.debug();
  }
  // Without instructions.
  Circ empty{{}, Permut32::identity(3)};
  const Circ empty_copy = empty;
  const Permut32 r = representative_with_perm_into(empty, out);
  EXPECT_EQ(std::pair(out, r), empty_copy.representative_with_perm());
  Circ empty_id{{}, Permut32::identity(2)};
  EXPECT_EQ(rotate_representative_in_place(empty_id),
            Circ({}, Permut32::identity(2)).rotate_representative());
}

TEST(BufferedCanonical, SameStops) {
  Circ out;
  // A qubit beyond the permutation, as read from a file.
  Circ bad{{one(gates::H, 5)}, Permut32::identity(2)};
  const Circ bad_copy = bad;
  EXPECT_EQ(stop_message([&] { representative_with_perm_into(bad, out); }),
            stop_message([&] { bad_copy.representative_with_perm(); }));
  Circ bad2 = bad_copy;
  EXPECT_EQ(stop_message([&] { rotate_representative_in_place(bad2); }),
            stop_message([&] { bad_copy.rotate_representative(); }));
  EXPECT_EQ(stop_message([&] { add_into(Circ{{one(gates::H, 0)}, Permut32::identity(1)},
                                        Circ{{one(gates::H, 3)}, Permut32::identity(2)}, out); }),
            stop_message([&] { Circ{{one(gates::H, 0)}, Permut32::identity(1)} +
                                   Circ{{one(gates::H, 3)}, Permut32::identity(2)}; }));
  // Not an identity.
  Circ x{{one(gates::X, 0)}, Permut32::identity(1)};
  EXPECT_EQ(stop_message([&] { rotate_representative_in_place(x); })
                .rfind("IdentityCirc: circuit is not identity ", 0),
            0u);
}

}  // namespace
}  // namespace marrowfen
