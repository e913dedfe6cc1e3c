// The binding layer: a thin layer of our own over the CPython C API.
//
// Every C entry point runs its body through `guard`, which maps core failures (Panic, IoError,
// DecodeError) and Python errors already set (PyErrSet) to a null return with the Python
// exception set. Nothing else in the module raises Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <array>
#include <compare>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/content_hash.hpp"
#include "core/panic.hpp"

// Classes are defined with designated initializers that leave the members they do not name to
// their defaults; GCC before 14 warns about that (its bug 96868).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 14
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif

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

// Writes the failure report to standard error and sets PanicException(message). Called from
// catch handlers: it allocates nothing on the C++ side.
void raise_panic(std::string_view message, const char* file, unsigned line,
                 unsigned column) noexcept;

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

// Runs f for an entry point that returns a plain value: `fail` on failure (the error set).
template <class R, class F>
R guard_value(R fail, F&& f) noexcept {
  R out = fail;
  PyObject* r = guard([&] {
    out = f();
    return Ref::borrow(Py_None);
  });
  if (!r) return fail;
  Py_DECREF(r);
  return out;
}

// Same for entry points that return an int status (-1 on failure).
template <class F>
int guard_status(F&& f) noexcept {
  return guard_value<int>(-1, [&] {
    f();
    return 0;
  });
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
//
// A callable's parameters are declared once, in the text signature its docstring begins with:
// "permut($self, perm)\n--\n\n...", "from_name(name)\n--\n\n..." (static: no $self),
// "Circ(instrs, perm=None)\n--\n\n..." (a constructor; a parameter with "=" has a default).
// The ArgSpec below is read from that text once, when the class is created.

struct ArgSpec {
  static constexpr std::size_t MAX = 4;  // the most parameters any callable takes

  std::string method;                    // "permut" (ml_name of the method table)
  std::string fname;                     // "Circ.permut()", as binding errors name it
  std::array<std::string, MAX> names;    // parameter names in order
  std::size_t count = 0;
  std::size_t required = 0;              // the first `required` have no default
  bool is_static = false;                // no $self

  // Reads the text signature at the start of doc; `method` replaces the name it gives (the
  // "__new__" of a constructor). A docstring without a well-formed signature stops.
  static ArgSpec parse(std::string_view class_name, const char* doc,
                       const char* method = nullptr);
};

// Binds fastcall arguments into out[0..spec.count), null where a default applies. A keyword
// name that is not a str fails ("keywords must be strings") before anything else is bound.
void bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);
// Binds tuple/dict arguments (constructors), checking the keyword names the same way.
void bind_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

[[noreturn]] void rethrow_wrapped(const char* argname);

// A TypeError raised while converting the parameter `name` becomes "argument '{}': {}".
template <class F>
decltype(auto) arg(const char* name, F&& f) {
  try {
    return f();
  } catch (const PyErrSet&) {
    rethrow_wrapped(name);
  }
}

// The bound arguments of one call, in the order of the text signature.
class Args {
 public:
  Args(const ArgSpec& spec, PyObject* const* values) noexcept : spec_(&spec), values_(values) {}

  // The object bound to parameter i, or null where its default applies.
  PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }
  // Parameter i converted by `to` (any of the raw_ readers below), its TypeErrors wrapped
  // with the parameter's name.
  template <class F>
  decltype(auto) get(std::size_t i, F&& to) const {
    return arg(spec_->names[i].c_str(), [&]() -> decltype(auto) { return to(values_[i]); });
  }

 private:
  const ArgSpec* spec_;
  PyObject* const* values_;
};

// ---------------------------------------------------------------------------------------------
// Conversions. The `raw_` readers raise the underlying error; `Args::get` (or `arg`) wraps a
// TypeError raised while converting a parameter as "argument '{}': {}".

// "'{}' object cannot be converted to '{}'"
[[noreturn]] void raise_downcast(PyObject* obj, const char* target);
std::string type_qualname(PyObject* obj);

// Integers at most 16 bits wide: read as a 32-bit signed integer first.
long long raw_small_int(PyObject* o, long long lo, long long hi);
std::uint8_t raw_u8(PyObject* o);
std::uint16_t raw_u16(PyObject* o);
// A signed 32-bit integer (the module's C long).
std::int32_t raw_i32(PyObject* o);
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

// Specialised for every class in classes.hpp: `static ClassInfo& info()` and
// `static ClassDef def()`, the latter defined by the class's bind_<class>.cpp.
template <class T>
struct ClassOf;

