// What the package's two CPython boundary files share: a reference owner, the
// binding of call arguments to parameters, the argument conversions, and the
// mapping of a decoder outcome to a Python exception.
//
// Both modules bind and convert by the same rules:
// - binding errors are TypeErrors worded as the interpreter words them for a
//   Python function ("f() missing 1 required positional argument: 'x'");
// - a conversion that fails with a TypeError is re-raised as
//   "argument 'name': <message>", caused by the original; other conversion
//   errors (OverflowError for a negative size) pass unchanged;
// - a frame that breaks the format is ValueError with the decoder's message;
// - memory the allocator refuses is MemoryError "memory allocation of N bytes
//   failed".
//
// Their messages still differ where the decoder module's are fixed to the
// letter (module.cpp): decode_frame's messages, exceptions and docstrings never
// change, so callers may match on them, while Screen is the package's own API
// and says what it means. So:
// - codec_data: decode_frame takes bytes alone ("'T' object cannot be
//   converted to 'PyBytes'"), Screen.apply any bytes-like object ("a
//   bytes-like object is required, not 'T'");
// - a picture whose byte size does not fit in 63 bits: decode_frame raises
//   PanicException "capacity overflow" (an internal fault, as it always has),
//   Screen() an OverflowError "a screen of WxH pixels is too large";
// - an internal fault is raised by the module's own rule, given as a
//   FaultRaiser: PanicException from decode_frame, RuntimeError "internal fault
//   of the screen: ..." from a Screen;
// - only Screen has settings (mode, pixel_format, scale, threads), refused
//   with ValueErrors of its own, and refuses a frame of the other mode.
//
// Built against the stable ABI: only functions of the limited API are used.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

#include "ast2100/frame.hpp"

namespace quorvel {

// Owns one strong reference.
class Ref {
 public:
  explicit Ref(PyObject* p = nullptr) noexcept : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset(PyObject* p) noexcept {
    Py_XDECREF(p_);
    p_ = p;
  }

 private:
  PyObject* p_;
};

// ---------------------------------------------------------------------------
// Binding

// A function's parameters as its callers see them: every parameter may be
// given by position or by keyword, the first `required` must be given.
struct Signature {
  const char* name;  // as messages show it: "decode_frame", "Screen", "Screen.apply"
  std::span<const char* const> params;
  size_t required;
  // Parameters after the first `positional` are keyword-only (as after a bare
  // `*` in Python); by default every parameter may be passed by position.
  size_t positional = SIZE_MAX;

  size_t max_positional() const noexcept { return positional < params.size() ? positional : params.size(); }
};

namespace detail {

inline const char* plural(size_t n, const char* one, const char* many) { return n == 1 ? one : many; }

inline bool too_many_positionals(const Signature& sig, Py_ssize_t nargs) {
  const size_t n = sig.max_positional();
  if (static_cast<size_t>(nargs) <= n) return false;
  const char* verb = nargs == 1 ? "was" : "were";
  if (sig.required == n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional %s but %zd %s given", sig.name, n,
                 plural(n, "argument", "arguments"), nargs, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given", sig.name,
                 sig.required, n, nargs, verb);
  }
  return true;
}

// Places the value of one keyword; false (with the error set) when the keyword
// names no parameter or one already given.
inline bool bind_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** bound) {
  if (PyUnicode_Check(keyword)) {
    for (size_t i = 0; i < sig.params.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(keyword, sig.params[i]) != 0) continue;
      if (bound[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[i]);
        return false;
      }
      bound[i] = value;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, keyword);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name, keyword);
  }
  return false;
}

// Reports the required parameters not given, if any: 'a'; 'a' and 'b';
// 'a', 'b', and 'c' (the interpreter's own wording).
inline bool missing_required(const Signature& sig, PyObject* const* bound) {
  size_t count = 0;
  for (size_t i = 0; i < sig.required; ++i) count += bound[i] == nullptr ? 1 : 0;
  if (count == 0) return false;
  Ref names(PyUnicode_FromString(""));
  size_t written = 0;
  for (size_t i = 0; i < sig.required && names; ++i) {
    if (bound[i] != nullptr) continue;
    const char* separator = written == 0 ? "" : count == 2 ? " and " : written + 1 == count ? ", and " : ", ";
    names.reset(PyUnicode_FromFormat("%U%s'%s'", names.get(), separator, sig.params[i]));
    ++written;
  }
  if (names) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %U", sig.name, count,
                 plural(count, "argument", "arguments"), names.get());
  }
  return true;
}

}  // namespace detail

