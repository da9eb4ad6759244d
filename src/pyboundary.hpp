// Helpers shared by the package's CPython boundary files: a reference owner and
// the argument conversions whose messages callers see (decode_frame's rules,
// which Screen follows too).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

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

// codec_data: bytes or a subclass (no other buffer), read in place, never copied.
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

}  // namespace quorvel
