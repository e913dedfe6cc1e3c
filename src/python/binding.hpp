// The binding layer: a thin layer of our own over the CPython C API.
//
// Every C entry point runs its body through `guard`, which maps core failures (Panic, IoError,
// DecodeError) and Python errors already set (PyErrSet) to a null return with the Python
// exception set. Nothing else in the module raises Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/panic.hpp"

namespace marrowfen::py {

// ---------------------------------------------------------------------------------------------
// Owning references.

class Ref {
 public:
  Ref() noexcept = default;
  // Takes ownership of a new reference (may be null).
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// Thrown when a Python exception is already set; `guard` turns it into a null return.
struct PyErrSet {};

// Checks a new reference: null means a Python error is set.
inline Ref check(PyObject* o) {
  if (!o) throw PyErrSet{};
  return Ref::steal(o);
}
inline void check_status(int status) {
  if (status < 0) throw PyErrSet{};
}

[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] inline void raise_type_error(const std::string& m) { raise(PyExc_TypeError, m); }

// The process-wide PanicException type ("pyo3_runtime.PanicException", a BaseException).
PyObject* panic_exception_type();

// Writes the failure report to standard error and sets PanicException(message).
void raise_panic(const std::string& message, const char* file, unsigned line, unsigned column);

// Runs f, returning its Ref released; failures become a null return with the error set.
template <class F>
PyObject* guard(F&& f) noexcept {
  try {
    Ref r = f();
    return r.release();
  } catch (const PyErrSet&) {
  } catch (const Panic& p) {
    raise_panic(p.message(), p.where().file_name(), p.where().line(), p.where().column());
  } catch (const IoError& e) {
    PyErr_SetString(PyExc_OSError, e.what());
  } catch (const DecodeError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what(), "<unknown>", 0, 0);
  } catch (...) {
    raise_panic("unknown failure", "<unknown>", 0, 0);
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  return nullptr;
}

// Same for entry points that return an int status (-1 on failure).
template <class F>
int guard_status(F&& f) noexcept {
  PyObject* r = guard([&] {
    f();
    return Ref::borrow(Py_None);
  });
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref not_implemented() { return Ref::borrow(Py_NotImplemented); }
inline Ref py_bool(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
Ref py_str(std::string_view s);
Ref py_int(long long v);
Ref py_uint(unsigned long long v);
Ref py_float(double v);

// ---------------------------------------------------------------------------------------------
// Argument binding: parameters by position or keyword under the names of the text signature.

struct ArgSpec {
  const char* fname;                       // "Gate.from_name()"
  std::vector<const char*> names;          // parameter names in order
  std::size_t required;                    // the first `required` have no default
};

// Binds fastcall arguments into out[0..names.size()), null where a default applies.
void bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);
// Binds tuple/dict arguments (constructors, __call__).
void bind_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

// ---------------------------------------------------------------------------------------------
// Conversions. The `raw_` forms raise the underlying error; `arg` wraps a TypeError raised
// while converting a parameter as "argument '{}': {}".

[[noreturn]] void rethrow_wrapped(const char* argname);

template <class F>
decltype(auto) arg(const char* name, F&& f) {
  try {
    return f();
  } catch (const PyErrSet&) {
    rethrow_wrapped(name);
  }
}

// "'{}' object cannot be converted to '{}'"
[[noreturn]] void raise_downcast(PyObject* obj, const char* target);
std::string type_qualname(PyObject* obj);

// Integers at most 16 bits wide: read as a 32-bit signed integer first.
long long raw_small_int(PyObject* o, long long lo, long long hi);
std::uint8_t raw_u8(PyObject* o);
std::uint16_t raw_u16(PyObject* o);
// A 32-bit machine word: read as an unsigned 64-bit integer first.
std::uint32_t raw_u32(PyObject* o);
std::uint64_t raw_u64(PyObject* o);
std::int64_t raw_i64(PyObject* o);
double raw_f64(PyObject* o);
std::string raw_str(PyObject* o);
bool raw_bool(PyObject* o);

// A list parameter: any sequence but str; items converted in order.
template <class F>
auto raw_list(PyObject* o, F&& item) -> std::vector<decltype(item(o))> {
  if (PyUnicode_Check(o)) raise_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) raise_downcast(o, "Sequence");
  std::vector<decltype(item(o))> out;
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    PyErr_Clear();
    n = 0;
  }
  out.reserve(static_cast<std::size_t>(n));
  Ref it = check(PyObject_GetIter(o));
  while (PyObject* x = PyIter_Next(it.get())) {
    Ref hold = Ref::steal(x);
    out.push_back(item(x));
  }
  if (PyErr_Occurred()) throw PyErrSet{};
  return out;
}

// ---------------------------------------------------------------------------------------------
// Cells: the object layout of every class, with a run-time borrow flag.

template <class T>
struct Cell {
  PyObject_HEAD
  Py_ssize_t borrow;  // 0 free, > 0 shared borrows, -1 exclusive
  PyObject* dict;     // instance dict (only where the class has one)
  T value;
};

template <class T>
Cell<T>* cell(PyObject* o) noexcept {
  return reinterpret_cast<Cell<T>*>(o);
}

template <class T>
class Shared {
 public:
  explicit Shared(PyObject* o, bool tracked = true) : c_(cell<T>(o)), tracked_(tracked) {
    if (tracked_) {
      if (c_->borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
      ++c_->borrow;
    }
  }
  Shared(const Shared&) = delete;
  Shared(Shared&& o) noexcept : c_(std::exchange(o.c_, nullptr)), tracked_(o.tracked_) {}
  ~Shared() {
    if (c_ && tracked_) --c_->borrow;
  }
  const T& operator*() const noexcept { return c_->value; }
  const T* operator->() const noexcept { return &c_->value; }

 private:
  Cell<T>* c_;
  bool tracked_;
};

template <class T>
class Exclusive {
 public:
  explicit Exclusive(PyObject* o) : c_(cell<T>(o)) {
    if (c_->borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
    c_->borrow = -1;
  }
  Exclusive(const Exclusive&) = delete;
  ~Exclusive() { c_->borrow = 0; }
  T& operator*() const noexcept { return c_->value; }
  T* operator->() const noexcept { return &c_->value; }

 private:
  Cell<T>* c_;
};

// ---------------------------------------------------------------------------------------------
// Classes.

struct ClassInfo {
  const char* name;        // Python name, e.g. "Gate"
  PyTypeObject* type;      // created once per process
  bool tracked;            // receiver borrows are tracked
};

template <class T>
struct ClassOf;  // specialised per bound type: static ClassInfo& info();

template <class T>
void cell_dealloc(PyObject* o) noexcept {
  PyTypeObject* tp = Py_TYPE(o);
  if (PyType_HasFeature(tp, Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(o);
  Cell<T>* c = cell<T>(o);
  Py_CLEAR(c->dict);
  c->value.~T();
  tp->tp_free(o);
  Py_DECREF(tp);
}

int cell_traverse_dict(PyObject* o, visitproc visit, void* arg);
int cell_clear_dict(PyObject* o);

struct TypeSpec {
  const char* name;          // Python name
  const char* doc;           // class docstring (with the constructor's signature if any)
  std::size_t basicsize;
  destructor dealloc;
  bool has_constructor = false;
  bool sequence = false;
  bool instance_dict = false;
  Py_ssize_t dict_offset = 0;
  std::vector<PyType_Slot> slots;  // further slots (no terminator needed)
};

PyTypeObject* make_type(TypeSpec spec);

// A new instance holding a copy of value.
template <class T>
Ref wrap(PyTypeObject* tp, T value) {
  PyObject* o = tp->tp_alloc(tp, 0);
  if (!o) throw PyErrSet{};
  Cell<T>* c = cell<T>(o);
  c->borrow = 0;
  c->dict = nullptr;
  new (&c->value) T(std::move(value));
  return Ref::steal(o);
}

template <class T>
Ref wrap(T value) {
  return wrap<T>(ClassOf<T>::info().type, std::move(value));
}

template <class T>
bool is_instance(PyObject* o) noexcept {
  return Py_TYPE(o) == ClassOf<T>::info().type;
}

// An argument of one of the module's classes, borrowed shared for the call.
template <class T>
Shared<T> raw_instance(PyObject* o) {
  const ClassInfo& ci = ClassOf<T>::info();
  if (Py_TYPE(o) != ci.type) raise_downcast(o, ci.name);
  return Shared<T>(o, ci.tracked);
}

template <class T>
Shared<T> receiver(PyObject* self) {
  return Shared<T>(self, ClassOf<T>::info().tracked);
}

// Fastcall method signature used by every method body.
using FastFn = Ref (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

template <FastFn F>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return guard([&] { return F(self, args, nargs, kwnames); });
}

template <FastFn F>
PyMethodDef method(const char* name, const char* doc, int extra_flags = 0) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<F>)),
                     METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

using GetFn = Ref (*)(PyObject* self);
template <GetFn F>
PyObject* getter_thunk(PyObject* self, void*) noexcept {
  return guard([&] { return F(self); });
}

using SetFn = void (*)(PyObject* self, PyObject* value);
template <SetFn F>
int setter_thunk(PyObject* self, PyObject* value, void*) noexcept {
  if (!value) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  return guard_status([&] { F(self, value); });
}

template <GetFn F>
PyGetSetDef getter(const char* name, const char* doc) {
  return PyGetSetDef{name, &getter_thunk<F>, nullptr, doc, nullptr};
}
template <GetFn F, SetFn S>
PyGetSetDef getset(const char* name, const char* doc) {
  return PyGetSetDef{name, &getter_thunk<F>, &setter_thunk<S>, doc, nullptr};
}

// Slot thunks.
using NewFn = Ref (*)(PyTypeObject* tp, PyObject* args, PyObject* kwargs);
template <NewFn F>
PyObject* new_thunk(PyTypeObject* tp, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] { return F(tp, args, kwargs); });
}
using UnaryFn = Ref (*)(PyObject* self);
template <UnaryFn F>
PyObject* unary_thunk(PyObject* self) noexcept {
  return guard([&] { return F(self); });
}
using BinaryFn = Ref (*)(PyObject* a, PyObject* b);
template <BinaryFn F>
PyObject* binary_thunk(PyObject* a, PyObject* b) noexcept {
  return guard([&] { return F(a, b); });
}
using CallFn = Ref (*)(PyObject* self, PyObject* args, PyObject* kwargs);
template <CallFn F>
PyObject* call_thunk(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] { return F(self, args, kwargs); });
}
using RichFn = Ref (*)(PyObject* a, PyObject* b, int op);
template <RichFn F>
PyObject* rich_thunk(PyObject* a, PyObject* b, int op) noexcept {
  return guard([&] { return F(a, b, op); });
}
using HashFn = std::uint64_t (*)(PyObject* self);  // the 64-bit content hash
template <HashFn F>
Py_hash_t hash_thunk(PyObject* self) noexcept {
  Py_hash_t out = -1;
  PyObject* r = guard([&] {
    std::uint64_t h = F(self);
    auto v = static_cast<std::int32_t>(static_cast<std::uint32_t>(h));
    out = v == -1 ? -2 : v;
    return Ref::borrow(Py_None);
  });
  if (!r) return -1;
  Py_DECREF(r);
  return out;
}
using LenFn = Py_ssize_t (*)(PyObject* self);
template <LenFn F>
Py_ssize_t len_thunk(PyObject* self) noexcept {
  Py_ssize_t out = -1;
  PyObject* r = guard([&] {
    out = F(self);
    return Ref::borrow(Py_None);
  });
  if (!r) return -1;
  Py_DECREF(r);
  return out;
}
using SsizeArgFn = Ref (*)(PyObject* self, Py_ssize_t i);
template <SsizeArgFn F>
PyObject* ssizearg_thunk(PyObject* self, Py_ssize_t i) noexcept {
  return guard([&] { return F(self, i); });
}
using AssFn = void (*)(PyObject* self, PyObject* key, PyObject* value);  // value null: delete
template <AssFn F>
int ass_thunk(PyObject* self, PyObject* key, PyObject* value) noexcept {
  return guard_status([&] { F(self, key, value); });
}

