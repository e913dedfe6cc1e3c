#include "prover/prover.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/test_support.hpp"
#include <tbb/global_control.h>

#include "circ/gate.hpp"
#include "core/panic.hpp"
#include "identity/cutting.hpp"
#include "identity/test_identities.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen {
namespace {

using testing::one;
using testing::two;

const Instr32 X0 = one(gates::X, 0), Z0 = one(gates::Z, 0), H0 = one(gates::H, 0),
              S0 = one(gates::S, 0), SDG0 = one(gates::SDG, 0);

// A circuit on the single wire 0.
Circ wire0(std::vector<Instr32> instrs) {
  return Circ::create(std::move(instrs), Permut32::identity(1));
}
// An identity on wire 0, stored exactly as written.
IdentityCirc id0(std::vector<Instr32> instrs) { return IdentityCirc::from_circ(wire0(std::move(instrs))); }
// The canonical identity of c followed by d.
IdentityCirc canon(const Circ& c, const Circ& d) { return (c + d).rotate_representative(); }

// Files the circuits under the representative of `block` (one-wire circuits are already in
// its labelling). A usable rule has its rule identity in `proved`.
void add_rule(IdentityProver& p, const Circ& block, std::vector<Circ> circuits, bool usable) {
  const Circ rep = block.representative_with_perm().first;
  if (usable)
    for (const Circ& c : circuits) p.proved.insert(canon(c, rep.inverse()));
  p.circ_map[rep] = std::move(circuits);
}

// x = h z h, z = h x h = s s, all usable.
IdentityProver one_wire_prover() {
  IdentityProver p;
  add_rule(p, wire0({X0}), {wire0({H0, Z0, H0})}, true);
  add_rule(p, wire0({Z0}), {wire0({H0, X0, H0}), wire0({S0, S0})}, true);
  return p;
}

// ---- rewrite rounds ----------------------------------------------------------------------------

TEST(RewriteRound, EmptyRuleBaseGivesNothingAndTheCutTableBoundsTheLength) {
  const IdentityProver p;
  std::mt19937 rng(7);
  for (unsigned len : {2u, 9u, 19u}) {
    const IdentityCirc id = IdentityCirc::from_circ(testing::random_identity(rng, len, 3));
    EXPECT_TRUE(p.par_apply_rules(id, 3).empty()) << len;
    EXPECT_TRUE(p.par_transition_pairs(id, 3).empty()) << len;
  }
  EXPECT_TRUE(p.par_apply_rules(IdentityCirc::create(), 3).empty());

  const IdentityCirc twenty = IdentityCirc::from_circ(testing::random_identity(rng, 20, 3));
  EXPECT_EQ(stop_message([&] { p.par_apply_rules(twenty, 0); }),
            "index out of bounds: the len is 20 but the index is 20");
  EXPECT_EQ(stop_message([&] { p.par_transition_pairs(twenty, 0); }),
            "index out of bounds: the len is 20 but the index is 20");
}

// x z x z has two cuts of a lone x: [0] and [2]; each leaves z x z behind.
TEST(RewriteRound, RulesApplyOnlyOnceTheirRuleIdentityIsProvedAndWithinTheBound) {
  IdentityProver p;
  add_rule(p, wire0({X0}), {wire0({H0, Z0, H0})}, false);
  const IdentityCirc start = id0({X0, Z0, X0, Z0});
  const IdentityCirc rewritten = canon(wire0({H0, Z0, H0}), wire0({Z0, X0, Z0}));
  const IdentityCirc rule = canon(wire0({H0, Z0, H0}), wire0({X0}).inverse());
  ASSERT_NE(rewritten, rule);

  // Every rule takes part in the transitions, each result beside its rule; duplicates stay.
  using Pairs = std::vector<std::pair<IdentityCirc, IdentityCirc>>;
  EXPECT_EQ(p.par_transition_pairs(start, 2), (Pairs{{rewritten, rule}, {rewritten, rule}}));
  EXPECT_TRUE(p.par_apply_rules(start, 2).empty());

  p.proved.insert(rule);
  // additional_size against the 2 extra instructions of the rule; the 32-bit sum wraps.
  const std::pair<std::uint32_t, std::size_t> cases[] = {
      {0, 0}, {1, 0}, {2, 2}, {3, 2}, {4294967295u, 0}};
  for (auto [a, n] : cases) {
    const std::vector<IdentityCirc> out = p.par_apply_rules(start, a);
    EXPECT_EQ(out.size(), n) << a;
    for (const IdentityCirc& r : out) EXPECT_EQ(r, rewritten);
    EXPECT_EQ(p.par_transition_pairs(start, a).size(), n) << a;
  }
}

TEST(RewriteRound, ResultsComeInCutOrderWhateverTheNumberOfWorkers) {
  IdentityProver p = one_wire_prover();
  add_rule(p, wire0({S0, S0}), {wire0({Z0})}, true);
  add_rule(p, wire0({S0, Z0}), {wire0({SDG0}), wire0({Z0, S0})}, true);
  // Four identities one after the other: x z x z, s s z, x x, h x h z.
  const IdentityCirc start = id0({X0, Z0, X0, Z0, S0, S0, Z0, X0, X0, H0, X0, H0, Z0});
  ASSERT_TRUE(start.check());

  std::vector<IdentityCirc> seq, par;
  std::vector<std::pair<IdentityCirc, IdentityCirc>> seq_pairs, par_pairs;
  {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
    seq = p.par_apply_rules(start, 2);
    seq_pairs = p.par_transition_pairs(start, 2);
  }
  {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 8);
    par = p.par_apply_rules(start, 2);
    par_pairs = p.par_transition_pairs(start, 2);
  }
  EXPECT_GT(seq.size(), 10u);
  EXPECT_EQ(seq, par);
  EXPECT_EQ(seq_pairs, par_pairs);
  // Every rule here is usable, so the two kinds of round give the same identities.
  ASSERT_EQ(seq.size(), seq_pairs.size());
  for (std::size_t i = 0; i < seq.size(); ++i) {
    EXPECT_EQ(seq[i], seq_pairs[i].first);
    EXPECT_LE(seq[i].len(), start.len() + 2);
  }
}

