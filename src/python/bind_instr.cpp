// Calling a gate, and the instruction classes (being built).
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace marrowfen::py {

Ref gate_call(PyObject*, PyObject*, PyObject*) {
  raise(PyExc_NotImplementedError, "calling a gate is not available yet");
}

}  // namespace marrowfen::py
