// Process-wide objects the engine makes once (its types and exception
// classes): the first caller creates the object under one shared lock and
// publishes it; every later caller, from any thread, gets the same object
// without taking the lock. Published objects are never released.
#pragma once

#include <Python.h>

#include <atomic>

namespace tvx {

// The object in `slot`, made by `make()` (a new reference, or null with an
// exception set) if the slot is still empty. Null with an exception set
// when making it failed; a later call tries again.
PyObject* make_once(std::atomic<PyObject*>& slot, PyObject* (*make)(const void*), const void* arg);

// The type in `slot`, made from `spec` if the slot is still empty.
PyTypeObject* make_type_once(std::atomic<PyObject*>& slot, PyType_Spec* spec);

// Puts `obj` (a new reference is taken) in `slot` under the same lock,
// replacing what was there; the object replaced stays alive, as objects
// may still use it.
void publish_once(std::atomic<PyObject*>& slot, PyObject* obj);

}  // namespace tvx