// The prover of the cut-order test and its identity: several cuts share each rule.
IdentityProver shared_rules_prover() {
  IdentityProver p = one_wire_prover();
  add_rule(p, wire0({S0, S0}), {wire0({Z0})}, true);
  add_rule(p, wire0({S0, Z0}), {wire0({SDG0}), wire0({Z0, S0})}, true);
  return p;
}
const IdentityCirc& shared_rules_start() {
  static const IdentityCirc start = id0({X0, Z0, X0, Z0, S0, S0, Z0, X0, X0, H0, X0, H0, Z0});
  return start;
}

TEST(RuleCache, RuleIdentitiesAreBuiltOnceAndKeptUntilTheListIsRefiled) {
  IdentityProver p = shared_rules_prover();
  const Circ x_key = wire0({X0}).representative_with_perm().first;
  const RuleList& x_list = p.circ_map.at(x_key);
  ASSERT_FALSE(x_list.cached(0));

  const auto first = p.par_transition_pairs(shared_rules_start(), 2);
  for (const auto& [key, list] : p.circ_map)
    for (std::size_t j = 0; j < list.size(); ++j) {
      if (!list.cached(j)) continue;
      EXPECT_EQ(list.rule_identity(key, j), canon(list[j], key.inverse()));
    }
  ASSERT_TRUE(x_list.cached(0));
  const IdentityCirc* kept = &x_list.rule_identity(x_key, 0);
  EXPECT_EQ(p.par_transition_pairs(shared_rules_start(), 2), first);
  EXPECT_EQ(&x_list.rule_identity(x_key, 0), kept);

  // Copies start empty; the rounds of a copy give the same lists.
  const IdentityProver copy = p;
  EXPECT_FALSE(copy.circ_map.at(x_key).cached(0));
  EXPECT_EQ(copy.par_transition_pairs(shared_rules_start(), 2), first);

  // Filing another list under the key (x = h s s h) drops what was built for the old one.
  p.circ_map[x_key] = std::vector<Circ>{wire0({H0, S0, S0, H0})};
  const IdentityCirc new_rule = canon(wire0({H0, S0, S0, H0}), x_key.inverse());
  const IdentityCirc x_start = id0({X0, X0});
  const auto pairs = p.par_transition_pairs(x_start, 3);
  ASSERT_FALSE(pairs.empty());
  for (const auto& [rewritten, rule] : pairs) EXPECT_EQ(rule, new_rule);  // only x rewrites
  EXPECT_EQ(p.circ_map.at(x_key).rule_identity(x_key, 0), new_rule);
}