// Equality helper: NotImplemented unless both are T and op is == or !=.
template <class T, class Eq>
Ref rich_eq(PyObject* a, PyObject* b, int op, Eq&& eq) {
  if ((op != Py_EQ && op != Py_NE) || !is_instance<T>(a) || !is_instance<T>(b))
    return not_implemented();
  bool e;
  {
    Shared<T> x(a, ClassOf<T>::info().tracked);
    Shared<T> y(b, ClassOf<T>::info().tracked);
    e = eq(*x, *y);
  }
  return py_bool(op == Py_EQ ? e : !e);
}

// A new list holding to_py(item) for every item, in order.
template <class Range, class F>
Ref py_list(const Range& items, F&& to_py) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  Py_ssize_t i = 0;
  for (const auto& x : items) PyList_SET_ITEM(list.get(), i++, Ref(to_py(x)).release());
  return list;
}

// A new tuple of the given objects.
template <class... R>
Ref py_tuple(R... items) {
  Ref t = check(PyTuple_New(sizeof...(items)));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(t.get(), i++, items.release()), ...);
  return t;
}

// The result of a rich comparison from a three-way comparison of the two operands.
template <class Ordering>
Ref ordering_result(Ordering c, int op) {
  switch (op) {
    case Py_LT: return py_bool(c < 0);
    case Py_LE: return py_bool(c <= 0);
    case Py_EQ: return py_bool(c == 0);
    case Py_NE: return py_bool(c != 0);
    case Py_GT: return py_bool(c > 0);
    case Py_GE: return py_bool(c >= 0);
    default: return not_implemented();
  }
}

// Interns the method table and getset table for the life of the process.
PyMethodDef* method_table(std::vector<PyMethodDef> defs);
PyGetSetDef* getset_table(std::vector<PyGetSetDef> defs);

}  // namespace marrowfen::py
