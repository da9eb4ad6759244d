// The CPython boundary of the live screen: module `quorvel._screen`, type Screen.
//
// A Screen keeps one picture and draws frames onto it with the decoder core
// (ast2100::Screen). apply() releases the interpreter's lock while it decodes;
// each screen has a mutex of its own, so calls on one screen take turns and
// calls on different screens run in parallel. The mutex is only ever waited
// for with the interpreter's lock released, so the two locks cannot deadlock.
//
// The picture is exported read-only through the buffer protocol, shape
// (height, width, pixel bytes), (height, width) for grey, or one dimension of
// bytes for the planar formats (planes() shapes each plane), without copying. It never moves or changes size, so a view
// stays valid for as long as it lives (it keeps the screen alive). A view sees
// the pixels as they are drawn: read it between frames, or use to_bytes(),
// which copies under the screen's mutex.
//
// Arguments, frame failures and memory follow the rules shared with
// decode_frame (pyboundary.hpp). Screen is the package's own API, so an
// internal fault is an ordinary RuntimeError here, not PanicException.
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <vector>

#include "ast2100/picture.hpp"
#include "ast2100/screen.hpp"
#include "pyboundary.hpp"

namespace {

using quorvel::bind_arguments;
using quorvel::convert_u64;
using quorvel::prefix_argument_error;
using quorvel::raise_no_memory;
using quorvel::Ref;
using quorvel::Signature;

constexpr const char* kScreenParams[] = {"width", "height", "mode", "pixel_format", "scale", "threads"};
constexpr Signature kScreenNew{"Screen", kScreenParams, 2, 3};  // pixel_format, scale and threads: keyword-only

// The pixel formats by the names Screen() takes, in the order messages list them.
struct FormatName {
  const char* name;
  ast2100::PixelFormat format;
};
constexpr FormatName kFormatNames[] = {
    {"RGB", ast2100::PixelFormat::rgb},   {"BGR", ast2100::PixelFormat::bgr},   {"RGBX", ast2100::PixelFormat::rgbx},
    {"BGRX", ast2100::PixelFormat::bgrx}, {"XRGB", ast2100::PixelFormat::xrgb}, {"XBGR", ast2100::PixelFormat::xbgr},
    {"GRAY", ast2100::PixelFormat::gray}, {"I420", ast2100::PixelFormat::i420}, {"I444", ast2100::PixelFormat::i444},
};

const char* format_name(ast2100::PixelFormat format) {
  for (const FormatName& f : kFormatNames) {
    if (f.format == format) return f.name;
  }
  return "?";
}
constexpr const char* kApplyParams[] = {"codec_data"};
constexpr Signature kApply{"Screen.apply", kApplyParams, 1};

struct State {
  State(uint64_t width, uint64_t height, uint32_t mode, ast2100::PixelFormat format, uint32_t scale) noexcept
      : screen(width, height, mode, format, scale) {}
  std::mutex lock;  // held for every apply and every copy of the picture
  ast2100::Screen screen;
};

// The State lives inside the Python object, constructed by screen_new right
// after the object is allocated and destroyed by screen_dealloc.
struct ScreenObject {
  PyObject_HEAD
  alignas(State) unsigned char storage[sizeof(State)];
  Py_ssize_t shape[3];
  Py_ssize_t strides[3];
  int ndim;  // 2 for grey, else 3

