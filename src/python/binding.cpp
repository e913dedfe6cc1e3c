#include "python/binding.hpp"

#include <pthread.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace marrowfen::py {

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PyErrSet{};
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "\nThe exception raised when a call into marrowfen stops on a broken precondition.\n\n"
        "Like SystemExit, it derives from BaseException, so `except Exception` does not catch "
        "it.\n",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(std::string_view message, const char* file, unsigned line,
                 unsigned column) noexcept {
  // Runs inside a catch handler: the report goes straight to the stream, nothing is allocated.
  static std::atomic<bool> first{true};
  char name[64] = {0};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == 0)
    std::strcpy(name, "<unnamed>");
  std::fprintf(stderr, "\nthread '%s' panicked at %s:%u:%u:\n%.*s\n%s", name, file, line, column,
               static_cast<int>(message.size()), message.data(),
               first.exchange(false) ? "note: run the process under gdb with `catch throw` to "
                                       "obtain a backtrace of the failing call\n"
                                     : "");
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (!type) return;  // creating the type failed: its error stays set
  PyObject* msg = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                       "replace");
  if (!msg) return;
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
}

Ref py_str(std::string_view s) {
  return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Ref py_int(long long v) { return check(PyLong_FromLongLong(v)); }
Ref py_uint(unsigned long long v) { return check(PyLong_FromUnsignedLongLong(v)); }
Ref py_float(double v) { return check(PyFloat_FromDouble(v)); }

// ---------------------------------------------------------------------------------------------
// Binding.

ArgSpec ArgSpec::parse(std::string_view class_name, const char* doc, const char* method) {
  const std::string_view text(doc ? doc : "");
  const std::size_t open = text.find('(');
  const std::size_t close = text.find(')');
  if (open == 0 || open == text.npos || close == text.npos || close < open ||
      text.substr(close, 6) != ")\n--\n\n")
    stop(fmt::format("{}: docstring without a text signature: {}", class_name, text));
  ArgSpec spec;
  spec.method = method ? method : std::string(text.substr(0, open));
  spec.fname = fmt::format("{}.{}()", class_name, spec.method);
  spec.is_static = true;
  std::string_view params = text.substr(open + 1, close - open - 1);
  while (!params.empty()) {
    const std::size_t comma = params.find(", ");
    std::string_view p = params.substr(0, comma);
    params = comma == params.npos ? std::string_view() : params.substr(comma + 2);
    if (p == "$self") {
      spec.is_static = false;
      continue;
    }
    const std::size_t eq = p.find('=');
    if (eq == p.npos && spec.required != spec.count)
      stop(fmt::format("{}: a parameter without default after one with", spec.fname));
    if (spec.count == MAX) stop(fmt::format("{}: more than {} parameters", spec.fname, MAX));
    spec.names[spec.count++] = std::string(p.substr(0, eq));
    if (eq == p.npos) spec.required = spec.count;
  }
  return spec;
}

namespace {

// 'a', 'a' and 'b', 'a', 'b', and 'c'
std::string quoted_list(const std::string* const* names, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) s += ',';
      s += i == n - 1 ? " and " : " ";
    }
    s += '\'';
    s += *names[i];
    s += '\'';
  }
  return s;
}

[[noreturn]] void too_many_positional(const ArgSpec& spec, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  if (spec.required != spec.count)
    raise_type_error(fmt::format("{} takes from {} to {} positional arguments but {} {} given",
                                 spec.fname, spec.required, spec.count, given, was));
  raise_type_error(fmt::format("{} takes {} positional arguments but {} {} given", spec.fname,
                               spec.count, given, was));
}

// The interpreter checks the keyword names of the calls it makes to a method, but hands the
// dict of `Cls(**{1: 2})` to tp_new as it is, and a call from C may pass any names: every name
// is checked before the first one is bound, with the interpreter's own message.
void check_keyword_name(PyObject* key) {
  if (!PyUnicode_Check(key)) raise_type_error("keywords must be strings");
}

