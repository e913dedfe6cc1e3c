// The prover file methods of IdentityProver: dump_postcard and the static from_postcard.
#include <string>

#include "prover/prover.hpp"
#include "prover/prover_file.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/prover_methods.hpp"

namespace marrowfen::py {

// IdentityProver.dump_postcard(filepath) -> None
Ref prover_dump_postcard(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const ArgSpec spec{"IdentityProver.dump_postcard()", {"filepath"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<IdentityProver> prover = receiver<IdentityProver>(self);
  const std::string path = arg("filepath", [&] { return raw_str(a[0]); });
  marrowfen::dump_postcard(*prover, path);
  return none();
}

// IdentityProver.from_postcard(filepath) -> IdentityProver (static)
Ref prover_from_postcard(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"IdentityProver.from_postcard()", {"filepath"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  const std::string path = arg("filepath", [&] { return raw_str(a[0]); });
  return wrap(marrowfen::prover_from_postcard(path));
}

}  // namespace marrowfen::py