  State& state() noexcept { return *std::launder(reinterpret_cast<State*>(storage)); }
};

ScreenObject* as_screen(PyObject* self) { return reinterpret_cast<ScreenObject*>(self); }
State& state_of(PyObject* self) { return as_screen(self)->state(); }

// Any byte of a picture with no bytes: a view's buffer is never null.
uint8_t g_empty_picture = 0;

void raise_internal_fault(const char* message) {
  PyErr_Format(PyExc_RuntimeError, "internal fault of the screen: %s", message);
}

// An integer argument that must be one of a few values (`valid` says which):
// false with a TypeError (prefixed with the argument's name) for a
// non-integer, or a ValueError "<expected>, not <obj>" for another integer.
template <class Valid>
bool convert_choice(PyObject* obj, const char* name, Valid valid, const char* expected, long long& out) {
  Ref index(PyNumber_Index(obj));
  if (!index) {
    prefix_argument_error(name);
    return false;
  }
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (out == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || !valid(out)) {
    PyErr_Format(PyExc_ValueError, "%s, not %R", expected, obj);
    return false;
  }
  return true;
}

bool convert_mode(PyObject* obj, uint32_t& out) {
  out = 0;
  if (obj == Py_None) return true;
  long long value = 0;
  auto valid = [](long long v) { return v == ast2100::kMode422 || v == ast2100::kMode444; };
  if (!convert_choice(obj, "mode", valid, "mode must be 422, 444 or None", value)) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool convert_format(PyObject* obj, ast2100::PixelFormat& out) {
  if (obj == nullptr) {
    out = ast2100::PixelFormat::rgb;
    return true;
  }
  if (!PyUnicode_Check(obj)) {
    Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
    if (qualname) PyErr_Format(PyExc_TypeError, "argument 'pixel_format': must be str, not '%U'", qualname.get());
    return false;
  }
  for (const FormatName& f : kFormatNames) {
    if (PyUnicode_CompareWithASCIIString(obj, f.name) == 0) {
      out = f.format;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError,
               "pixel_format must be one of 'RGB', 'BGR', 'RGBX', 'BGRX', 'XRGB', 'XBGR', 'GRAY', 'I420' or 'I444', "
               "not %R",
               obj);
  return false;
}

bool convert_scale(PyObject* obj, uint32_t& out) {
  out = 1;
  if (obj == nullptr) return true;
  long long value = 0;
  auto valid = [](long long v) { return v > 0 && ast2100::valid_scale(static_cast<uint64_t>(v)); };
  if (!convert_choice(obj, "scale", valid, "scale must be 1, 2, 4 or 8", value)) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

// threads: None (automatic), 1 or 2.
bool convert_threads(PyObject* obj, ast2100::Threads& out) {
  out = ast2100::Threads::automatic;
  if (obj == Py_None) return true;
  long long value = 0;
  auto valid = [](long long v) { return v == 1 || v == 2; };
  if (!convert_choice(obj, "threads", valid, "threads must be 1, 2 or None", value)) return false;
  out = value == 1 ? ast2100::Threads::one : ast2100::Threads::two;
  return true;
}

PyObject* threads_object(ast2100::Threads threads) {
  switch (threads) {
    case ast2100::Threads::automatic:
      break;
    case ast2100::Threads::one:
      return PyLong_FromLong(1);
    case ast2100::Threads::two:
      return PyLong_FromLong(2);
  }
  Py_RETURN_NONE;
}

// What Screen() is given, converted.
struct ScreenArgs {
  uint64_t width = 0;
  uint64_t height = 0;
  uint32_t mode = 0;
  ast2100::PixelFormat format = ast2100::PixelFormat::rgb;
  uint32_t scale = 1;
  ast2100::Threads threads = ast2100::Threads::automatic;
};

// The largest buffer a Python view can describe: Py_ssize_t's range. On a 64-bit
// CPU that is the 63-bit bound of every picture; on a 32-bit CPU 2^31 - 1 bytes.
constexpr auto kMaxBufferBytes = static_cast<uint64_t>(PY_SSIZE_T_MAX);

PyObject* screen_new_impl(PyTypeObject* type, const ScreenArgs& args) {
  // The picture must be one buffer a Python view can describe. Beyond 63 bits
  // its size is an OverflowError on every CPU; where Py_ssize_t is narrower, a
  // size between is memory that cannot be had, as it is on a 64-bit CPU.
  // The frames' full size must fit as well as the thumbnail's: the decoder
  // walks the full picture's macroblocks.
  const std::optional<uint64_t> drawn =
      ast2100::drawn_picture_bytes(args.width, args.height, args.format, args.scale, ast2100::kMaxPictureBytes);
  if (!drawn) {
    PyErr_Format(PyExc_OverflowError, "a screen of %llux%llu pixels is too large",
                 static_cast<unsigned long long>(args.width), static_cast<unsigned long long>(args.height));
    return nullptr;
  }
  const uint64_t bytes = *drawn;  // no more than the full size
  const uint64_t picture_width = ast2100::ceil_div(args.width, args.scale);
  const uint64_t picture_height = ast2100::ceil_div(args.height, args.scale);
  const uint64_t pixel = ast2100::bytes_per_pixel(args.format);
  if (bytes > kMaxBufferBytes) return raise_no_memory(bytes);

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref self(alloc(type, 0));
  if (!self) return nullptr;
  ScreenObject* screen = as_screen(self.get());
  State& state = *std::construct_at(reinterpret_cast<State*>(screen->storage), args.width, args.height, args.mode,
                                    args.format, args.scale);
  state.screen.set_threads(args.threads);
  // (height, width, pixel bytes), or (height, width) for grey, in the
  // thumbnail's pixels at a scale; the planar formats' planes one after
  // another, as bytes.
  const bool planar = ast2100::is_planar(args.format);
  screen->ndim = planar ? 1 : pixel == 1 ? 2 : 3;
  if (planar) {
    screen->shape[0] = static_cast<Py_ssize_t>(bytes);
    screen->strides[0] = 1;
  } else {
    screen->shape[0] = static_cast<Py_ssize_t>(picture_height);
    screen->shape[1] = static_cast<Py_ssize_t>(picture_width);
    screen->shape[2] = static_cast<Py_ssize_t>(pixel);
    screen->strides[0] = static_cast<Py_ssize_t>(picture_width * pixel);
    screen->strides[1] = static_cast<Py_ssize_t>(pixel);
    screen->strides[2] = 1;
  }
  // The picture and its journal, each `bytes` long, are the allocations that
  // can fail; the rest is a small fraction of them.
  if (!state.screen.allocate(kMaxBufferBytes)) return raise_no_memory(bytes);
  return self.release();
}

PyObject* screen_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  if (!bind_arguments(kScreenNew, args, kwargs, bound)) return nullptr;
  ScreenArgs converted;
  if (!convert_u64(bound[0], "width", converted.width) || !convert_u64(bound[1], "height", converted.height) ||
      !convert_mode(bound[2] != nullptr ? bound[2] : Py_None, converted.mode) ||
      !convert_format(bound[3], converted.format) || !convert_scale(bound[4], converted.scale) ||
      !convert_threads(bound[5] != nullptr ? bound[5] : Py_None, converted.threads)) {
    return nullptr;
  }
  return screen_new_impl(type, converted);
}

void screen_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&state_of(self));
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* rect_list(const std::vector<ast2100::Rect>& rects) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(rects.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < rects.size(); ++i) {
    const ast2100::Rect& r = rects[i];
    Ref item(PyTuple_New(4));
    if (!item) return nullptr;
    const uint64_t fields[4] = {r.x, r.y, r.w, r.h};
    for (Py_ssize_t k = 0; k < 4; ++k) {
      PyObject* value = PyLong_FromUnsignedLongLong(fields[k]);
      if (value == nullptr) return nullptr;
      if (PyTuple_SetItem(item.get(), k, value) < 0) return nullptr;  // steals `value`
    }
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) return nullptr;
  }
  return list.release();
}

