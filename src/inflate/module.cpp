// tavrinex._inflate: one zip member inflated on a native thread, read as a
// binary file. The reader waits for the thread with the interpreter lock
// released, so the parser that consumes the bytes and the inflater run on
// two cores.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "inflate/inflate.h"
#include "lib/pyref.h"

namespace tvx::inflate {

namespace {

struct ModuleState {
    PyTypeObject* reader_type;
    PyObject* inflate_error;
};

struct ReaderObject {
    PyObject_HEAD
    std::shared_ptr<Stream> stream;  // null once closed
    std::uint64_t expected;
    std::uint64_t limit;
    // A read waiting without the interpreter lock must not meet another.
    std::atomic<bool> reading;
};

ModuleState* state_of(PyObject* self) {
    return static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
}

template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& ex) {
        PyErr_SetString(PyExc_RuntimeError, ex.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown internal failure");
        return nullptr;
    }
}

PyObject* closed_error() {
    PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
    return nullptr;
}

const char* fault_kind(Fault fault) {
    switch (fault) {
        case Fault::truncated: return "truncated";
        case Fault::unterminated: return "unterminated";
        case Fault::corrupt: return "corrupt";
        case Fault::too_long: return "too_long";
        case Fault::over_limit: return "over_limit";
        case Fault::wrong_size: return "wrong_size";
        case Fault::bad_crc: return "bad_crc";
        default: return "unknown";
    }
}

// Raises the failure the thread reported.
PyObject* raise_failure(PyObject* self, const Failure& failure) {
    if (failure.fault == Fault::io) {
        errno = failure.code;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    if (failure.fault == Fault::no_memory) return PyErr_NoMemory();
    ModuleState* st = state_of(self);
    if (!st) return nullptr;
    PyRef args = PyRef::steal(Py_BuildValue("(ssK)", fault_kind(failure.fault),
                                            failure.message.c_str(),
                                            static_cast<unsigned long long>(failure.produced)));
    if (!args) return nullptr;
    PyErr_SetObject(st->inflate_error, args.get());
    return nullptr;
}

// Fills out[0:n] from the stream, waiting for the thread with the lock
// released. Sets *got and returns 0, or returns -1 with an exception set.
// A read that runs into a failure raises it and hands out nothing.
int fill(ReaderObject* self, char* out, std::size_t n, std::size_t* got) {
    std::shared_ptr<Stream> stream = self->stream;  // alive even if closed meanwhile
    if (!stream) {
        closed_error();
        return -1;
    }
    bool expected_idle = false;
    if (!self->reading.compare_exchange_strong(expected_idle, true)) {
        PyErr_SetString(PyExc_RuntimeError, "the member is being read by another thread");
        return -1;
    }
    std::size_t total = 0;
    int rc = 0;
    for (;;) {
        Stream::State state;
        total += stream->take(out + total, n - total, state);
        if (state == Stream::State::more || state == Stream::State::end) break;
        if (state == Stream::State::stopped) {
            closed_error();
            rc = -1;
            break;
        }
        if (state == Stream::State::failed) {
            raise_failure(reinterpret_cast<PyObject*>(self), stream->failure());
            rc = -1;
            break;
        }
        Py_BEGIN_ALLOW_THREADS
        stream->wait();
        Py_END_ALLOW_THREADS
    }
    self->reading.store(false);
    *got = total;
    if (stream.use_count() == 1) {
        // closed while this read waited: the thread is joined here
        Py_BEGIN_ALLOW_THREADS
        stream.reset();
        Py_END_ALLOW_THREADS
    }
    return rc;
}

// The most a read of `size` bytes may need to hold: the rest of the member
// and one byte more, which shows an overlong member.
std::size_t read_room(ReaderObject* self, std::uint64_t size) {
    std::uint64_t pos = self->stream ? self->stream->position() : 0;
    std::uint64_t rest = self->expected > pos ? self->expected - pos : 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(size, rest + 1));
}

// Resizes the bytes object held by `bytes`; false with an exception set
// (the object is then released).
bool resize(PyRef& bytes, std::size_t size) {
    PyObject* raw = bytes.release();
    int rc = _PyBytes_Resize(&raw, static_cast<Py_ssize_t>(size));
    bytes = PyRef::steal(raw);
    return rc == 0;
}

PyObject* read_some(ReaderObject* self, std::size_t size) {
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) return nullptr;
    std::size_t got = 0;
    if (fill(self, PyBytes_AS_STRING(bytes.get()), size, &got) < 0) return nullptr;
    if (got != size && !resize(bytes, got)) return nullptr;
    return bytes.release();
}

PyObject* read_all(ReaderObject* self) {
    // starts from the declared size (trusted up to 16 MiB) and grows; an
    // overlong member fails in fill()
    std::size_t room = std::clamp<std::size_t>(read_room(self, UINT64_MAX), 1, 16u << 20);
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room)));
    if (!bytes) return nullptr;
    std::size_t used = 0;
    for (;;) {
        std::size_t got = 0;
        if (fill(self, PyBytes_AS_STRING(bytes.get()) + used, room - used, &got) < 0)
            return nullptr;
        used += got;
        if (used < room) break;
        room += std::max<std::size_t>(room / 2, Stream::chunk_size);
        if (!resize(bytes, room)) return nullptr;
    }
    if (!resize(bytes, used)) return nullptr;
    return bytes.release();
}

