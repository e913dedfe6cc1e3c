// Quartz JSON export. The document is built whole in memory, then written straight to the
// file.
#include "search/quartz.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "circ/gate.hpp"
#include "core/os_error.hpp"
#include "core/panic.hpp"

namespace marrowfen {

namespace {

using nlohmann::json;

json qubit_names(Instr32 in) {
  json q = json::array();
  for (std::uint8_t x : in.qargs()) q.push_back(fmt::format("Q{}", x));
  return q;
}

// The instruction entries of the member's instructions followed by the SWAPs that realise f;
// `width` is raised to one more than the highest qubit they use.
json instruction_entries(const std::vector<Instr32>& instrs, Permut32 f, unsigned& width) {
  json entries = json::array();
  auto add = [&](Instr32 in) {
    json q = qubit_names(in);
    entries.push_back(json::array({in.gate().display(), q, q}));
    width = std::max<unsigned>(width, in.largest_qubit() + 1u);
  };
  for (Instr32 in : instrs) add(in);
  for (auto [a, b] : f.generate_swaps()) add(Instr32::two(gates::SWAP, a, b));
  return entries;
}

}  // namespace

std::string quartz_document(const ECCs& eccs) {
  json groups = json::object();
  for (std::size_t i = 0; i < eccs.eccs.size(); ++i) {
    const std::vector<EccMember>& members = eccs.eccs[i].members;
    if (members.size() < 2) continue;
    std::vector<bool> visited(members.size(), false);
    std::size_t g = 0;
    for (std::size_t h = 0; h < members.size(); ++h) {
      if (visited[h]) continue;
      const Permut32 inv = members[h].second.inv();
      // Every circuit of a group declares the group's qubit count: a reader of the format
      // pairs any two circuits of a group as one rewrite rule, which needs equal counts.
      std::vector<json> written;
      written.reserve(members.size());
      unsigned width = 1;
      for (std::size_t j = 0; j < members.size(); ++j) {
        // f maps p to inv(perm_j(p)): member j's permutation relative to member h's.
        const Permut32 f = inv * members[j].second;
        if (f.is_identity()) visited[j] = true;
        written.push_back(instruction_entries(members[j].first, f, width));
      }
      json group = json::array();
      for (json& entries : written) {
        const std::size_t count = entries.size();
        group.push_back(json::array({json::array({width, count}), std::move(entries)}));
      }
      groups[fmt::format("{}_{}", i, g)] = std::move(group);
      ++g;
    }
  }
  const json doc = json::array({json::array({json::array({0}), json::array({0})}), groups});
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

void ECCs::dump_quartz(const std::string& path) const {
  const std::string doc = quartz_document(*this);
  const int fd = open_file(path, FileMode::CreateWrite, "Failed to create file");
  const char* p = doc.data();
  std::size_t left = doc.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      ::close(fd);
      throw DecodeError(fmt::format("Failed to write JSON: {}", os_error_text(err)));
    }
    if (n == 0) {
      ::close(fd);
      throw DecodeError("Failed to write JSON: failed to write whole buffer");
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace marrowfen
