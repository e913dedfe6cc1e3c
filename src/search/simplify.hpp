// The map's simplification in pieces on the pool (RawECCs::simplify runs it with
// SIMPLIFY_PIECE). Classes are simplified independently, so the work is cut into pieces of
// consecutive classes of the map; the classes are then sorted by the class order, a total order
// under which equal classes are identical, so the result is the same for every piece size and
// every number of workers.
#pragma once

#include <cstddef>

#include "search/ecc.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen {

// Classes per piece: about a millisecond of simplification.
inline constexpr std::size_t SIMPLIFY_PIECE = 1024;

// RawECCs::simplify with pieces of piece_size classes (at least 1). A failing class stops the
// call with the failure of the first failing class in the map's iteration order.
ECCs simplify_in_pieces(const RawECCs& map, std::size_t piece_size);

}  // namespace marrowfen