// `changed` is the list that failed to grow, as std::vector grows: doubling.
PyObject* raise_result(const ast2100::ApplyResult& result, uint32_t screen_mode,
                       const std::vector<ast2100::Rect>& changed) {
  using Kind = ast2100::ApplyResult::Kind;
  switch (result.kind) {
    case Kind::applied:
      break;
    case Kind::frame_failed:
      // The screen's own size always fits, so the set-up's size check cannot
      // fail here: an internal fault would be ours.
      return quorvel::raise_status(result.status, raise_internal_fault);
    case Kind::wrong_mode:
      PyErr_Format(PyExc_ValueError, "frame mode %u does not match the screen's mode %u",
                   static_cast<unsigned>(result.frame_mode), static_cast<unsigned>(screen_mode));
      return nullptr;
    case Kind::no_memory: {
      const uint64_t capacity = changed.capacity() == 0 ? 1 : 2 * uint64_t{changed.capacity()};
      return raise_no_memory(capacity * sizeof(ast2100::Rect));
    }
  }
  raise_internal_fault("unexpected outcome of apply");
  return nullptr;
}

PyObject* screen_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1] = {nullptr};
  if (!bind_arguments(kApply, args, nargs, kwnames, bound)) return nullptr;
  // Held, not copied, until the call returns: the decoder reads it without the
  // GIL. A caller that changes it meanwhile gets unspecified pixels.
  quorvel::BytesLike codec_data;
  if (!codec_data.convert(bound[0], "codec_data")) return nullptr;

  State& state = state_of(self);
  std::vector<ast2100::Rect> changed;
  ast2100::ApplyResult result;
  Py_BEGIN_ALLOW_THREADS
  {
    const std::lock_guard<std::mutex> guard(state.lock);
    result = state.screen.apply(codec_data.bytes(), changed);
  }
  Py_END_ALLOW_THREADS
  if (!result.ok()) return raise_result(result, state.screen.mode(), changed);
  return rect_list(changed);
}

