// Building a prover from simplified equivalence classes: the whole rule base first, then the
// candidate identities shortest first, each derived from those accepted before it or kept as
// an assumption.
#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/progress.hpp"
#include "prover/prover.hpp"
#include "search/ecc.hpp"

namespace marrowfen {
namespace {

// The limits every candidate is added with.
constexpr std::uint32_t BUILD_ADDITIONAL_SIZE = 3;
constexpr std::uint32_t BUILD_COUNT_LIMIT = 50'000'000;

}  // namespace

IdentityProver IdentityProver::build(ECCs eccs) {
  IdentityProver prover;
  std::vector<IdentityCirc> candidates;

  write_stderr_line(fmt::format("Building identity prover from {} ECCs", eccs.eccs.size()));
  {
    ProgressBar bar(eccs.eccs.size());
    for (ECC& ecc : eccs.eccs) {
      bar.inc();
      const std::vector<EccMember> members = std::move(ecc).simplify_permute();

      for (const auto& [instrs_k, perm_k] : members) {
        // The representative of the member's instructions alone, and the relabelling to it.
        auto [rep, relabel] = Circ::new_no_perm(instrs_k).representative_with_perm();
        const Permut32 perm_k_inv = perm_k.inv();
        std::vector<Circ> list;
        for (const auto& [instrs_j, perm_j] : members) {
          if (instrs_j == instrs_k) continue;
          list.push_back(Circ::create(instrs_j, perm_k_inv * perm_j).permut(relabel));
        }
        // A key met again (in this class or an earlier one) takes the later list.
        prover.circ_map.insert_or_assign(std::move(rep), std::move(list));
      }

      // Inverted for every class, one member or more: this registers the adjoints of member
      // 0's gates and stops on a member 0 that uses a qubit outside its permutation.
      const Circ inv0 = Circ::create(members[0].first, members[0].second).inverse();
      for (std::size_t j = 1; j < members.size(); ++j) {
        const Circ cj = Circ::create(members[j].first, members[j].second);
        candidates.push_back((inv0 + cj).rotate_representative());
      }
    }
    bar.finish();
  }

  std::stable_sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

  write_stderr_line("Proving Identities");
  {
    ProgressBar bar(candidates.size());
    for (IdentityCirc& c : candidates) {
      bar.inc();
      prover.add_identity(std::move(c), BUILD_ADDITIONAL_SIZE, BUILD_COUNT_LIMIT);
    }
    bar.finish();
  }
  return prover;
}

}  // namespace marrowfen