// First use from many workers at once: the cuts of a round run on the pool, and every lone x
// of these identities is a cut that needs the same rule identity. Fresh provers on 8 workers
// give exactly the lists that a fresh prover gives on one.
TEST(RuleCache, ConcurrentFirstUseGivesTheSequentialResults) {
  const IdentityCirc xs = id0(std::vector<Instr32>(16, X0));
  using Pairs = std::vector<std::pair<IdentityCirc, IdentityCirc>>;
  std::vector<Pairs> expected_pairs;
  std::vector<std::vector<IdentityCirc>> expected;
  {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
    for (const IdentityCirc* id : {&shared_rules_start(), &xs}) {
      expected_pairs.push_back(shared_rules_prover().par_transition_pairs(*id, 2));
      expected.push_back(shared_rules_prover().par_apply_rules(*id, 2));
    }
  }
  ASSERT_GT(expected[0].size(), 10u);
  ASSERT_GE(expected[1].size(), 16u);

  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 8);
  for (int trial = 0; trial < 4; ++trial) {
    std::size_t k = 0;
    for (const IdentityCirc* id : {&shared_rules_start(), &xs}) {
      // Alternate which kind of round meets the rules first.
      const IdentityProver p = shared_rules_prover();
      if (trial % 2 == 0) {
        EXPECT_EQ(p.par_transition_pairs(*id, 2), expected_pairs[k]) << trial;
        EXPECT_EQ(p.par_apply_rules(*id, 2), expected[k]) << trial;
      } else {
        EXPECT_EQ(p.par_apply_rules(*id, 2), expected[k]) << trial;
        EXPECT_EQ(p.par_transition_pairs(*id, 2), expected_pairs[k]) << trial;
      }
      ++k;
    }
  }
}

// ---- add_identity / add_identity_search / prove_identity_with_visited -------------------------

TEST(AddIdentity, EmptyOrAlreadyProvedIdentitiesChangeNothing) {
  IdentityProver p = one_wire_prover();
  const auto proved_before = p.proved.size();
  EXPECT_FALSE(p.add_identity(IdentityCirc::create(), 3, 10));
  const IdentityCirc known = *p.proved.begin();
  EXPECT_FALSE(p.add_identity(known, 3, 10));
  EXPECT_TRUE(p.assume.empty());
  EXPECT_EQ(p.proved.size(), proved_before);
}

TEST(AddIdentity, AnUnderivableIdentityBecomesAnAssumptionOnce) {
  IdentityProver p;  // no rules at all
  const IdentityCirc xx = id0({X0, X0});
  EXPECT_TRUE(p.add_identity(xx, 3, 10));
  EXPECT_EQ(p.assume, std::vector<IdentityCirc>{xx});
  EXPECT_TRUE(p.proved.contains(xx));
  EXPECT_FALSE(p.add_identity(xx, 3, 10));
  EXPECT_EQ(p.assume.size(), 1u);
  EXPECT_EQ(p.get_assumed(), p.assume);
}

TEST(AddIdentity, AReachedAcceptedIdentityDerivesTheStartAndEverythingVisitedIsAccepted) {
  IdentityProver p;
  add_rule(p, wire0({X0}), {wire0({H0, Z0, H0})}, true);
  const IdentityCirc start = id0({X0, Z0, X0, Z0});
  const IdentityCirc rewritten = canon(wire0({H0, Z0, H0}), wire0({Z0, X0, Z0}));
  p.proved.insert(rewritten);

  const auto [visited, assumed] = IdentityProver(p).add_identity_search(start, 2, 100);
  EXPECT_FALSE(assumed);
  EXPECT_EQ(visited, (IdentitySet{start, rewritten}));

  EXPECT_FALSE(p.add_identity(start, 2, 100));
  EXPECT_TRUE(p.assume.empty());
  EXPECT_TRUE(p.proved.contains(start));

  const auto [result, seen] = p.prove_identity_with_visited(start, 2, 100);
  EXPECT_EQ(result, std::nullopt);
  EXPECT_EQ(seen, (IdentitySet{start, rewritten}));
}