// Binds a vector call's arguments into bound[0..params) (borrowed; null for a
// parameter not given). Errors are found in the interpreter's order: too many
// positionals, then each keyword in the order the call passes them, then the
// required parameters not given.
inline bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** bound) {
  if (detail::too_many_positionals(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    if (!detail::bind_keyword(sig, PyTuple_GetItem(kwnames, j), args[nargs + j], bound)) return false;
  }
  return !detail::missing_required(sig, bound);
}

// The same for a call made with a tuple and a dict (a type's constructor).
inline bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** bound) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0 || detail::too_many_positionals(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *keyword, *value;
    while (PyDict_Next(kwargs, &pos, &keyword, &value)) {  // in the order the call passed them
      if (!detail::bind_keyword(sig, keyword, value, bound)) return false;
    }
  }
  return !detail::missing_required(sig, bound);
}

// ---------------------------------------------------------------------------
// Conversions

// A conversion of argument `name` failed. A TypeError becomes a new TypeError
// "argument 'name': <message>" caused by the original; others pass unchanged.
inline void prefix_argument_error(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(raised);
    return;
  }
  Ref message(PyUnicode_FromFormat("argument '%s': %S", name, raised));
  Ref remapped(message ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr) : nullptr);
  if (!remapped) {
    Py_DECREF(raised);
    return;
  }
  PyException_SetCause(remapped.get(), raised);  // steals `raised`
  PyErr_SetRaisedException(remapped.release());
}

// codec_data of decode_frame: bytes or a subclass (no other buffer), read in
// place, never copied.
inline bool convert_codec_data(PyObject* obj, std::span<const uint8_t>& out) {
  if (PyBytes_CheckExact(obj) || PyType_IsSubtype(Py_TYPE(obj), &PyBytes_Type)) {
    const char* data = PyBytes_AsString(obj);
    const Py_ssize_t size = PyBytes_Size(obj);
    if (data == nullptr || size < 0) return false;
    out = {reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)};
    return true;
  }
  Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
  if (qualname) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyBytes'", qualname.get());
  }
  prefix_argument_error("codec_data");
  return false;
}

// A C-contiguous bytes-like object, held (not copied) for as long as this
// lives: bytes, bytearray, memoryview, array, a numpy array... While it is
// held a bytearray cannot be resized, so the memory stays valid; its contents
// can still be changed by another thread, which the caller must not do.
class BytesLike {
 public:
  BytesLike() noexcept = default;
  BytesLike(const BytesLike&) = delete;
  BytesLike& operator=(const BytesLike&) = delete;
  ~BytesLike() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Refuses what is not bytes-like with "argument 'name': a bytes-like object
  // is required, not 'T'"; a buffer that is not C-contiguous raises BufferError.
  bool convert(PyObject* obj, const char* name) {
    if (!PyObject_CheckBuffer(obj)) {
      Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
      if (qualname) {
        PyErr_Format(PyExc_TypeError, "argument '%s': a bytes-like object is required, not '%U'", name, qualname.get());
      }
      return false;
    }
    // Asking for strides lets any exporter answer; the layout is checked here,
    // so that every non-contiguous buffer is refused the same way.
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) return false;
    held_ = true;
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
      PyErr_Format(PyExc_BufferError, "argument '%s': the buffer is not C-contiguous", name);
      return false;
    }
    return true;
  }

  std::span<const uint8_t> bytes() const noexcept {
    return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// An unsigned 64-bit integer: an int as it is, anything else through __index__.
inline bool convert_u64(PyObject* obj, const char* name, uint64_t& out) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    Ref index(PyNumber_Index(obj));
    if (!index) {
      prefix_argument_error(name);
      return false;
    }
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  out = value;
  return true;
}

// ---------------------------------------------------------------------------
// Outcomes

// Raises MemoryError for a request of `bytes` bytes that could not be served.
inline PyObject* raise_no_memory(uint64_t bytes) {
  PyErr_Format(PyExc_MemoryError, "memory allocation of %llu bytes failed", static_cast<unsigned long long>(bytes));
  return nullptr;
}

// An allocation through the interpreter failed: its MemoryError gets the size.
inline PyObject* name_no_memory(uint64_t bytes) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    return raise_no_memory(bytes);
  }
  return nullptr;
}

// How a module raises an internal fault (not the frame's fault: ours).
using FaultRaiser = void (*)(const char* message);

// The one place where a decoder status becomes a Python exception.
inline PyObject* raise_status(const ast2100::Status& status, FaultRaiser raise_fault) {
  char text[64];
  status.message(text);
  if (status.internal_fault()) {
    raise_fault(text);
  } else {
    PyErr_SetString(PyExc_ValueError, text);
  }
  return nullptr;
}

}  // namespace quorvel