// A copy of the picture as bytes (with `whole`, of the screen's state()), with
// the frame count that goes with it: both taken under the screen's mutex,
// between frames.
PyObject* copy_picture(State& state, uint64_t& frames, bool whole = false) {
  const std::span<const uint8_t> pixels = whole ? state.screen.state() : state.screen.pixels();
  Ref result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pixels.size())));
  if (!result) return quorvel::name_no_memory(pixels.size());
  char* out = PyBytes_AsString(result.get());
  Py_BEGIN_ALLOW_THREADS
  {
    const std::lock_guard<std::mutex> guard(state.lock);
    if (!pixels.empty()) std::memcpy(out, pixels.data(), pixels.size());
    frames = state.screen.frames_applied();
  }
  Py_END_ALLOW_THREADS
  return result.release();
}

PyObject* screen_to_bytes(PyObject* self, PyObject*) {
  uint64_t frames = 0;
  return copy_picture(state_of(self), frames);
}

// Pickling and copying. A screen is saved as a call of the module's private
// _restore(version, state): pixels change only through apply(), so there is
// no public way to set them. State format 1 is the tuple
//   (width, height, mode, pixels, frames_applied, settings)
// (pixels: the screen's state(), for I420 the picture followed by the I444
// picture it is derived from), where settings is a dict of the keyword arguments of Screen() beyond the
// first three, {"pixel_format": name, "scale": n, "threads": 1 or 2}, each
// left out at its default (RGB, 1, None) so that older readers of the format
// still take such a screen; a setting that Screen() gains is saved there, and
// a change to the
// tuple itself takes a new version.
constexpr unsigned long kStateVersion = 1;
constexpr Py_ssize_t kStateItems = 6;

PyObject* screen_reduce(PyObject* self, PyObject*) {
  State& state = state_of(self);
  const ast2100::Screen& screen = state.screen;
  Ref restore(PyObject_GetAttrString(PyType_GetModule(Py_TYPE(self)), "_restore"));
  if (!restore) return nullptr;
  uint64_t frames = 0;
  Ref picture(copy_picture(state, frames, true));
  if (!picture) return nullptr;
  Ref mode(screen.mode() == 0 ? Py_NewRef(Py_None) : PyLong_FromUnsignedLong(screen.mode()));
  Ref settings(PyDict_New());
  if (!mode || !settings) return nullptr;
  if (screen.format() != ast2100::PixelFormat::rgb) {
    Ref name(PyUnicode_FromString(format_name(screen.format())));
    if (!name || PyDict_SetItemString(settings.get(), "pixel_format", name.get()) < 0) return nullptr;
  }
  if (screen.scale() != 1) {
    Ref scale(PyLong_FromUnsignedLong(screen.scale()));
    if (!scale || PyDict_SetItemString(settings.get(), "scale", scale.get()) < 0) return nullptr;
  }
  if (screen.threads() != ast2100::Threads::automatic) {
    Ref threads(threads_object(screen.threads()));
    if (!threads || PyDict_SetItemString(settings.get(), "threads", threads.get()) < 0) return nullptr;
  }
  return Py_BuildValue("O(k(KKOOKO))", restore.get(), kStateVersion, static_cast<unsigned long long>(screen.width()),
                       static_cast<unsigned long long>(screen.height()), mode.get(), picture.get(),
                       static_cast<unsigned long long>(frames), settings.get());
}