// From x z x z every rewrite is new and longer, so the budgets decide where the searches stop:
// add_identity_search gives up on push count_limit + 1, prove_identity_with_visited once
// `visited` (the start included) holds more than count_limit identities.
TEST(Search, CountLimitBoundaries) {
  const IdentityProver base = one_wire_prover();
  const IdentityCirc start = id0({X0, Z0, X0, Z0});
  ASSERT_GE(base.par_apply_rules(start, 2).size(), 3u);

  struct Case {
    std::uint32_t count_limit;
    std::size_t add_visited;    // visited size when add_identity_search gives up
    std::size_t prove_visited;  // the same for prove_identity_with_visited
  };
  for (const Case& c : {Case{0, 2, 2}, Case{1, 3, 2}, Case{2, 4, 3}}) {
    IdentityProver p = base;
    const auto [visited, assumed] = p.add_identity_search(start, 2, c.count_limit);
    EXPECT_TRUE(assumed) << c.count_limit;
    EXPECT_EQ(visited.size(), c.add_visited) << c.count_limit;
    EXPECT_EQ(p.assume, std::vector<IdentityCirc>{start});
    EXPECT_EQ(p.proved.size(), base.proved.size()) << "the search alone accepts nothing";

    const auto [result, seen] = base.prove_identity_with_visited(start, 2, c.count_limit);
    EXPECT_EQ(result, start) << c.count_limit;
    EXPECT_EQ(seen.size(), c.prove_visited) << c.count_limit;
  }

  // Without a binding budget both run out of identities and give the start up.
  IdentityProver p = base;
  const auto [visited, assumed] = p.add_identity_search(start, 2, 1'000'000);
  EXPECT_TRUE(assumed);
  EXPECT_GT(visited.size(), 4u);
  const auto [result, seen] = base.prove_identity_with_visited(start, 2, 1'000'000);
  EXPECT_EQ(result, start);
  EXPECT_EQ(seen, visited);
}

// s s z: the cut [0, 1] (s s -> z) reaches z z, shorter than the start; the later cut [1, 2]
// (s z -> z s) gives an identity of the start's length.
TEST(Search, AShorterIdentityIsHandedOnBeforeTheAcceptedTestAndEndsTheRound) {
  IdentityProver base;
  add_rule(base, wire0({S0, S0}), {wire0({Z0})}, true);
  add_rule(base, wire0({S0, Z0}), {wire0({Z0, S0})}, true);
  const IdentityCirc start = id0({S0, S0, Z0});
  const IdentityCirc shorter = canon(wire0({Z0}), wire0({Z0}));
  const IdentityCirc later = canon(wire0({S0}), wire0({Z0, S0}));
  ASSERT_EQ(base.par_apply_rules(start, 1), (std::vector<IdentityCirc>{shorter, later}));

  {  // Not accepted yet: the shorter identity becomes the assumption, not the start.
    IdentityProver p = base;
    const auto [visited, assumed] = p.add_identity_search(start, 1, 100);
    EXPECT_TRUE(assumed);
    EXPECT_EQ(visited, (IdentitySet{start, shorter}));
    EXPECT_EQ(p.assume, std::vector<IdentityCirc>{shorter});
    EXPECT_TRUE(p.proved.contains(shorter));
    EXPECT_FALSE(p.proved.contains(start));

    const auto [result, seen] = base.prove_identity_with_visited(start, 1, 100);
    EXPECT_EQ(result, shorter);
    EXPECT_EQ(seen, (IdentitySet{start, shorter}));
  }
  {  // Accepted: add_identity on it answers false at once; the read-only search recurses
     // into it and, finding nothing accepted among its rewrites, names it.
    IdentityProver p = base;
    p.proved.insert(shorter);
    const auto [visited, assumed] = p.add_identity_search(start, 1, 100);
    EXPECT_FALSE(assumed);
    EXPECT_TRUE(p.assume.empty());
    EXPECT_EQ(p.prove_identity(start, 1, 100), shorter);
  }
}

