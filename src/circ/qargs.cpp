#include "circ/qargs.hpp"

#include "core/panic.hpp"

namespace marrowfen::qargs_detail {

void stop_empty_slot() { stop("Index out of bounds"); }
void stop_position(std::size_t pos) { stop_index_out_of_bounds(QArgs16::CAPACITY, pos); }

}  // namespace marrowfen::qargs_detail