PyObject* reader_read(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    auto* self = reinterpret_cast<ReaderObject*>(op);
    if (nargs > 1) {
        PyErr_SetString(PyExc_TypeError, "read() takes at most one argument");
        return nullptr;
    }
    Py_ssize_t size = -1;
    if (nargs == 1 && args[0] != Py_None) {
        size = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
        if (size == -1 && PyErr_Occurred()) return nullptr;
    }
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(op);
    result = guarded([&]() -> PyObject* {
        if (!self->stream) return closed_error();
        if (size < 0) return read_all(self);
        if (size == 0) return PyBytes_FromStringAndSize(nullptr, 0);
        return read_some(self, read_room(self, static_cast<std::uint64_t>(size)));
    });
    Py_END_CRITICAL_SECTION();
    return result;
}

PyObject* reader_readinto(PyObject* op, PyObject* arg) {
    auto* self = reinterpret_cast<ReaderObject*>(op);
    Py_buffer view;
    if (!PyArg_Parse(arg, "w*:readinto", &view)) return nullptr;
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(op);
    result = guarded([&]() -> PyObject* {
        if (!self->stream) return closed_error();
        std::size_t got = 0;
        if (view.len > 0 &&
            fill(self, static_cast<char*>(view.buf), static_cast<std::size_t>(view.len), &got) < 0)
            return nullptr;
        return PyLong_FromSize_t(got);
    });
    Py_END_CRITICAL_SECTION();
    PyBuffer_Release(&view);
    return result;
}

// Stops the thread and joins it with the lock released (the thread never
// takes it, so this cannot deadlock).
void close_stream(ReaderObject* self) {
    std::shared_ptr<Stream> stream = std::move(self->stream);
    self->stream.reset();
    if (!stream) return;
    stream->stop();
    Py_BEGIN_ALLOW_THREADS
    stream.reset();  // joins unless a waiting read still holds it
    Py_END_ALLOW_THREADS
}

PyObject* reader_close(PyObject* op, PyObject*) {
    Py_BEGIN_CRITICAL_SECTION(op);
    close_stream(reinterpret_cast<ReaderObject*>(op));
    Py_END_CRITICAL_SECTION();
    Py_RETURN_NONE;
}

PyObject* reader_enter(PyObject* op, PyObject*) {
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(op);
    if (!reinterpret_cast<ReaderObject*>(op)->stream) {
        closed_error();
    } else {
        result = Py_NewRef(op);
    }
    Py_END_CRITICAL_SECTION();
    return result;
}

PyObject* reader_exit(PyObject* op, PyObject* const*, Py_ssize_t) {
    return reader_close(op, nullptr);
}

PyObject* reader_true(PyObject*, PyObject*) { Py_RETURN_TRUE; }
PyObject* reader_false(PyObject*, PyObject*) { Py_RETURN_FALSE; }

PyObject* reader_closed(PyObject* op, void*) {
    bool closed;
    Py_BEGIN_CRITICAL_SECTION(op);
    closed = !reinterpret_cast<ReaderObject*>(op)->stream;
    Py_END_CRITICAL_SECTION();
    return PyBool_FromLong(closed);
}

PyObject* reader_tell(PyObject* op, PyObject*) {
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(op);
    auto* self = reinterpret_cast<ReaderObject*>(op);
    result = self->stream ? PyLong_FromUnsignedLongLong(self->stream->position()) : closed_error();
    Py_END_CRITICAL_SECTION();
    return result;
}

