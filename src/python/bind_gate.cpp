// Python class Gate: an immutable handle to a gate registry row. Calling a gate makes an Instr
// from qubit numbers or an Instruction from register arguments.
#include "python/binding.hpp"
#include "python/classes.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include "circ/gate.hpp"
#include "circ/instr.hpp"
#include "circ/instruction.hpp"
#include "circ/param.hpp"

namespace marrowfen::py {

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

Ref gate_new(const Args& a) {
  std::string name = a.get(0, raw_str);
  std::vector<std::string> params = a.get(1, [](PyObject* o) { return raw_list(o, raw_str); });
  GateMatrix m = matrix_from_array(a[2]);
  return wrap(Gate16::create(std::move(name), std::move(params), std::move(m)));
}

Ref gate_from_name(PyObject*, const Args& a) {
  const std::optional<Gate16> g = Gate16::from_name(a.get(0, raw_str));
  return g ? wrap(*g) : none();
}

Ref gate_adjoint(PyObject* self, const Args&) { return wrap(self_gate(self).adjoint()); }

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


// Converts every item of the argument tuple with `item`; false (error cleared) when one fails.
template <class T, class F>
bool try_convert_all(PyObject* args, std::vector<T>& out, F&& item) {
  try {
    out = raw_list(args, item);
    return true;
  } catch (const PyErrSet&) {
    PyErr_Clear();
    return false;
  }
}

// gate(*qubits) -> Instr, gate(*arguments) -> Instruction. No keywords.
Ref gate_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    PyDict_Next(kwargs, &pos, &key, &value);
    Ref text = check(PyObject_Str(key));
    Ref msg = check(PyUnicode_FromFormat(
        "Gate.__call__() got an unexpected keyword argument '%U'", text.get()));
    PyErr_SetObject(PyExc_TypeError, msg.get());
    throw PyErrSet{};
  }
  const Gate16 gate = self_gate(self);

  std::vector<std::uint8_t> qubits;
  if (try_convert_all(args, qubits, raw_u8)) return wrap(Instr32::from_gate_call(gate, qubits));

  std::vector<Argument> arguments;
  if (try_convert_all(args, arguments, raw_copy<Argument>))
    return wrap(Instruction::from_gate_call(gate, arguments));

  raise_type_error(
      "argument 'args': failed to convert the value to 'Union[Vec<u8>, Vec<Argument>]'");
}

}  // namespace

ClassDef ClassOf<Gate16>::def() {
  return {
      .constructor = ctor<gate_new>("Gate(name, params, matrix)\n--\n\nParameterized quantum "
                                    "gate definition used by both search and Python APIs."),
      .methods = {
          method<gate_from_name>("from_name(name)\n--\n\nLooks up a built-in gate by display "
                                 "name."),
          method<gate_adjoint>("adjoint($self)\n--\n\nReturns the adjoint (inverse) gate."),
      },
      .getsets = {
          getter<get_name>("name", "Gate name."),
          getter<get_params>("params", "Symbolic parameter list."),
          getter<get_params_f>("params_f",
                               "Numeric parameters evaluated with support for `pi` expressions."),
          getter<get_matrix>("matrix", "Dense unitary matrix."),
          getter<get_nqargs>("nqargs", "Number of qubit arguments required by this gate."),
      },
      .value_slots = SLOT_STR | SLOT_HASH | SLOT_EQ,
      .slots = {slot(Py_tp_call, &call_thunk<gate_call>)},
  };
}

template PyTypeObject* define_class<Gate16>();

}  // namespace marrowfen::py
