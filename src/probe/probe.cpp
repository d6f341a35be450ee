#include "probe/probe.h"

#include "lib/entry.h"

namespace {

int probe_exec(PyObject* module) {
    // Share NativeFallback and CellStore with the engine module.
    tvx::PyRef native = tvx::PyRef::steal(PyImport_ImportModule("tavrinex._tavrinex"));
    if (!native || tvx::adopt_module_objects(native.get()) < 0) return -1;
    PyMethodDef* tables[] = {tvx::probe::utils_methods, tvx::probe::xml_methods,
                             tvx::probe::formula_methods, tvx::probe::store_methods,
                             tvx::probe::sheet_methods};
    for (PyMethodDef* t : tables) {
        if (PyModule_AddFunctions(module, t) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_exec, (void*)probe_exec},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef probe_def = {
    PyModuleDef_HEAD_INIT,
    "_probe",
    "Internals of the native engine, for tests.",
    0,
    nullptr,
    probe_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__probe(void) {
    return PyModuleDef_Init(&probe_def);
}