bool unsigned_arg(PyObject* obj, const char* name, std::uint64_t* out) {
    unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "%s must be a non-negative integer", name);
        }
        return false;
    }
    *out = value;
    return true;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path",     "offset", "compressed_size", "method",
                                     "expected_size", "crc", "limit", nullptr};
    PyObject* path_raw = nullptr;
    PyObject* numbers[6];
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&OOOOOO:Reader", const_cast<char**>(keywords),
                                     PyUnicode_FSConverter, &path_raw, &numbers[0], &numbers[1],
                                     &numbers[2], &numbers[3], &numbers[4], &numbers[5]))
        return nullptr;
    PyRef path = PyRef::steal(path_raw);
    static const char* names[] = {"offset", "compressed_size", "method", "expected_size", "crc",
                                  "limit"};
    std::uint64_t values[6];
    for (int i = 0; i < 6; ++i) {
        if (!unsigned_arg(numbers[i], names[i], &values[i])) return nullptr;
    }
    if (values[2] != 8) {
        PyErr_Format(PyExc_ValueError, "compression method %llu is not deflate",
                     static_cast<unsigned long long>(values[2]));
        return nullptr;
    }
    if (values[4] > UINT32_MAX || values[0] > static_cast<std::uint64_t>(INT64_MAX) ||
        values[1] > static_cast<std::uint64_t>(INT64_MAX) - values[0]) {
        PyErr_SetString(PyExc_ValueError, "the member's offset, size or CRC is out of range");
        return nullptr;
    }
    MemberSpec spec;
    spec.path.assign(PyBytes_AS_STRING(path.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(path.get())));
    if (spec.path.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return nullptr;
    }
    spec.offset = values[0];
    spec.compressed = values[1];
    spec.expected = values[3];
    spec.crc = static_cast<std::uint32_t>(values[4]);
    spec.limit = values[5];

    PyRef owner = PyRef::steal(type->tp_alloc(type, 0));
    if (!owner) return nullptr;
    auto* self = reinterpret_cast<ReaderObject*>(owner.get());
    new (&self->stream) std::shared_ptr<Stream>();
    new (&self->reading) std::atomic<bool>(false);
    self->expected = spec.expected;
    self->limit = spec.limit;
    PyObject* ok = guarded([&]() -> PyObject* {
        std::shared_ptr<Stream> stream;
        std::exception_ptr failure;
        int error = 0;
        Py_BEGIN_ALLOW_THREADS
        try {  // nothing may leave this block without the lock taken back
            stream = Stream::open(spec);
            error = errno;
        } catch (...) {
            failure = std::current_exception();
        }
        Py_END_ALLOW_THREADS
        if (failure) std::rethrow_exception(failure);
        if (!stream) {
            errno = error;
            return PyErr_SetFromErrnoWithFilename(PyExc_OSError, spec.path.c_str());
        }
        self->stream = std::move(stream);
        return Py_None;
    });
    if (!ok) return nullptr;
    return owner.release();
}

void reader_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<ReaderObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    // stops and joins the thread: it never takes the interpreter lock and
    // leaves its wait as soon as it sees the stop
    if (self->stream) self->stream->stop();
    self->stream.~shared_ptr<Stream>();
    self->reading.~atomic<bool>();
    // a heap type: each instance holds a reference to it
    PyRef type_ref = PyRef::steal(reinterpret_cast<PyObject*>(type));
    type->tp_free(op);
}

PyMethodDef reader_methods[] = {
    {"read", (PyCFunction)(void (*)(void))reader_read, METH_FASTCALL,
     "read(size=-1, /)\n--\n\nUp to size inflated bytes (all the rest when negative); b\"\" at "
     "the end. Raises InflateError for a damaged member."},
    {"readinto", reader_readinto, METH_O,
     "readinto(buffer, /)\n--\n\nFill buffer with inflated bytes; the count, 0 at the end."},
    {"close", reader_close, METH_NOARGS,
     "close()\n--\n\nStop the inflater thread and release the file."},
    {"tell", reader_tell, METH_NOARGS, "tell()\n--\n\nThe count of bytes read so far."},
    {"readable", reader_true, METH_NOARGS, "readable()\n--\n\nTrue."},
    {"seekable", reader_false, METH_NOARGS, "seekable()\n--\n\nFalse."},
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", (PyCFunction)(void (*)(void))reader_exit, METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"closed", reader_closed, nullptr, "True once closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, (void*)"Reader(path, offset, compressed_size, method, expected_size, crc, limit)\n"
                       "--\n\n"
                       "The deflated member whose data starts at offset in the file at path, "
                       "inflated on a thread of its own and read as a binary file."},
    {Py_tp_new, (void*)reader_new},
    {Py_tp_dealloc, (void*)reader_dealloc},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "tavrinex._inflate.Reader", sizeof(ReaderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, reader_slots,
};

int module_exec(PyObject* module) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    st->reader_type = reinterpret_cast<PyTypeObject*>(
        PyType_FromModuleAndSpec(module, &reader_spec, nullptr));
    if (!st->reader_type) return -1;
    if (PyModule_AddObjectRef(module, "Reader", reinterpret_cast<PyObject*>(st->reader_type)) < 0)
        return -1;
    st->inflate_error = PyErr_NewExceptionWithDoc(
        "tavrinex._inflate.InflateError",
        "A damaged member: args are (kind, message, inflated size).", nullptr, nullptr);
    if (!st->inflate_error) return -1;
    if (PyModule_AddObjectRef(module, "InflateError", st->inflate_error) < 0) return -1;
    if (PyModule_AddStringConstant(module, "library", library_name()) < 0) return -1;
    if (PyModule_AddIntConstant(module, "CHUNK_SIZE", Stream::chunk_size) < 0) return -1;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    Py_VISIT(st->reader_type);
    Py_VISIT(st->inflate_error);
    return 0;
}

int module_clear(PyObject* module) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    Py_CLEAR(st->reader_type);
    Py_CLEAR(st->inflate_error);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, (void*)module_exec},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_inflate",
    "Zip members inflated on a native thread, overlapped with the reader.",
    sizeof(ModuleState), nullptr, module_slots, module_traverse, module_clear, module_free,
};

}  // namespace

}  // namespace tvx::inflate

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__inflate(void) {
    return PyModuleDef_Init(&tvx::inflate::module_def);
}