constexpr const char* kRestoreParams[] = {"version", "state"};
constexpr Signature kRestore{"_restore", kRestoreParams, 2};

PyObject* restore_screen(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2] = {nullptr, nullptr};
  if (!bind_arguments(kRestore, args, nargs, kwnames, bound)) return nullptr;
  uint64_t version = 0;
  if (!convert_u64(bound[0], "version", version)) return nullptr;
  if (version != kStateVersion) {
    PyErr_Format(PyExc_ValueError, "cannot restore a Screen saved in state format %llu (this version reads format %lu)",
                 static_cast<unsigned long long>(version), kStateVersion);
    return nullptr;
  }
  PyObject* items = bound[1];
  if (!PyTuple_Check(items) || PyTuple_Size(items) != kStateItems || !PyDict_Check(PyTuple_GetItem(items, 5))) {
    PyErr_SetString(PyExc_ValueError,
                    "a Screen's state is a tuple (width, height, mode, pixels, frames_applied, "
                    "settings), settings a dict");
    return nullptr;
  }
  // Screen() checks the size, the mode and the settings as it always does.
  Ref type(PyObject_GetAttrString(module, "Screen"));
  if (!type) return nullptr;
  Ref arguments(PyTuple_GetSlice(items, 0, 3));
  if (!arguments) return nullptr;
  Ref self(PyObject_Call(type.get(), arguments.get(), PyTuple_GetItem(items, 5)));
  if (!self) return nullptr;
  if (!PyObject_TypeCheck(self.get(), reinterpret_cast<PyTypeObject*>(type.get()))) {
    PyErr_SetString(PyExc_TypeError, "quorvel._screen.Screen is not the Screen type");
    return nullptr;
  }
  quorvel::BytesLike pixels;
  uint64_t frames = 0;
  if (!pixels.convert(PyTuple_GetItem(items, 3), "pixels") ||
      !convert_u64(PyTuple_GetItem(items, 4), "frames_applied", frames)) {
    return nullptr;
  }
  // The new screen is not shared yet: no lock to take. Its pixels are a copy.
  ast2100::Screen& screen = state_of(self.get()).screen;
  if (!screen.restore(pixels.bytes(), frames)) {
    PyErr_Format(PyExc_ValueError, "a %llux%llu Screen has %zu bytes of pixels, not %zu",
                 static_cast<unsigned long long>(screen.width()), static_cast<unsigned long long>(screen.height()),
                 screen.state().size(), pixels.bytes().size());
    return nullptr;
  }
  return self.release();
}

PyObject* screen_repr(PyObject* self) {
  const ast2100::Screen& screen = state_of(self).screen;
  const unsigned long long w = screen.width(), h = screen.height(), n = screen.frames_applied();
  // The scale and the format are shown when they are not the defaults.
  Ref size(screen.scale() == 1
               ? PyUnicode_FromFormat("%llux%llu", w, h)
               : PyUnicode_FromFormat("%llux%llu at 1/%u", w, h, static_cast<unsigned>(screen.scale())));
  if (!size) return nullptr;
  const bool rgb = screen.format() == ast2100::PixelFormat::rgb;
  const char* format = rgb ? "" : format_name(screen.format());
  const char* space = rgb ? "" : " ";
  if (screen.mode() == 0) {
    return PyUnicode_FromFormat("<quorvel.Screen %U%s%s, %llu frames applied>", size.get(), space, format, n);
  }
  return PyUnicode_FromFormat("<quorvel.Screen %U mode %u%s%s, %llu frames applied>", size.get(),
                              static_cast<unsigned>(screen.mode()), space, format, n);
}