// An instance owns its value in place: a value whose move could throw would leave a half-built
// object behind, one whose destructor could throw would unwind through the interpreter.
template <class T>
constexpr void check_wrappable() {
  static_assert(std::is_nothrow_move_constructible_v<T>,
                "a wrapped value must move without throwing");
  static_assert(std::is_nothrow_destructible_v<T>, "a wrapped value must destroy without throwing");
}

template <class T>
void cell_dealloc(PyObject* o) noexcept {
  check_wrappable<T>();
  PyTypeObject* tp = Py_TYPE(o);
  if (PyType_HasFeature(tp, Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(o);
  Cell<T>* c = cell<T>(o);
  Py_CLEAR(c->dict);
  c->value.~T();
  tp->tp_free(o);
  Py_DECREF(tp);
}

// A new instance holding value (moved in).
template <class T>
Ref wrap(T value) {
  check_wrappable<T>();
  PyTypeObject* tp = ClassOf<T>::info().type;
  PyObject* o = tp->tp_alloc(tp, 0);
  if (!o) throw PyErrSet{};
  Cell<T>* c = cell<T>(o);
  c->borrow = 0;
  c->dict = nullptr;
  new (&c->value) T(std::move(value));
  return Ref::steal(o);
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

// An argument of one of the module's classes, copied.
template <class T>
T raw_copy(PyObject* o) {
  return T(*raw_instance<T>(o));
}

// A list argument of instances of one class, copied.
template <class T>
std::vector<T> raw_copies(PyObject* o) {
  return raw_list(o, raw_copy<T>);
}

template <class T>
Shared<T> receiver(PyObject* self) {
  return Shared<T>(self, ClassOf<T>::info().tracked);
}

// ---------------------------------------------------------------------------------------------
// Entry points. Every one runs its body through `guard`.

// A method body: the receiver (null for a static method) and the bound arguments.
using MethodFn = Ref (*)(PyObject* self, const Args& args);
// A constructor body.
using CtorFn = Ref (*)(const Args& args);

// The parameters of each method and constructor, read from its text signature when its class
// is created.
template <auto F>
inline ArgSpec spec_of;

template <MethodFn F>
PyObject* method_thunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* bound[ArgSpec::MAX];
    bind_fastcall(spec_of<F>, args, nargs, kwnames, bound);
    return F(self, Args(spec_of<F>, bound));
  });
}

template <CtorFn F>
PyObject* ctor_thunk(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    PyObject* bound[ArgSpec::MAX];
    bind_tuple(spec_of<F>, args, kwargs, bound);
    return F(Args(spec_of<F>, bound));
  });
}

// One entry of a class's method table: the docstring begins with the text signature, which
// gives the method's name, its parameters and whether it is static.
struct MethodEntry {
  const char* doc;
  PyCFunction fn;
  ArgSpec* spec;
};

template <MethodFn F>
MethodEntry method(const char* doc) {
  return {doc, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_thunk<F>)),
          &spec_of<F>};
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
  return guard_value<Py_hash_t>(-1, [&] { return static_cast<Py_hash_t>(fold_hash(F(self))); });
}
using LenFn = Py_ssize_t (*)(PyObject* self);
template <LenFn F>
Py_ssize_t len_thunk(PyObject* self) noexcept {
  return guard_value<Py_ssize_t>(-1, [&] { return F(self); });
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

// A slot of the type: its id and its thunk.
template <class Fn>
PyType_Slot slot(int id, Fn* fn) noexcept {
  return PyType_Slot{id, reinterpret_cast<void*>(fn)};
}

// ---------------------------------------------------------------------------------------------
// Class definitions.

// A constructor: ctor<F>(doc) for the constructor body F, with the class docstring, which
// begins with the constructor's text signature.
struct Ctor {
  newfunc fn = nullptr;
  ArgSpec* spec = nullptr;
  const char* doc = nullptr;
};

template <CtorFn F>
Ctor ctor(const char* doc) {
  return {&ctor_thunk<F>, &spec_of<F>, doc};
}

// Slots written the same way for every class, from members of the value.
enum ValueSlots : unsigned {
  SLOT_STR = 1,     // __str__: display()
  SLOT_REPR = 2,    // __repr__: debug()
  SLOT_HASH = 4,    // __hash__: the content hash
  SLOT_EQ = 8,      // == and != by the value's ==
  SLOT_ORDER = 16,  // the six comparisons by the value's <=>
};

// What a bind_<class>.cpp says of its class (ClassOf<T>::def()).
struct ClassDef {
  Ctor constructor;           // none: the class cannot be instantiated from Python
  const char* doc = nullptr;  // the docstring of a class without a constructor
  bool sequence = false;       // Py_TPFLAGS_SEQUENCE
  bool instance_dict = false;  // an instance __dict__
  std::vector<MethodEntry> methods;
  std::vector<PyGetSetDef> getsets;
  unsigned value_slots = 0;        // ValueSlots
  std::vector<PyType_Slot> slots;  // further slots (no terminator)
};

// Builds the heap type from def and the layout of its cells; reads every text signature.
PyTypeObject* make_type(const char* name, ClassDef def, std::size_t basicsize,
                        destructor dealloc);

// Equality helper: NotImplemented unless both are T and op is == or !=.
template <class T, class Eq>
Ref rich_eq(PyObject* a, PyObject* b, int op, Eq&& eq) {
  if ((op != Py_EQ && op != Py_NE) || !is_instance<T>(a) || !is_instance<T>(b))
    return not_implemented();
  bool e;
  {
    Shared<T> x = receiver<T>(a);
    Shared<T> y = receiver<T>(b);
    e = eq(*x, *y);
  }
  return py_bool(op == Py_EQ ? e : !e);
}

// A new list holding to_py(item) for every item, in order.
template <class Range, class F>
Ref py_list(Range&& items, F&& to_py) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  Py_ssize_t i = 0;
  for (auto&& x : items)
    PyList_SET_ITEM(list.get(), i++, Ref(to_py(std::forward<decltype(x)>(x))).release());
  return list;
}