// key is a str (check_keyword_name).
void bind_keyword(const ArgSpec& spec, PyObject* key, PyObject* value, PyObject** out) {
  Py_ssize_t len = 0;
  const char* k = PyUnicode_AsUTF8AndSize(key, &len);
  if (!k) {
    // A name that has no UTF-8 form (a lone surrogate) matches no parameter; the message holds
    // the name as it is, as the interpreter's own does.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrSet{};
    PyErr_Clear();
    Ref msg = check(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                         spec.fname.c_str(), key));
    PyErr_SetObject(PyExc_TypeError, msg.get());
    throw PyErrSet{};
  }
  const std::string_view kv(k, static_cast<std::size_t>(len));
  for (std::size_t i = 0; i < spec.count; ++i) {
    if (kv == spec.names[i]) {
      if (out[i])
        raise_type_error(
            fmt::format("{} got multiple values for argument '{}'", spec.fname, spec.names[i]));
      out[i] = value;
      return;
    }
  }
  raise_type_error(fmt::format("{} got an unexpected keyword argument '{}'", spec.fname, kv));
}

void check_missing(const ArgSpec& spec, Py_ssize_t nargs, PyObject** out) {
  if (static_cast<std::size_t>(nargs) >= spec.required) return;
  const std::string* missing[ArgSpec::MAX];
  std::size_t n = 0;
  for (std::size_t i = 0; i < spec.required; ++i)
    if (!out[i]) missing[n++] = &spec.names[i];
  if (n == 0) return;
  raise_type_error(fmt::format("{} missing {} required positional {}: {}", spec.fname, n,
                               n == 1 ? "argument" : "arguments", quoted_list(missing, n)));
}

// Binds the positional arguments, clearing the rest.
void bind_positional(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
  if (static_cast<std::size_t>(nargs) > spec.count) too_many_positional(spec, nargs);
  for (std::size_t i = 0; i < spec.count; ++i)
    out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
}

}  // namespace

void bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nk; ++j) check_keyword_name(PyTuple_GET_ITEM(kwnames, j));
  bind_positional(spec, args, nargs, out);
  for (Py_ssize_t j = 0; j < nk; ++j)
    bind_keyword(spec, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out);
  check_missing(spec, nargs, out);
}

void bind_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  if (kwargs)
    while (PyDict_Next(kwargs, &pos, &key, &value)) check_keyword_name(key);
  bind_positional(spec, args ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs, out);
  pos = 0;
  if (kwargs)
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(spec, key, value, out);
  check_missing(spec, nargs, out);
}

// ---------------------------------------------------------------------------------------------
// Conversions.

void rethrow_wrapped(const char* argname) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrSet{};
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Ref cause = Ref::steal(value);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  Ref text = Ref::steal(cause ? PyObject_Str(cause.get()) : nullptr);
  if (!text) throw PyErrSet{};
  Ref msg = check(PyUnicode_FromFormat("argument '%s': %U", argname, text.get()));
  Ref exc = check(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
  PyException_SetCause(exc.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, exc.get());
  throw PyErrSet{};
}

std::string type_qualname(PyObject* obj) {
  Ref q = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!q) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  const char* s = PyUnicode_AsUTF8(q.get());
  if (!s) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return s;
}

void raise_downcast(PyObject* obj, const char* target) {
  raise_type_error(fmt::format("'{}' object cannot be converted to '{}'", type_qualname(obj), target));
}

long long raw_small_int(PyObject* o, long long lo, long long hi) {
  Ref idx = check(PyNumber_Index(o));
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
  // The module's C long is 32 bits wide.
  if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
    raise(PyExc_OverflowError, "Python int too large to convert to C long");
  if (v < lo || v > hi) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return v;
}

std::uint8_t raw_u8(PyObject* o) { return static_cast<std::uint8_t>(raw_small_int(o, 0, 255)); }
std::uint16_t raw_u16(PyObject* o) {
  return static_cast<std::uint16_t>(raw_small_int(o, 0, 65535));
}

std::int32_t raw_i32(PyObject* o) {
  return static_cast<std::int32_t>(raw_small_int(o, INT32_MIN, INT32_MAX));
}

std::uint64_t raw_u64(PyObject* o) {
  Ref idx = check(PyNumber_Index(o));
  unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
  return v;
}

std::uint32_t raw_u32(PyObject* o) {
  std::uint64_t v = raw_u64(o);
  if (v > 4294967295ULL) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<std::uint32_t>(v);
}

