#include "core/panic.hpp"

namespace marrowfen {

void stop(std::string message, std::source_location where) {
  throw Panic(std::move(message), where);
}

void stop_index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
  throw Panic(fmt::format("index out of bounds: the len is {} but the index is {}", len, index),
              where);
}

}  // namespace marrowfen
