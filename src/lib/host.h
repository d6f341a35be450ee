// What the engine reads from the host package: the `helpers` dict of the
// readers, the parser's options, and the slot layout of host cell classes.
#pragma once

#include "lib/pyref.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tvx {

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

// Element local names copied from a host iterable of str.
using NameSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;

inline bool name_in(const NameSet& set, std::string_view name) {
    return set.find(name) != set.end();
}

// The reader `helpers` entries, fetched once per call in this order.
struct ReaderHelpers {
    PyRef int_fn, float_fn, coordinate_to_tuple, row_index, from_excel, from_ISO8601, date_warning,
        ArrayFormula, DataTableFormula, Translator, TokenizerError, TranslatorError, text_content,
        rich_inline, validate_rpr;
    NameSet text_dangerous, rich_dangerous;

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

// A naive datetime reduced to what native date conversion needs.
struct NativeEpoch {
    bool native = false;      // exact datetime.datetime with tzinfo None
    bool windows = false;     // equal to WINDOWS_EPOCH
    std::int64_t day = 0;     // days since 0001-01-01
    std::int64_t micros = 0;  // microseconds within that day
};

// Reads `epoch` as the readers and the writer do. False with an exception.
bool read_epoch(PyObject* epoch, NativeEpoch& out);

// Days since 0001-01-01 of a proleptic Gregorian date, and back.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept;
void civil_from_days(std::int64_t days, std::int64_t& y, unsigned& m, unsigned& d) noexcept;

// Parser attributes, read in the host's order.
struct ParserOptions {
    PyRef epoch_obj;
    NativeEpoch epoch;
    bool formula_and_value = false;
    PyRef shared_strings;
    bool shared_is_list = false;
    bool data_only = false;
    bool rich_text = false;
    std::vector<std::int64_t> date_formats;       // sorted, unique
    std::vector<std::int64_t> timedelta_formats;  // sorted, unique

    bool load(PyObject* parser);
    // Visits the objects held, for the collector of an object keeping them.
    int traverse(visitproc visit, void* arg) const;

    bool is_date_style(std::int64_t id) const noexcept;
    bool is_timedelta_style(std::int64_t id) const noexcept;
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