PyObject* get_width(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(state_of(self).screen.width()); }

PyObject* get_height(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(state_of(self).screen.height()); }

PyObject* get_mode(PyObject* self, void*) {
  const uint32_t mode = state_of(self).screen.mode();
  if (mode == 0) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(mode);
}

PyObject* get_pixel_format(PyObject* self, void*) {
  return PyUnicode_FromString(format_name(state_of(self).screen.format()));
}

PyObject* get_scale(PyObject* self, void*) { return PyLong_FromUnsignedLong(state_of(self).screen.scale()); }

PyObject* get_threads(PyObject* self, void*) { return threads_object(state_of(self).screen.threads()); }

PyObject* get_frames_applied(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(state_of(self).screen.frames_applied());
}

// The picture's planes as read-only 2-D memoryviews of the screen's own
// buffer (slices of memoryview(self), so each keeps the screen alive): Y, Cb
// and Cr for the planar formats, or the one view memoryview(self) gives.
PyObject* screen_planes(PyObject* self, PyObject*) {
  const ast2100::Screen& screen = state_of(self).screen;
  Ref whole(PyMemoryView_FromObject(self));
  if (!whole) return nullptr;
  if (!ast2100::is_planar(screen.format())) return PyTuple_Pack(1, whole.get());
  const uint64_t w = screen.picture_width(), h = screen.picture_height();
  const bool half = screen.format() == ast2100::PixelFormat::i420;
  const uint64_t cw = half ? ast2100::ceil_div(w, 2) : w, ch = half ? ast2100::ceil_div(h, 2) : h;
  const uint64_t sizes[3][2] = {{h, w}, {ch, cw}, {ch, cw}};
  Ref planes(PyTuple_New(3));
  if (!planes) return nullptr;
  uint64_t start = 0;  // all within the picture, whose size fits Py_ssize_t
  for (Py_ssize_t p = 0; p < 3; ++p) {
    const uint64_t end = start + sizes[p][0] * sizes[p][1];
    Ref first(PyLong_FromUnsignedLongLong(start)), last(PyLong_FromUnsignedLongLong(end));
    if (!first || !last) return nullptr;
    Ref range(PySlice_New(first.get(), last.get(), nullptr));
    if (!range) return nullptr;
    Ref part(PyObject_GetItem(whole.get(), range.get()));
    if (!part) return nullptr;
    // memoryview cannot cast to a shape with a zero in it: a plane with no
    // bytes stays the empty one-dimensional slice.
    Ref plane(end == start
                  ? Py_NewRef(part.get())
                  : PyObject_CallMethod(part.get(), "cast", "s(KK)", "B", static_cast<unsigned long long>(sizes[p][0]),
                                        static_cast<unsigned long long>(sizes[p][1])));
    if (!plane) return nullptr;
    if (PyTuple_SetItem(planes.get(), p, plane.release()) < 0) return nullptr;  // steals the plane
    start = end;
  }
  return planes.release();
}

