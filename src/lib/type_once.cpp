#include "lib/type_once.h"

namespace tvx {

namespace {

// One lock for every slot: objects are made a handful of times per
// process, never on a hot path.
PyMutex g_once_lock = {};

PyObject* type_from_spec(const void* spec) {
    return PyType_FromSpec(static_cast<PyType_Spec*>(const_cast<void*>(spec)));
}

}  // namespace

PyObject* make_once(std::atomic<PyObject*>& slot, PyObject* (*make)(const void*), const void* arg) {
    if (PyObject* o = slot.load(std::memory_order_acquire)) return o;
    // PyMutex lets the thread state go while waiting, so a thread blocked
    // here cannot stall the interpreter's stop-the-world pauses.
    PyMutex_Lock(&g_once_lock);
    PyObject* o = slot.load(std::memory_order_relaxed);
    if (!o) {
        o = make(arg);
        if (o) slot.store(o, std::memory_order_release);
    }
    PyMutex_Unlock(&g_once_lock);
    return o;
}

PyTypeObject* make_type_once(std::atomic<PyObject*>& slot, PyType_Spec* spec) {
    return reinterpret_cast<PyTypeObject*>(make_once(slot, type_from_spec, spec));
}

void publish_once(std::atomic<PyObject*>& slot, PyObject* obj) {
    Py_XINCREF(obj);
    PyMutex_Lock(&g_once_lock);
    PyObject* old = slot.exchange(obj, std::memory_order_acq_rel);
    PyMutex_Unlock(&g_once_lock);
    (void)old;  // kept alive: objects made from it may still exist
}

}  // namespace tvx