TEST(Search, ARoundThatGivesOnlyTheStartAgainAddsNothing) {
  IdentityProver p;
  add_rule(p, wire0({X0}), {wire0({X0})}, true);
  const IdentityCirc start = canon(wire0({X0}), wire0({X0}));
  ASSERT_EQ(p.par_apply_rules(start, 0), (std::vector<IdentityCirc>{start, start}));
  const auto [visited, assumed] = p.add_identity_search(start, 0, 0);
  EXPECT_TRUE(assumed);
  EXPECT_EQ(visited, IdentitySet{start});
  EXPECT_EQ(p.assume, std::vector<IdentityCirc>{start});
}

TEST(Search, ProveIdentityTestsNothingOnEntry) {
  IdentityProver p;
  const IdentityCirc xx = id0({X0, X0});
  p.proved.insert(xx);
  EXPECT_EQ(p.prove_identity(xx, 3, 10), xx);
}

// The identity without instructions is derivable at once, whatever the limits; a search that
// reaches it (here x x, by the rule x x -> nothing) answers derivable through its recursion.
TEST(Search, TheIdentityWithoutInstructionsIsDerivable) {
  const IdentityProver none;
  const IdentityCirc empty = IdentityCirc::create();
  for (std::uint32_t limit : {0u, 10u}) {
    const auto [result, visited] = none.prove_identity_with_visited(empty, 3, limit);
    EXPECT_EQ(result, std::nullopt);
    EXPECT_EQ(visited, IdentitySet{empty});
  }
  EXPECT_EQ(none.prove_identity(empty, 0, 0), std::nullopt);

  IdentityProver p;
  add_rule(p, wire0({X0, X0}), {Circ::create({}, Permut32::identity(1))}, true);
  const IdentityCirc xx = id0({X0, X0});
  // The rewrite keeps the wire: no instructions, the identity permutation of one qubit.
  const IdentityCirc reached = id0({});
  ASSERT_EQ(p.par_apply_rules(xx, 0), std::vector<IdentityCirc>{reached});
  const auto [result, visited] = p.prove_identity_with_visited(xx, 0, 10);
  EXPECT_EQ(result, std::nullopt);
  EXPECT_EQ(visited, (IdentitySet{xx, reached}));
}

TEST(Search, TheLargestAdditionalSizeLeavesNoBucket) {
  IdentityProver p;
  const IdentityCirc xx = id0({X0, X0});
  const std::string msg = "index out of bounds: the len is 0 but the index is 0";
  EXPECT_EQ(stop_message([&] { p.add_identity_search(xx, 4294967295u, 10); }), msg);
  EXPECT_EQ(stop_message([&] { p.add_identity(xx, 4294967295u, 10); }), msg);
  EXPECT_EQ(stop_message([&] { p.prove_identity_with_visited(xx, 4294967295u, 10); }), msg);
  EXPECT_TRUE(p.assume.empty());
}

// ---- building ----------------------------------------------------------------------------------