int screen_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "a Screen's picture is read-only: it changes only through apply()");
    view->obj = nullptr;
    return -1;
  }
  ScreenObject* screen = as_screen(self);
  const std::span<const uint8_t> pixels = screen->state().screen.pixels();
  // The buffer protocol has no const; the flags above keep consumers from writing.
  view->buf = pixels.empty() ? &g_empty_picture : const_cast<uint8_t*>(pixels.data());
  view->obj = Py_NewRef(self);
  view->len = static_cast<Py_ssize_t>(pixels.size());
  view->readonly = 1;
  view->itemsize = 1;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("B") : nullptr;
  // C-contiguous: a consumer that asks for no shape sees plain bytes, one that
  // asks for no strides may assume them.
  const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
  view->ndim = nd ? screen->ndim : 1;
  view->shape = nd ? screen->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? screen->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyMethodDef g_methods[] = {
    {"apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(screen_apply)), METH_FASTCALL | METH_KEYWORDS,
     "apply($self, /, codec_data)\n--\n\n"
     "Draws one frame onto the picture and returns the areas it drew, as\n"
     "(x, y, w, h) rectangles in the picture's pixels (a thumbnail's at a\n"
     "scale): clipped to the picture, top to bottom, neighbouring macroblocks\n"
     "of a row joined. A frame that fails raises\n"
     "ValueError (with the messages of decode_frame, or a mode mismatch) and\n"
     "leaves the picture exactly as it was.\n\n"
     "codec_data is any C-contiguous bytes-like object (bytes, bytearray, a\n"
     "memoryview slice, ...), read in place without copying; a non-contiguous\n"
     "buffer raises BufferError. The GIL is released while decoding: do not\n"
     "change the buffer during the call (the picture would get unspecified\n"
     "pixels)."},
    {"to_bytes", screen_to_bytes, METH_NOARGS,
     "to_bytes($self, /)\n--\n\n"
     "A copy of the picture in its pixel format: pixel size bytes a pixel (3 for\n"
     "RGB and BGR, 4 for the X formats, 1 for GRAY), rows top to bottom, no\n"
     "padding between rows; as many pixels as the buffer's shape (the\n"
     "thumbnail's at a scale). For 'I420' and 'I444' the Y plane, then Cb,\n"
     "then Cr, each rows top to bottom with no padding (FFmpeg's yuv420p and\n"
     "yuv444p): the same bytes as the buffer."},
    {"planes", screen_planes, METH_NOARGS,
     "planes($self, /)\n--\n\n"
     "The picture's planes as read-only 2-D memoryviews of its own buffer, no\n"
     "copy: for 'I420' and 'I444' a tuple (Y, Cb, Cr) of shapes (height, width)\n"
     "and (ceil(height / 2), ceil(width / 2)) or (height, width), in the\n"
     "thumbnail's pixels at a scale (a plane with no bytes is an empty\n"
     "one-dimensional view); for the other formats a tuple of the one view\n"
     "memoryview(screen) gives."},
    {"__reduce__", screen_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "For pickle, copy.copy and copy.deepcopy: the size, mode, pixel format,\n"
     "scale, threads, picture and frames_applied, taken together between\n"
     "frames. A copy has pixels of its own."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"width", get_width, nullptr, "The frames' width in pixels (the thumbnail's is ceil(width / scale)).", nullptr},
    {"height", get_height, nullptr, "The frames' height in pixels (the thumbnail's is ceil(height / scale)).", nullptr},
    {"scale", get_scale, nullptr, "1, or 2, 4 or 8 for a thumbnail: one pixel per scale x scale square.", nullptr},
    {"mode", get_mode, nullptr, "422 or 444: the only mode of frame accepted; None: either.", nullptr},
    {"pixel_format", get_pixel_format, nullptr,
     "The picture's pixel format: 'RGB', 'BGR', 'RGBX', 'BGRX', 'XRGB', 'XBGR', 'GRAY', 'I420' or 'I444'.", nullptr},
    {"frames_applied", get_frames_applied, nullptr, "Frames drawn successfully so far.", nullptr},
    {"threads", get_threads, nullptr, "None (automatic), 1 or 2: the threads that draw a frame.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_screen_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Screen(width, height, mode=None, *, pixel_format='RGB', scale=1, threads=None)\n--\n\n"
                       "A picture kept across frames, as a remote-console client shows it.\n\n"
                       "Starts black. Each apply() draws a frame over what the frames before it\n"
                       "left; the picture is read through the buffer protocol (read-only, no\n"
                       "copy) or with to_bytes(). With a mode, frames of the other mode are\n"
                       "refused.\n\n"
                       "pixel_format lays the picture out for its consumer: 'RGB' or 'BGR'\n"
                       "(shape (height, width, 3)), 'RGBX', 'BGRX', 'XRGB' or 'XBGR' (shape\n"
                       "(height, width, 4), the X byte always 255) or 'GRAY' (shape (height,\n"
                       "width): the luma term of the colour conversion alone). Every format\n"
                       "holds exactly the RGB picture's values, rearranged.\n\n"
                       "'I420' and 'I444' hold the decoder's own Y, Cb and Cr samples before\n"
                       "the colour conversion (black is Y 16, Cb and Cr 128), as three planes\n"
                       "with no padding (FFmpeg's yuv420p and yuv444p), for video encoders:\n"
                       "the buffer is then one-dimensional bytes and planes() gives each plane\n"
                       "as a 2-D view. The conversion of 'I444' gives the RGB picture byte for\n"
                       "byte; 'I420' chroma is the rounded mean of each 2x2 of 'I444' (of the\n"
                       "samples that exist at an odd edge), exact for mode 422 frames.\n"
                       "Rectangles stay in (luma) pixels.\n\n"
                       "With scale 2, 4 or 8 the picture is a thumbnail of ceil(width / scale)\n"
                       "x ceil(height / scale) pixels, each the mean of a scale x scale square\n"
                       "of the frames (width and height stay the frames' size; the buffer's\n"
                       "shape is the thumbnail's; in the planar formats the means of Y, Cb and\n"
                       "Cr, which the other formats convert). For a wall of consoles: on one\n"
                       "thread, over real 1920x1072 and 1024x768 frames of both modes, a whole\n"
                       "frame at 1/2, 1/4 and 1/8 takes 0.87, 0.77 and 0.56 of the CPU time of\n"
                       "the same frame at full size (geometric means; at most 0.99, 0.91 and\n"
                       "0.65 a frame): the stream is decoded whole, only the drawing shrinks.\n\n"
                       "apply() releases the GIL; calls on one screen take turns. A view shows\n"
                       "the pixels as they are drawn, while to_bytes() waits for a running\n"
                       "apply() to end.\n\n"
                       "threads: how apply() draws a frame. None (automatic): large frames on\n"
                       "two threads, the calling one reading the frame and a worker of the\n"
                       "screen's drawing it, when the process may use two CPUs or more; small\n"
                       "frames, and the next frames after one where two threads did not pay\n"
                       "(another program busy on the other CPU), on the calling thread alone.\n"
                       "1: always the calling thread alone. 2: always two threads, however small\n"
                       "the frame (for tests and measurements). The worker starts with the first\n"
                       "frame drawn on two threads and ends with the screen. The pixels, the\n"
                       "rectangles and the errors are the same whatever the setting.\n\n"
                       "Arguments and frames fail as decode_frame's do (TypeError, OverflowError,\n"
                       "ValueError, MemoryError \"memory allocation of N bytes failed\"); an\n"
                       "internal fault is RuntimeError. A screen pickles and copies (pickle,\n"
                       "copy.copy, copy.deepcopy): size, mode, pixel format, scale, threads,\n"
                       "picture and frames_applied, taken between frames; a copy has pixels of its own.")},
    {Py_tp_new, reinterpret_cast<void*>(screen_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(screen_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(screen_repr)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(screen_getbuffer)},
    {0, nullptr},
};

PyType_Spec g_screen_spec = {
    "quorvel.Screen", sizeof(ScreenObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_screen_slots,
};

int module_exec(PyObject* module) {
  Ref type(PyType_FromModuleAndSpec(module, &g_screen_spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "Screen", type.get());
}

PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // No process-wide state: every interpreter gets its own module and type.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyMethodDef g_module_methods[] = {
    {"_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restore_screen)),
     METH_FASTCALL | METH_KEYWORDS,
     "_restore($module, /, version, state)\n--\n\n"
     "Remakes a pickled or copied Screen (see Screen.__reduce__); not for direct use."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_screen",
    "A picture kept across frames: the Screen type.",
    0,
    g_module_methods,
    g_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__screen(void) { return PyModuleDef_Init(&g_module_def); }