std::int64_t raw_i64(PyObject* o) {
  Ref idx = check(PyNumber_Index(o));
  long long v = PyLong_AsLongLong(idx.get());
  if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
  return v;
}

double raw_f64(PyObject* o) {
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
  return v;
}

std::string raw_str(PyObject* o) {
  if (!PyUnicode_Check(o)) raise_downcast(o, "PyString");
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (!s) throw PyErrSet{};
  return std::string(s, static_cast<std::size_t>(len));
}

bool raw_bool(PyObject* o) {
  if (!PyBool_Check(o)) raise_downcast(o, "PyBool");
  return o == Py_True;
}

// ---------------------------------------------------------------------------------------------
// Types.

int cell_traverse_dict(PyObject* o, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(reinterpret_cast<Cell<char>*>(o)->dict);
  return 0;
}

int cell_clear_dict(PyObject* o) {
  Py_CLEAR(reinterpret_cast<Cell<char>*>(o)->dict);
  return 0;
}

PyTypeObject* make_type(const char* name, ClassDef def, std::size_t basicsize,
                        destructor dealloc) {
  // Everything the type points at lives as long as the process.
  static std::deque<std::string> names;
  static std::deque<std::vector<PyMethodDef>> method_tables;
  static std::deque<std::vector<PyGetSetDef>> getset_tables;
  static std::deque<std::vector<PyType_Slot>> slot_tables;
  static std::deque<std::array<PyMemberDef, 2>> member_tables;
  names.push_back(std::string("builtins.") + name);

  std::vector<PyType_Slot> slots = std::move(def.slots);
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  const char* doc = def.constructor.fn ? def.constructor.doc : def.doc;
  slots.push_back({Py_tp_doc, const_cast<char*>(doc)});
  unsigned long flags = Py_TPFLAGS_DEFAULT;
  if (def.constructor.fn) {
    *def.constructor.spec = ArgSpec::parse(name, doc, "__new__");
    slots.push_back(slot(Py_tp_new, def.constructor.fn));
  } else {
    flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  }
  if (!def.methods.empty()) {
    std::vector<PyMethodDef>& table = method_tables.emplace_back();
    for (const MethodEntry& m : def.methods) {
      *m.spec = ArgSpec::parse(name, m.doc);
      const int flags = METH_FASTCALL | METH_KEYWORDS | (m.spec->is_static ? METH_STATIC : 0);
      table.push_back(PyMethodDef{m.spec->method.c_str(), m.fn, flags, m.doc});
    }
    table.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    slots.push_back({Py_tp_methods, table.data()});
  }
  if (def.instance_dict)
    def.getsets.push_back(
        PyGetSetDef{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
                    nullptr});
  if (!def.getsets.empty()) {
    def.getsets.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
    slots.push_back({Py_tp_getset, getset_tables.emplace_back(std::move(def.getsets)).data()});
  }
  if (def.sequence) flags |= Py_TPFLAGS_SEQUENCE;
  if (def.instance_dict) {
    flags |= Py_TPFLAGS_HAVE_GC;
    member_tables.push_back({
        PyMemberDef{const_cast<char*>("__dictoffset__"), T_PYSSIZET,
                    static_cast<Py_ssize_t>(offsetof(Cell<char>, dict)), READONLY, nullptr},
        PyMemberDef{nullptr, 0, 0, 0, nullptr},
    });
    slots.push_back({Py_tp_members, member_tables.back().data()});
    slots.push_back(slot(Py_tp_traverse, &cell_traverse_dict));
    slots.push_back(slot(Py_tp_clear, &cell_clear_dict));
  }
  slots.push_back({0, nullptr});
  slot_tables.push_back(std::move(slots));

  PyType_Spec ts{};
  ts.name = names.back().c_str();
  ts.basicsize = static_cast<int>(basicsize);
  ts.itemsize = 0;
  ts.flags = static_cast<unsigned int>(flags);
  ts.slots = slot_tables.back().data();
  PyObject* t = PyType_FromSpec(&ts);
  if (!t) throw PyErrSet{};
  return reinterpret_cast<PyTypeObject*>(t);
}

}  // namespace marrowfen::py