// A new list of new instances, one per value (copied, or moved out of an rvalue vector).
template <class T>
Ref py_instances(const std::vector<T>& values) {
  return py_list(values, [](const T& x) { return wrap(T(x)); });
}
template <class T>
Ref py_instances(std::vector<T>&& values) {
  return py_list(values, [](T& x) { return wrap(std::move(x)); });
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

// Rich comparison of two T by their three-way order; NotImplemented unless both are T.
template <class T>
Ref rich_order(PyObject* a, PyObject* b, int op) {
  if (!is_instance<T>(a) || !is_instance<T>(b)) return not_implemented();
  const auto c = *receiver<T>(a) <=> *receiver<T>(b);
  return ordering_result(c, op);
}

template <class T>
Ref display_of(PyObject* self) {
  return py_str(receiver<T>(self)->display());
}
template <class T>
Ref debug_of(PyObject* self) {
  return py_str(receiver<T>(self)->debug());
}
template <class T>
std::uint64_t content_hash_of(PyObject* self) {
  return content_hash(*receiver<T>(self));
}
template <class T>
Ref rich_equal(PyObject* a, PyObject* b, int op) {
  return rich_eq<T>(a, b, op, [](const T& x, const T& y) { return x == y; });
}

// Adds the slots named by def.value_slots; a slot the value cannot provide stops.
template <class T>
void add_value_slots(ClassDef& def) {
  const auto add = [&](unsigned flag, bool available, PyType_Slot s) {
    if (!(def.value_slots & flag)) return;
    if (!available) stop(fmt::format("{}: no value slot {}", ClassOf<T>::info().name, flag));
    def.slots.push_back(s);
  };
  constexpr bool has_display = requires(const T& t) { t.display(); };
  constexpr bool has_debug = requires(const T& t) { t.debug(); };
  constexpr bool has_hash = requires(const T& t, ContentHasher& h) { t.feed(h); };
  if constexpr (has_display) add(SLOT_STR, true, slot(Py_tp_str, &unary_thunk<display_of<T>>));
  else add(SLOT_STR, false, {});
  if constexpr (has_debug) add(SLOT_REPR, true, slot(Py_tp_repr, &unary_thunk<debug_of<T>>));
  else add(SLOT_REPR, false, {});
  if constexpr (has_hash) add(SLOT_HASH, true, slot(Py_tp_hash, &hash_thunk<content_hash_of<T>>));
  else add(SLOT_HASH, false, {});
  if constexpr (std::equality_comparable<T>)
    add(SLOT_EQ, true, slot(Py_tp_richcompare, &rich_thunk<rich_equal<T>>));
  else add(SLOT_EQ, false, {});
  if constexpr (std::three_way_comparable<T>)
    add(SLOT_ORDER, true, slot(Py_tp_richcompare, &rich_thunk<rich_order<T>>));
  else add(SLOT_ORDER, false, {});
}

// The type of class T, created on the first call.
template <class T>
PyTypeObject* define_class() {
  ClassInfo& ci = ClassOf<T>::info();
  if (!ci.type) {
    ClassDef def = ClassOf<T>::def();
    add_value_slots<T>(def);
    ci.type = make_type(ci.name, std::move(def), sizeof(Cell<T>), &cell_dealloc<T>);
  }
  return ci.type;
}

}  // namespace marrowfen::py