TEST(Build, RuleBaseListsEveryOtherMemberInTheKeysLabelling) {
  const Permut32 id1 = Permut32::identity(1), id2 = Permut32::identity(2);
  const Permut32 swap01 = Permut32::from_iter({1, 0});
  const std::vector<Instr32> cx01{two(gates::CX, 0, 1)};
  // cx with control and target exchanged by Hadamards on both wires.
  const std::vector<Instr32> hcxh{one(gates::H, 0), one(gates::H, 1), two(gates::CX, 1, 0),
                                  one(gates::H, 0), one(gates::H, 1)};
  // cx(1, 0) cx(0, 1) then a swap of the wires acts as cx(0, 1).
  const std::vector<Instr32> cxcx{two(gates::CX, 1, 0), two(gates::CX, 0, 1)};
  const std::vector<Instr32> x1{one(gates::X, 1)}, hzh1{one(gates::H, 1), one(gates::Z, 1),
                                                         one(gates::H, 1)};
  ECCs eccs;
  eccs.nqubits = 2;
  eccs.eccs.push_back(ECC{{{cx01, id2}, {hcxh, id2}, {cxcx, swap01}}});
  eccs.eccs.push_back(ECC{{{{X0}, id1}, {{H0, Z0, H0}, id1}}});
  eccs.eccs.push_back(ECC{{{x1, id2}, {hzh1, id2}}});  // the same keys on a wider register
  eccs.eccs.push_back(ECC{{{{Z0}, id1}}});

  ::testing::internal::CaptureStderr();
  const IdentityProver p = IdentityProver::build(eccs);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Building identity prover from 4 ECCs\n"), std::string::npos);
  EXPECT_NE(err.find("Proving Identities\n"), std::string::npos);

  auto key_of = [](const std::vector<Instr32>& instrs) {
    return Circ::new_no_perm(instrs).representative_with_perm().first;
  };
  // One key per distinct representative; x(1) and x(0) share one, and the later class's list
  // (written over two wires) replaced the earlier one.
  EXPECT_EQ(p.circ_map.size(), 6u);
  ASSERT_TRUE(p.circ_map.contains(key_of({X0})));
  const std::vector<Circ>& x_list = p.circ_map.at(key_of({X0})).circuits();
  ASSERT_EQ(x_list.size(), 1u);
  EXPECT_EQ(x_list[0].instrs, (std::vector<Instr32>{H0, Z0, H0}));
  EXPECT_EQ(x_list[0].nqubits(), 2);
  ASSERT_TRUE(p.circ_map.contains(key_of({Z0})));
  EXPECT_TRUE(p.circ_map.at(key_of({Z0})).empty());
  ASSERT_TRUE(p.circ_map.contains(key_of(cx01)));
  EXPECT_EQ(p.circ_map.at(key_of(cx01)).size(), 2u);
  // Every listed circuit acts as its key.
  for (const auto& [key, list] : p.circ_map)
    for (const Circ& c : list) {
      EXPECT_NE(c.instrs, key.instrs);
      EXPECT_TRUE((c + key.inverse()).rotate_representative().check());
    }

  // Nothing is usable when the first (shortest) candidate comes, so it is an assumption.
  const Circ inv0 = Circ::create(cx01, id2).inverse();
  const IdentityCirc shortest = (inv0 + Circ::create(cxcx, swap01)).rotate_representative();
  ASSERT_FALSE(p.assume.empty());
  EXPECT_EQ(p.assume.front(), shortest);
  EXPECT_TRUE(p.proved.contains(shortest));
  EXPECT_TRUE(p.proved.contains((inv0 + Circ::create(hcxh, id2)).rotate_representative()));
  EXPECT_TRUE(p.proved.contains(canon(wire0({X0}).inverse(), wire0({H0, Z0, H0}))));
}

TEST(Build, NoClassesGiveAnEmptyProverAndAnEmptyClassStops) {
  ::testing::internal::CaptureStderr();
  const IdentityProver p = IdentityProver::build(ECCs{});
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Building identity prover from 0 ECCs\nProving Identities\n");
  EXPECT_TRUE(p.assume.empty() && p.proved.empty() && p.circ_map.empty());

  ECCs bad;
  bad.eccs.push_back(ECC{});
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(stop_message([&] { IdentityProver::build(bad); }),
            "index out of bounds: the len is 0 but the index is 0");
  ::testing::internal::GetCapturedStderr();
}

TEST(RandomKeyedHash, ContainersOfEqualContentIterateDifferently) {
  // Equal sets compare equal; with fresh keys their layouts (iteration orders) differ.
  std::mt19937 rng(3);
  std::vector<IdentityCirc> ids;
  for (unsigned i = 0; i < 64; ++i)
    ids.push_back(IdentityCirc::from_circ(testing::random_identity(rng, 2 + i % 8, 3)));
  IdentitySet a(ids.begin(), ids.end()), b(ids.begin(), ids.end());
  EXPECT_EQ(a, b);
  EXPECT_NE(a.hash_function().key, b.hash_function().key);
  std::vector<IdentityCirc> oa(a.begin(), a.end()), ob(b.begin(), b.end());
  EXPECT_NE(oa, ob);
}

