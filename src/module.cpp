// The CPython boundary of the decoder: module `quorvel._ast2100`.
//
// Binds and converts the arguments of decode_frame with the exact messages its
// callers see, runs the decoder core straight into the result `bytes` object,
// and turns the core's status into a Python exception, by the rules shared with
// the Screen's module (pyboundary.hpp). It knows nothing of macroblocks.
//
// The module's interface is fixed to the letter: exactly three attributes
// (decoder_version, decode_frame, __all__), docstrings that are the bare
// signature and nothing more (the functions are documented in the package's
// stub file and README). PanicException is made here but is not one of the
// module's attributes: the package takes it from BaseException's subclasses.
#include <cstdint>
#include <cstdio>
#include <span>

#include "ast2100/frame.hpp"
#include "ast2100/picture.hpp"
#include "pyboundary.hpp"

namespace {

using quorvel::bind_arguments;
using quorvel::convert_codec_data;
using quorvel::convert_u64;
using quorvel::raise_no_memory;
using quorvel::Ref;
using quorvel::Signature;

// The decoder's own version, fixed text: it does not follow the package's
// version (pyproject.toml), which moves on with the rest of the package.
constexpr char kVersion[] = "quorvel._ast2100 1.0.1";
constexpr const char* kParams[3] = {"codec_data", "width", "height"};
constexpr Signature kDecodeFrame{"decode_frame", kParams, 3};
// What a bytes object needs beyond its contents (header and terminating NUL),
// rounded up: the stable ABI does not show the object's layout.
constexpr uint64_t kBytesHeadroom = 64;

// Process-wide state: the module object and the PanicException type, made
// when the module is first initialised in the main interpreter and kept for the
// process's life.
PyObject* g_module = nullptr;
PyObject* g_panic_exception = nullptr;

// Registered as quorvel.PanicException, where the package exposes it, so that
// a caught panic pickles (for instance back from a multiprocessing worker).
PyObject* make_panic_exception() {
  return PyErr_NewExceptionWithDoc("quorvel.PanicException",
                                   "An internal fault of the decoder (for example \"capacity overflow\": a\n"
                                   "picture whose byte size cannot be represented). It derives from\n"
                                   "BaseException, not Exception, so that `except Exception` does not swallow\n"
                                   "it; catch it by name: `except quorvel.PanicException`.",
                                   PyExc_BaseException, nullptr);
}

// Reports an internal fault on standard error and raises it as PanicException.
void raise_panic(const char* message) {
  std::fprintf(stderr, "quorvel._ast2100: internal fault: %s\n", message);
  std::fflush(stderr);
  PyErr_SetString(g_panic_exception, message);
}

PyObject* raise_status(const ast2100::Status& status) { return quorvel::raise_status(status, raise_panic); }

PyObject* decode_frame_impl(std::span<const uint8_t> codec_data, uint64_t width, uint64_t height) {
  // Capacity overflow is a byte size beyond 63 bits, on every CPU. Where Py_ssize_t
  // is narrower, a picture that fits in 63 bits but not in a bytes object is
  // refused below as MemoryError, before any length is converted to Py_ssize_t.
  ast2100::FrameDecoder decoder;
  const ast2100::Status setup =
      ast2100::FrameDecoder::setup(codec_data, width, height, ast2100::kMaxPictureBytes, decoder);
  if (!setup.ok()) return raise_status(setup);

  // The picture is decoded straight into the result. A frame that may draw every
  // macroblock gets an uninitialised bytes object, which the decoder fills
  // completely (zeroing what it does not draw), so each byte is written once. A
  // frame too short for that is sparse: bytes(n) makes its picture zeroed
  // through calloc, whose zero pages cost nothing until a macroblock touches
  // them. A size the allocator cannot serve is the caller's MemoryError, not the
  // end of the process.
  const uint64_t size = decoder.frame_bytes();
  if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX) - kBytesHeadroom) return raise_no_memory(size);
  const bool dense = decoder.may_draw_every_macroblock(codec_data.size());
  Ref result;
  if (dense) {
    result.reset(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  } else {
    Ref length(PyLong_FromUnsignedLongLong(size));
    if (!length) return nullptr;
    PyObject* argument = length.get();
    result.reset(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyBytes_Type), &argument, 1, nullptr));
  }
  if (!result) return quorvel::name_no_memory(size);
  auto* pixels = reinterpret_cast<uint8_t*>(PyBytes_AsString(result.get()));
  const std::span<uint8_t> picture{pixels, static_cast<size_t>(size)};

  const ast2100::Status status = dense ? decoder.run_fresh(picture) : decoder.run(picture);
  if (!status.ok()) return raise_status(status);
  return result.release();
}

PyObject* decode_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3] = {nullptr, nullptr, nullptr};
  if (!bind_arguments(kDecodeFrame, args, nargs, kwnames, bound)) return nullptr;
  std::span<const uint8_t> codec_data;
  uint64_t width = 0;
  uint64_t height = 0;
  if (!convert_codec_data(bound[0], codec_data)) return nullptr;
  if (!convert_u64(bound[1], kParams[1], width)) return nullptr;
  if (!convert_u64(bound[2], kParams[2], height)) return nullptr;
  return decode_frame_impl(codec_data, width, height);
}

PyObject* decoder_version(PyObject*, PyObject*) { return PyUnicode_FromStringAndSize(kVersion, sizeof(kVersion) - 1); }

PyMethodDef g_decoder_version_def = {"decoder_version", decoder_version, METH_NOARGS, "decoder_version()\n--\n\n"};
PyMethodDef g_decode_frame_def = {"decode_frame",
                                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_frame)),
                                  METH_FASTCALL | METH_KEYWORDS, "decode_frame(codec_data, width, height)\n--\n\n"};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_ast2100", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Adds a function the way the module's attributes are laid out: create the
// function bound to the module, append its __name__ to __all__ (made on first
// use) and set the attribute of that name.
bool add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref function(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) return false;
  Ref name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return false;
  }
  return PyList_Append(all.get(), name.get()) == 0 && PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__ast2100(void) {
  // The module keeps process-wide state (its object and the exception type), so
  // it lives in exactly one interpreter, the main one. Binding it to whichever
  // interpreter came first would let a sub-interpreter claim it for good, even
  // one whose own import then fails (CPython refuses single-phase modules in
  // isolated sub-interpreters only after this function has run).
  // Interpreters are told apart by their IDs (the main one's is 0): a state's
  // address can be reused by a later interpreter.
  const int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter_id == -1) return nullptr;
  if (interpreter_id != 0) {
    PyErr_SetString(PyExc_ImportError,
                    "quorvel._ast2100 does not support sub-interpreters: it can only be used from "
                    "the main interpreter");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  if (g_panic_exception == nullptr) {
    g_panic_exception = make_panic_exception();
    if (g_panic_exception == nullptr) return nullptr;
  }
  Ref module(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  if (!add_function(module.get(), &g_decoder_version_def) || !add_function(module.get(), &g_decode_frame_def)) {
    return nullptr;
  }
  g_module = Py_NewRef(module.get());
  return module.release();
}
