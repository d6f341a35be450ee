// What the engine reads from the host package: the `helpers` dict of the
// readers, the parser's options, and the slot layout of host cell classes.
#pragma once

#include "lib/helper_keys.h"
#include "lib/pyref.h"
#include "sheet/convert.h"
#include "text/text_item.h"
#include "utils/dates.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tvx {

// The reader `helpers` entries, fetched once per call in this order.
struct ReaderHelpers {
#define TVX_MEMBER(member, key) PyRef member;
    TVX_READER_HELPERS(TVX_MEMBER)
#undef TVX_MEMBER
#define TVX_MEMBER(member, key) NameSet member;
    TVX_READER_NAME_SETS(TVX_MEMBER)
#undef TVX_MEMBER

    // `helpers` must already be known to be a dict. Returns false with
    // TypeError("missing helper KEY") or the error of copying a name set.
    bool load(PyObject* helpers);
    // Visits the helpers held, for the collector of an object keeping them.
    int traverse(visitproc visit, void* arg) const;
};

// helpers[key] as a new reference; TypeError("missing helper KEY") when absent.
bool get_helper(PyObject* helpers, const char* key, PyRef& out);

// Looks up one further key ("si_content", "row_index"); missing is the
// internal failure naming "<key> helper". Returns a new reference or null.
PyRef extra_helper(PyObject* helpers, const char* key);

// Reads `epoch` as the readers and the writer do. False with an exception.
bool read_epoch(PyObject* epoch, NativeEpoch& out);

// Parser attributes, read in the host's order: the plain options of the
// sheet parser, and the objects the host steps use.
struct ParserOptions {
    SheetOptions sheet;
    PyRef epoch_obj;
    PyRef shared_strings;
    bool shared_is_list = false;

    bool load(PyObject* parser);
    // The number of shared strings an index may address directly (0 when
    // they are not a list); call again when the list may have changed.
    void count_shared_strings() noexcept;
    // Visits the objects held, for the collector of an object keeping them.
    int traverse(visitproc visit, void* arg) const;
};

// Object-slot offsets of a host cell class, found through its member
// descriptors. Fails with TypeError "NAME is not a slot" or
// "NAME has unexpected slot type".
bool bind_slots(PyObject* cls, const char* const* names, std::size_t count,
                std::vector<Py_ssize_t>& offsets);
// Same with names given as Python str objects (extra slot lists).
bool bind_slot(PyObject* cls, PyObject* name, Py_ssize_t& offset);

// Allocates an instance of `cls` without running __new__ or __init__.
PyRef alloc_instance(PyTypeObject* cls);

// Stores a value into a bound object slot, taking over the reference.
inline void store_slot(PyObject* obj, Py_ssize_t offset, PyObject* value) noexcept {
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
    PyRef old = PyRef::steal(*slot);  // dropped once the slot holds the new value
    *slot = value;
}

}  // namespace tvx