// ---- against plain references on real class sets ---------------------------------------------

// The classes of {h, cx, t} on 3 qubits up to `size` instructions, single classes left out.
ECCs real_classes(std::uint32_t size) {
  const Evaluator ev = Evaluator::random_py(3);
  return RawECCs::generate(ev, {gates::H, gates::CX, gates::T}, size).map.simplify().filter_single();
}

// The rewrite round straight from its definition: the cuts of the whole cut table, the Circ
// operations, one cut and one rule after the other, no caches.
template <bool WithRules>
auto reference_round(const IdentityProver& p, const IdentityCirc& id, std::uint32_t a) {
  using Item =
      std::conditional_t<WithRules, std::pair<IdentityCirc, IdentityCirc>, IdentityCirc>;
  std::vector<Item> out;
  for (const auto& [block, rest] : IdentitySubcircuit::table_subcircuit_splits(id)) {
    const auto [rep, relabel] = block.representative_with_perm();
    const auto found = p.circ_map.find(rep);
    if (found == p.circ_map.end()) continue;
    const Circ rest_relabelled = rest.permut(relabel);
    for (const Circ& c : found->second) {
      if (c.len() > static_cast<std::uint32_t>(rep.len() + a)) continue;
      const IdentityCirc rule = (c + rep.inverse()).rotate_representative();
      if constexpr (WithRules) {
        out.emplace_back((c + rest_relabelled).rotate_representative(), rule);
      } else if (p.proved.contains(rule)) {
        out.push_back((c + rest_relabelled).rotate_representative());
      }
    }
  }
  return out;
}

// Rounds over the accepted identities of a built prover and over long random identities (up to
// 19 instructions, some with more cuts than a round runs on one thread), on one thread and on
// eight, against the reference.
TEST(ProverResults, RoundsMatchTheReferenceOnOneThreadAndOnEight) {
  const IdentityProver p = IdentityProver::build(real_classes(4));
  std::vector<IdentityCirc> ids(p.proved.begin(), p.proved.end());
  std::sort(ids.begin(), ids.end());
  std::mt19937 rng(11);
  std::shuffle(ids.begin(), ids.end(), rng);
  ids.resize(std::min<std::size_t>(ids.size(), 400));
  for (unsigned len = 10; len < COMBINATIONS_LEN; ++len)
    for (int k = 0; k < 3; ++k)
      ids.push_back(testing::random_identity(rng, len, 3).rotate_representative());
  std::size_t many_cuts = 0;
  for (int tries = 0; tries < 1000 && many_cuts < 3; ++tries) {
    const IdentityCirc id = testing::random_identity(rng, 18 + tries % 2, 3).rotate_representative();
    std::vector<std::uint64_t> keys;
    if (IdentityCuts(id, keys).size() < 1024) continue;
    ids.push_back(id);
    ++many_cuts;
  }
  EXPECT_EQ(many_cuts, 3u);

  std::size_t results = 0;
  for (const IdentityCirc& id : ids) {
    for (std::uint32_t a : {0u, 2u}) {
      const auto expected = reference_round<false>(p, id, a);
      const auto expected_pairs = reference_round<true>(p, id, a);
      results += expected_pairs.size();
      for (int threads : {1, 8}) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
        ASSERT_EQ(p.par_apply_rules(id, a), expected) << id.display() << " " << threads;
        ASSERT_EQ(p.par_transition_pairs(id, a), expected_pairs) << id.display() << " " << threads;
      }
    }
  }
  EXPECT_GT(results, 10000u);
}

