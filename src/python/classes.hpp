// The module's Python classes: each bind_<class>.cpp defines its ClassOf specialisation and a
// type-creation function, called once per process by the module entry in registration order.
#pragma once

#include "python/binding.hpp"

namespace marrowfen {
struct Gate16;
}

namespace marrowfen::py {

#define MARROWFEN_DECLARE_CLASS(T) \
  template <>                      \
  struct ClassOf<T> {              \
    static ClassInfo& info();      \
  };

MARROWFEN_DECLARE_CLASS(::marrowfen::Gate16)

PyTypeObject* create_gate_type();

}  // namespace marrowfen::py
