// Python class Gate: an immutable handle to a gate registry row.
#include "python/binding.hpp"
#include "python/classes.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include "circ/gate.hpp"
#include "circ/param.hpp"

namespace marrowfen::py {

ClassInfo& ClassOf<Gate16>::info() {
  static ClassInfo ci{"Gate", nullptr, false};
  return ci;
}

namespace {

// NumPy's C API is reached on first use, not at module import.
void ensure_numpy() {
  static bool imported = false;
  if (imported) return;
  if (_import_array() < 0) throw PyErrSet{};
  imported = true;
}

Gate16 self_gate(PyObject* self) { return cell<Gate16>(self)->value; }

// A two-dimensional complex128 array in native byte order: a byte-swapped complex array has
// the same type number but is not complex128, and reading it as such would give garbage.
bool is_complex128_2d(PyObject* obj) {
  if (!PyArray_Check(obj)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_NDIM(a) == 2 && PyArray_TYPE(a) == NPY_CDOUBLE && PyArray_ISNOTSWAPPED(a);
}

GateMatrix matrix_from_array(PyObject* obj) {
  ensure_numpy();
  Ref arr;
  if (is_complex128_2d(obj)) {
    arr = Ref::borrow(obj);
  } else {
    arr = check(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    if (!is_complex128_2d(arr.get()))
      arg("matrix", [&]() -> int { raise_downcast(arr.get(), "PyArray<T, D>"); });
  }
  auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
  const npy_intp* dims = PyArray_DIMS(a);
  const npy_intp* strides = PyArray_STRIDES(a);
  if (strides[0] < 0 || strides[1] < 0) stop("called `Option::unwrap()` on a `None` value");
  const auto rows = static_cast<std::uint32_t>(dims[0]);
  const auto cols = static_cast<std::uint32_t>(dims[1]);
  GateMatrix m(rows, cols);
  const char* base = static_cast<const char*>(PyArray_DATA(a));
  for (std::uint32_t i = 0; i < rows; ++i)
    for (std::uint32_t j = 0; j < cols; ++j) {
      double re, im;
      const char* p = base + i * strides[0] + j * strides[1];
      std::memcpy(&re, p, sizeof re);
      std::memcpy(&im, p + sizeof re, sizeof im);
      m.at(i, j) = QComplex{re, im};
    }
  return m;
}

Ref gate_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Gate.__new__()", {"name", "params", "matrix"}, 3};
  PyObject* a[3];
  bind_tuple(spec, args, kwargs, a);
  std::string name = arg("name", [&] { return raw_str(a[0]); });
  std::vector<std::string> params =
      arg("params", [&] { return raw_list(a[1], [](PyObject* x) { return raw_str(x); }); });
  GateMatrix m = matrix_from_array(a[2]);
  return wrap(Gate16::create(std::move(name), std::move(params), std::move(m)));
}

Ref gate_from_name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Gate.from_name()", {"name"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  std::string name = arg("name", [&] { return raw_str(a[0]); });
  if (auto g = Gate16::from_name(name)) return wrap(*g);
  return none();
}

Ref gate_adjoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"Gate.adjoint()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  return wrap(self_gate(self).adjoint());
}

Ref get_name(PyObject* self) { return py_str(self_gate(self).name()); }

Ref get_params(PyObject* self) {
  return py_list(self_gate(self).params(), [](const std::string& s) { return py_str(s); });
}

Ref get_params_f(PyObject* self) {
  std::vector<std::string> p = self_gate(self).params();
  std::vector<double> values;
  for (const auto& text : p) {
    auto r = param::evaluate_with_pi(text);
    if (!r.ok) raise(PyExc_ValueError, r.error.display());
    values.push_back(r.value);
  }
  return py_list(values, [](double v) { return py_float(v); });
}

Ref get_matrix(PyObject* self) {
  ensure_numpy();
  GateMatrix m = self_gate(self).matrix_copy();
  npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
  Ref arr = check(PyArray_New(&PyArray_Type, 2, dims, NPY_CDOUBLE, nullptr, nullptr, 0,
                              NPY_ARRAY_F_CONTIGUOUS, nullptr));
  auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
  for (std::size_t k = 0; k < m.data.size(); ++k) {
    out[2 * k] = m.data[k].re.v;
    out[2 * k + 1] = m.data[k].im.v;
  }
  return arr;
}

Ref get_nqargs(PyObject* self) { return py_uint(self_gate(self).nqargs()); }

Ref gate_str(PyObject* self) { return py_str(self_gate(self).display()); }

Ref gate_richcompare(PyObject* a, PyObject* b, int op) {
  return rich_eq<Gate16>(a, b, op, [](Gate16 x, Gate16 y) { return x == y; });
}

std::uint64_t gate_hash(PyObject* self) { return content_hash(self_gate(self)); }

}  // namespace

// Defined with the instruction classes: calling a gate makes an Instr or an Instruction.
Ref gate_call(PyObject* self, PyObject* args, PyObject* kwargs);

PyTypeObject* create_gate_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "Gate";
    s.doc =
        "Gate(name, params, matrix)\n--\n\nParameterized quantum gate definition used by both "
        "search and Python APIs.";
    s.basicsize = sizeof(Cell<Gate16>);
    s.dealloc = &cell_dealloc<Gate16>;
    s.has_constructor = true;
    PyMethodDef* methods = method_table({
        method<gate_from_name>("from_name",
                               "from_name(name)\n--\n\nLooks up a built-in gate by display name.",
                               METH_STATIC),
        method<gate_adjoint>("adjoint",
                             "adjoint($self)\n--\n\nReturns the adjoint (inverse) gate."),
    });
    PyGetSetDef* getsets = getset_table({
        getter<get_name>("name", "Gate name."),
        getter<get_params>("params", "Symbolic parameter list."),
        getter<get_params_f>("params_f",
                             "Numeric parameters evaluated with support for `pi` expressions."),
        getter<get_matrix>("matrix", "Dense unitary matrix."),
        getter<get_nqargs>("nqargs", "Number of qubit arguments required by this gate."),
    });
    s.slots = {
        {Py_tp_new, reinterpret_cast<void*>(&new_thunk<gate_new>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getsets},
        {Py_tp_str, reinterpret_cast<void*>(&unary_thunk<gate_str>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&rich_thunk<gate_richcompare>)},
        {Py_tp_hash, reinterpret_cast<void*>(&hash_thunk<gate_hash>)},
        {Py_tp_call, reinterpret_cast<void*>(&call_thunk<gate_call>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<Gate16>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