// On one thread a search takes one round at a time (the plain sequential search); on eight it
// computes the rounds of the identities next in line together. Both give the same prover: the
// same assumptions in the same order, the same accepted set, the same rule base; and the same
// read-only searches.
TEST(ProverResults, BuildAndSearchesAreTheSameOnOneThreadAndOnEight) {
  const ECCs eccs = real_classes(4);
  std::optional<IdentityProver> one, eight;
  {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
    one.emplace(IdentityProver::build(eccs));
  }
  {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 8);
    eight.emplace(IdentityProver::build(eccs));
  }
  EXPECT_GT(one->assume.size(), 5u);
  EXPECT_EQ(one->assume, eight->assume);
  ASSERT_EQ(one->proved.size(), eight->proved.size());
  for (const IdentityCirc& id : one->proved) ASSERT_TRUE(eight->proved.contains(id));
  ASSERT_EQ(one->circ_map.size(), eight->circ_map.size());
  for (const auto& [key, list] : one->circ_map) {
    const auto it = eight->circ_map.find(key);
    ASSERT_NE(it, eight->circ_map.end());
    EXPECT_EQ(it->second, list);
  }

  // Read-only searches from longer identities, some derivable and some not within the limits.
  std::vector<IdentityCirc> starts;
  for (const auto& [ident, inv0, member] : real_classes(5).to_identity_circuits())
    starts.push_back(ident);
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  std::mt19937 rng(3);
  std::shuffle(starts.begin(), starts.end(), rng);
  starts.resize(std::min<std::size_t>(starts.size(), 60));
  std::size_t underivable = 0;
  for (const IdentityCirc& s : starts) {
    std::pair<std::optional<IdentityCirc>, IdentitySet> r1, r8;
    {
      tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
      r1 = one->prove_identity_with_visited(s, 2, 40);
    }
    {
      tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 8);
      r8 = one->prove_identity_with_visited(s, 2, 40);
    }
    underivable += r1.first.has_value();
    EXPECT_EQ(r1.first, r8.first) << s.display();
    ASSERT_EQ(r1.second.size(), r8.second.size()) << s.display();
    for (const IdentityCirc& v : r1.second) ASSERT_TRUE(r8.second.contains(v));
  }
  EXPECT_GT(underivable, 0u);
  EXPECT_LT(underivable, starts.size());
}

// A round computed ahead for an identity that the search never reaches is dropped, failure and
// all. From z s s the first round gives s s s s, h x h s s, z t t s and z s t t; the round of
// h x h s s would stop the call, since the rule for x lists h, which is not equivalent to it, so
// its rule identity fails the identity check. The search takes the three of four instructions
// first, and with a budget of 4 or 5 queued identities it gives up before it reaches h x h s s;
// with 6 it reaches it. One thread and eight give the same.
TEST(Search, ARoundTheSearchNeverReachesIsDroppedWithItsFailure) {
  const auto make = [] {
    IdentityProver p;
    add_rule(p, wire0({Z0}), {wire0({S0, S0}), wire0({H0, X0, H0})}, true);
    add_rule(p, wire0({S0}), {wire0({one(gates::T, 0), one(gates::T, 0)})}, true);
    add_rule(p, wire0({X0}), {wire0({H0})}, false);
    return p;
  };
  const IdentityCirc start = id0({Z0, S0, S0});
  for (std::uint32_t limit : {4u, 5u}) {
    std::vector<IdentitySet> visited;
    for (int threads : {1, 8}) {
      tbb::global_control control(tbb::global_control::max_allowed_parallelism, threads);
      IdentityProver p = make();
      auto [v, assumed] = p.add_identity_search(start, 2, limit);
      EXPECT_TRUE(assumed) << limit << " " << threads;
      EXPECT_EQ(v.size(), limit + 2) << threads;
      visited.push_back(std::move(v));
    }
    EXPECT_EQ(visited[0], visited[1]) << limit;
  }
  for (int threads : {1, 8}) {
    tbb::global_control control(tbb::global_control::max_allowed_parallelism, threads);
    IdentityProver p = make();
    EXPECT_EQ(stop_message([&] { p.add_identity_search(start, 2, 6); })
                  .rfind("IdentityCirc: circuit is not identity ", 0),
              0u)
        << threads;
  }
}

}  // namespace
}  // namespace marrowfen
