// The CellStore Python type: a dict keyed by (row, column) over the native
// cell store, with a plain dict taking over ("dict mode") once a key
// arrives that the native tiers cannot hold.
#include "store/store_type.h"

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/type_once.h"
#include "store/cell_store.h"

#include <atomic>
#include <cstring>
#include <new>

namespace tvx {

namespace {

struct StoreObject {
    PyObject_HEAD CellStore* core;
    // 0: free; > 0: number of shared holds; -1: held exclusively.
    std::atomic<int> borrow;
};

struct KeyIterObject {
    PyObject_HEAD PyRef store;  // null once cleared by the collector
    std::uint64_t pos;          // compact positions first, then overflow records
    std::uint64_t count;        // live keys when the iterator was made
    std::uint64_t version;      // store version when the iterator was made
    std::uint32_t row_hint;
};

// Made once (at module exec, or by the first caller) and never replaced
// but by the probe module's adoption; readers load them without a lock.
std::atomic<PyObject*> g_store_type{nullptr};
std::atomic<PyObject*> g_keyiter_type{nullptr};

constexpr std::uint64_t kMaxIndex = 0xFFFFFFFFull;

inline StoreObject* as_store(PyObject* o) { return reinterpret_cast<StoreObject*>(o); }

void set_key_error(PyObject* key) {
    PyRef args = PyRef::steal(PyTuple_Pack(1, key));
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
}

PyRef key_tuple(CellKey key) {
    PyRef r = PyRef::steal(PyLong_FromUnsignedLong(key_row(key)));
    if (!r) return {};
    PyRef c = PyRef::steal(PyLong_FromUnsignedLong(key_column(key)));
    if (!c) return {};
    return PyRef::steal(PyTuple_Pack(2, r.get(), c.get()));
}

// ------------------------------------------------------------ key rule

enum class KeyClass { Fast, Slow, NotNative, Error };

bool exact_index(PyObject* x, std::uint32_t& out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
    if (overflow || v < 0 || (unsigned long long)v > kMaxIndex) return false;
    out = (std::uint32_t)v;
    return true;
}

bool fast_key(PyObject* key, CellKey& out) {
    if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2) return false;
    PyObject* a = PyTuple_GET_ITEM(key, 0);
    PyObject* b = PyTuple_GET_ITEM(key, 1);
    if (!PyLong_CheckExact(a) || !PyLong_CheckExact(b)) return false;
    std::uint32_t r, c;
    if (!exact_index(a, r) || !exact_index(b, c)) return false;
    out = make_key(r, c);
    return true;
}

// One item of the slow test; any exception means "not native".
bool slow_item(PyObject* x, std::uint32_t& out) {
    PyRef v = PyRef::steal(PyNumber_Long(x));
    if (!v) return false;
    int eq = PyObject_RichCompareBool(x, v.get(), Py_EQ);
    if (eq <= 0) return false;
    Py_hash_t hx = PyObject_Hash(x);
    if (hx == -1 && PyErr_Occurred()) return false;
    Py_hash_t hv = PyObject_Hash(v.get());
    if (hv == -1 && PyErr_Occurred()) return false;
    if (hx != hv) return false;
    return exact_index(v.get(), out);
}

KeyClass classify_key(PyObject* key, CellKey& out) {
    if (fast_key(key, out)) return KeyClass::Fast;
    if (PyObject_Hash(key) == -1 && PyErr_Occurred()) return KeyClass::Error;
    if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) return KeyClass::NotNative;
    // The items stay alive while the tuple does; hold it in case the
    // conversions drop other references to it.
    PyRef hold = PyRef::borrow(key);
    std::uint32_t r, c;
    bool ok = slow_item(PyTuple_GET_ITEM(key, 0), r) && slow_item(PyTuple_GET_ITEM(key, 1), c);
    if (PyErr_Occurred()) PyErr_Clear();
    if (!ok) return KeyClass::NotNative;
    out = make_key(r, c);
    return KeyClass::Slow;
}

// Finds a Python key among the native cells. -1 with an exception, 0
// absent, 1 found (`loc` set). `kc` tells how the key was recognised.
int find_key(CellStore& s, PyObject* key, CellLocation& loc, KeyClass& kc) {
    CellKey k = 0;
    kc = classify_key(key, k);
    if (kc == KeyClass::Error) return -1;
    if (kc == KeyClass::NotNative) return 0;
    return s.locate(k, loc) ? 1 : 0;
}

// ------------------------------------------------------------ dict mode

// Moves every cell into a new dict, in store order. On failure the store
// stays native (cells materialised so far stay materialised).
bool enter_dict_mode(CellStore& s) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return false;
    std::vector<CellLocation> locs;
    s.keys_in_order(locs);
    for (const CellLocation& loc : locs) {
        PyRef cell = s.materialise(loc);
        if (!cell) return false;
        PyRef k = key_tuple(s.key_at(loc));
        if (!k || PyDict_SetItem(d.get(), k.get(), cell.get()) < 0) return false;
    }
    std::vector<PyRef> released;
    s.clear(released);
    s.dict = std::move(d);
    released.clear();
    return true;
}

// ------------------------------------------------------------ type slots

PyObject* store_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        StoreObject* so = as_store(self.get());
        so->core = new CellStore();
        new (&so->borrow) std::atomic<int>(0);
        if (!so->core->init_fixed_types()) return nullptr;
        return self.release();
    });
}

void release_core(StoreObject* so) {
    if (!so->core) return;
    std::vector<PyRef> released;
    so->core->clear(released);
    so->core->drop_context(released);
    released.clear();
}

void store_dealloc(PyObject* self) {
    // Instances of a heap type hold a reference to it, let go last.
    PyRef type = PyRef::steal((PyObject*)Py_TYPE(self));
    PyObject_GC_UnTrack(self);
    StoreObject* so = as_store(self);
    try {
        release_core(so);
    } catch (...) {
        // Only allocation of the release list can fail; leak rather than crash.
    }
    delete so->core;
    so->core = nullptr;
    Py_TYPE(self)->tp_free(self);
}

int store_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    StoreObject* so = as_store(self);
    return so->core ? so->core->traverse(visit, arg) : 0;
}

int store_clear(PyObject* self) {
    try {
        release_core(as_store(self));
    } catch (...) {
    }
    return 0;
}

Py_ssize_t store_len(PyObject* self) {
    return with_critical_section(self, [&]() noexcept -> Py_ssize_t {
        StoreHold hold;
        if (!hold.shared(self)) return -1;
        CellStore& s = store_core(self);
        if (s.dict) return PyDict_Size(s.dict.get());
        return (Py_ssize_t)s.size();
    });
}

int store_contains(PyObject* self, PyObject* key) {
    return guarded_int_locked(self, [&]() -> int {
        StoreHold hold;
        if (!hold.shared(self)) return -1;
        CellStore& s = store_core(self);
        if (s.dict) {
            PyRef d = s.dict;
            return PyDict_Contains(d.get(), key);
        }
        CellLocation loc;
        KeyClass kc;
        return find_key(s, key, loc, kc);
    });
}

// The value under `key`: 1 with it in `out`, 0 when absent, -1 on error.
int lookup(CellStore& s, PyObject* key, PyRef& out) {
    if (s.dict) {
        PyRef d = s.dict;
        PyObject* v = nullptr;
        int r = PyDict_GetItemRef(d.get(), key, &v);
        out = PyRef::steal(v);
        return r;
    }
    CellLocation loc;
    KeyClass kc;
    int r = find_key(s, key, loc, kc);
    if (r <= 0) return r;
    out = s.materialise(loc);
    return out ? 1 : -1;
}

PyObject* store_getitem(PyObject* self, PyObject* key) {
    return guarded_locked(self, [&]() -> PyObject* {
        StoreHold hold;
        if (!hold.exclusive(self)) return nullptr;
        PyRef value;
        if (lookup(store_core(self), key, value) == 0) set_key_error(key);
        return value.release();
    });
}

int store_setitem(CellStore& s, PyObject* key, PyObject* value) {
    if (s.dict) {
        PyRef d = s.dict;
        return PyDict_SetItem(d.get(), key, value);
    }
    CellKey k = 0;
    KeyClass kc = classify_key(key, k);
    if (kc == KeyClass::Error) return -1;
    CellLocation loc;
    if (kc != KeyClass::NotNative && s.locate(k, loc)) {
        PyRef released;
        s.replace_with_object(loc, PyRef::borrow(value), released);
        return 0;
    }
    if (kc == KeyClass::Fast) {
        std::uint32_t index = s.put_object(PyRef::borrow(value));
        s.append_overflow(k, K_OBJECT, index, DT_N, kNoStyle);
        return 0;
    }
    // A key the native tiers cannot hold, or one that must be kept as the
    // caller's own object (it only passed the slow test).
    if (!enter_dict_mode(s)) return -1;
    PyRef d = s.dict;
    return PyDict_SetItem(d.get(), key, value);
}

int store_delitem(CellStore& s, PyObject* key) {
    if (s.dict) {
        PyRef d = s.dict;
        return PyDict_DelItem(d.get(), key);
    }
    CellLocation loc;
    KeyClass kc;
    int r = find_key(s, key, loc, kc);
    if (r < 0) return -1;
    if (r == 0) {
        set_key_error(key);
        return -1;
    }
    PyRef released;
    s.remove(loc, released);
    return 0;
}

int store_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return guarded_int_locked(self, [&]() -> int {
        StoreHold hold;
        if (!hold.exclusive(self)) return -1;
        CellStore& s = store_core(self);
        return value ? store_setitem(s, key, value) : store_delitem(s, key);
    });
}

PyObject* new_key_iter(PyObject* self) {
    auto* type = reinterpret_cast<PyTypeObject*>(g_keyiter_type.load(std::memory_order_acquire));
    if (!type) return raise_internal("KeyIter type missing");
    KeyIterObject* it = PyObject_GC_New(KeyIterObject, type);
    if (!it) return nullptr;
    CellStore& s = store_core(self);
    new (&it->store) PyRef(PyRef::borrow(self));
    it->pos = 0;
    it->count = s.size();
    it->version = s.version();
    it->row_hint = 0;
    PyObject_GC_Track((PyObject*)it);
    return (PyObject*)it;
}

PyTypeObject* key_iter_type();

PyObject* store_iter(PyObject* self) {
    return guarded_locked(self, [&]() -> PyObject* {
        StoreHold hold;
        if (!hold.shared(self)) return nullptr;
        CellStore& s = store_core(self);
        if (s.dict) {
            PyRef d = s.dict;
            return PyObject_GetIter(d.get());
        }
        if (!key_iter_type()) return nullptr;
        return new_key_iter(self);
    });
}

// ------------------------------------------------------------ methods

PyObject* m_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_locked(self, [&]() -> PyObject* {
        static const char* const names[] = {"key", "default"};
        static const ArgSpec spec{"get", names, 2, 1};
        PyObject* a[2];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        PyObject* key = a[0];
        PyObject* dflt = a[1] ? a[1] : Py_None;
        StoreHold hold;
        if (!hold.exclusive(self)) return nullptr;
        PyRef value;
        int r = lookup(store_core(self), key, value);
        if (r < 0) return nullptr;
        return r ? value.release() : Py_NewRef(dflt);
    });
}

PyObject* m_clear(PyObject* self, PyObject*) {
    return guarded_locked(self, [&]() -> PyObject* {
        std::vector<PyRef> released;
        {
            StoreHold hold;
            if (!hold.exclusive(self)) return nullptr;
            store_core(self).clear(released);
        }
        // Dropped once the store is free again: finalizers may use it.
        released.clear();
        Py_RETURN_NONE;
    });
}

bool last_live(const CellStore& s, CellLocation& out) {
    for (std::size_t p = s.overflow_records(); p-- > 0;) {
        if (s.overflow_at(p).kind != K_REMOVED) {
            out = {false, 0, (std::uint32_t)p};
            return true;
        }
    }
    for (std::uint32_t p = s.compact_slots(); p-- > 0;) {
        if (s.compact_at(p).kind != K_REMOVED) {
            out = {true, s.row_index_of(p, 0), p};
            return true;
        }
    }
    return false;
}

PyObject* m_popitem(PyObject* self, PyObject*) {
    return guarded_locked(self, [&]() -> PyObject* {
        StoreHold hold;
        if (!hold.exclusive(self)) return nullptr;
        CellStore& s = store_core(self);
        if (s.dict) {
            PyRef d = s.dict;
            return PyObject_CallMethod(d.get(), "popitem", nullptr);
        }
        CellLocation loc;
        if (!last_live(s, loc)) {
            PyErr_SetString(PyExc_KeyError, "popitem(): dictionary is empty");
            return nullptr;
        }
        PyRef cell = s.materialise(loc);
        if (!cell) return nullptr;
        PyRef key = key_tuple(s.key_at(loc));
        if (!key) return nullptr;
        PyRef result = PyRef::steal(PyTuple_Pack(2, key.get(), cell.get()));
        if (!result) return nullptr;
        PyRef released;
        s.remove(loc, released);
        return result.release();
    });
}

PyObject* m_reversed(PyObject* self, PyObject*) {
    return guarded_locked(self, [&]() -> PyObject* {
        StoreHold hold;
        if (!hold.exclusive(self)) return nullptr;
        CellStore& s = store_core(self);
        if (s.dict) {
            PyRef d = s.dict;
            PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
            if (!builtins) return nullptr;
            PyRef rev = PyRef::steal(PyObject_GetAttrString(builtins.get(), "reversed"));
            if (!rev) return nullptr;
            return PyObject_CallOneArg(rev.get(), d.get());
        }
        std::vector<CellLocation> locs;
        s.keys_in_order(locs);
        PyRef list = PyRef::steal(PyList_New((Py_ssize_t)locs.size()));
        if (!list) return nullptr;
        Py_ssize_t n = (Py_ssize_t)locs.size();
        for (Py_ssize_t i = 0; i < n; i++) {
            PyRef k = key_tuple(s.key_at(locs[(std::size_t)(n - 1 - i)]));
            if (!k) return nullptr;
            PyList_SET_ITEM(list.get(), i, k.release());
        }
        return PyObject_GetIter(list.get());
    });
}

PyObject* m_bounds(PyObject* self, PyObject*) {
    return guarded_locked(self, [&]() -> PyObject* {
        StoreHold hold;
        if (!hold.shared(self)) return nullptr;
        CellStore& s = store_core(self);
        if (s.dict || s.size() == 0) Py_RETURN_NONE;
        std::uint32_t min_r = 0xFFFFFFFFu, max_r = 0, min_c = 0xFFFFFFFFu, max_c = 0;
        auto take = [&](CellKey k) {
            std::uint32_t r = key_row(k), c = key_column(k);
            min_r = std::min(min_r, r);
            max_r = std::max(max_r, r);
            min_c = std::min(min_c, c);
            max_c = std::max(max_c, c);
        };
        std::uint32_t ri = 0;
        for (std::uint32_t p = 0; p < s.compact_slots(); p++) {
            const CompactCell& c = s.compact_at(p);
            if (c.kind == K_REMOVED) continue;
            ri = s.row_index_of(p, ri);
            take(make_key(s.row_at(ri), c.column));
        }
        for (std::size_t p = 0; p < s.overflow_records(); p++) {
            if (s.overflow_at(p).kind != K_REMOVED) take(s.overflow_at(p).key);
        }
        return Py_BuildValue("(kkkk)", (unsigned long)min_r, (unsigned long)max_r,
                             (unsigned long)min_c, (unsigned long)max_c);
    });
}

PyObject* m_in_dict_mode(PyObject* self, PyObject*) {
    return guarded_locked(self, [&]() -> PyObject* {
        StoreHold hold;
        if (!hold.shared(self)) return nullptr;
        return PyBool_FromLong(store_core(self).dict ? 1 : 0);
    });
}

PyObject* m_stats(PyObject* self, PyObject*) {
    return guarded_locked(self, [&]() -> PyObject* {
        StoreHold hold;
        if (!hold.shared(self)) return nullptr;
        CellStore& s = store_core(self);
        return Py_BuildValue(
            "(KKKK)", (unsigned long long)s.size(), (unsigned long long)s.materialised_count(),
            (unsigned long long)s.template_count(), (unsigned long long)s.text_bytes());
    });
}

// Re-enables the collector on every way out of _row.
struct GcPause {
    int was_enabled = 0;
    explicit GcPause(bool pause) {
        if (pause) was_enabled = PyGC_Disable();
    }
    ~GcPause() {
        if (was_enabled) PyGC_Enable();
    }
};

PyObject* m_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_locked(self, [&]() -> PyObject* {
        static const char* const names[] = {"row", "min_col", "max_col", "values_only"};
        static const ArgSpec spec{"_row", names, 4, 4};
        PyObject* a[4];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        long long row = 0, min_col = 0, max_col = 0;
        if (!arg_int64("_row", "row", a[0], &row) ||
            !arg_int64("_row", "min_col", a[1], &min_col) ||
            !arg_int64("_row", "max_col", a[2], &max_col)) {
            return nullptr;
        }
        if (!PyBool_Check(a[3])) {
            arg_type_error("_row", "values_only", "bool", a[3]);
            return nullptr;
        }
        bool values_only = a[3] == Py_True;
        StoreHold hold;
        if (!hold.exclusive(self)) return nullptr;
        CellStore& s = store_core(self);
        if (min_col > max_col) return Py_BuildValue("(()O)", Py_False);
        if (s.dict) {
            PyErr_SetString(PyExc_RuntimeError, "_row is not available in dict mode");
            return nullptr;
        }
        if (row < 0 || (unsigned long long)row > kMaxIndex || min_col < 0 ||
            (unsigned long long)max_col > kMaxIndex) {
            PyErr_SetString(PyExc_ValueError, "row or column out of range");
            return nullptr;
        }
        std::uint64_t n = (std::uint64_t)(max_col - min_col) + 1;
        PyRef result = PyRef::steal(PyTuple_New((Py_ssize_t)n));
        if (!result) return nullptr;

        GcPause pause(!values_only);
        std::uint32_t ri = 0, p = 0, last = 0;
        bool has_row = s.row_span((std::uint32_t)row, ri, p, last);
        bool created = false;
        for (std::uint64_t i = 0; i < n; i++) {
            std::uint32_t col = (std::uint32_t)(min_col + (long long)i);
            CellKey key = make_key((std::uint32_t)row, col);
            CellLocation loc;
            bool found = false;
            if (has_row) {
                while (p < last && s.compact_at(p).column < col) p++;
                if (p < last && s.compact_at(p).column == col &&
                    s.compact_at(p).kind != K_REMOVED) {
                    loc = {true, ri, p};
                    found = true;
                }
            }
            std::uint32_t opos;
            if (!found && s.live_overflow() && s.overflow_find(key, opos)) {
                loc = {false, 0, opos};
                found = true;
            }
            if (!found) {
                s.append_overflow(key, K_EMPTY, 0, DT_N, kNoStyle);
                loc = {false, 0, (std::uint32_t)(s.overflow_records() - 1)};
                created = true;
            }
            PyRef item = values_only ? s.value(loc) : s.materialise(loc);
            if (!item) return nullptr;
            PyTuple_SET_ITEM(result.get(), (Py_ssize_t)i, item.release());
        }
        return PyTuple_Pack(2, result.get(), created ? Py_True : Py_False);
    });
}

// ------------------------------------------------------------ new sheets

PyObject* m_configure(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_locked(self, [&]() -> PyObject* {
        static const char* const names[] = {"ws", "cell_styles", "cell_cls"};
        static const ArgSpec spec{"_configure", names, 3, 3};
        PyObject* a[3];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        Py_ssize_t offsets[8];
        if (!CellStore::bind_cell_slots(a[2], offsets)) return nullptr;
        StoreHold hold;
        if (!hold.exclusive(self)) return nullptr;
        CellStore& s = store_core(self);
        if (s.dict || s.size() != 0 || s.configured()) {
            PyErr_SetString(PyExc_ValueError, "_configure needs a new, empty store");
            return nullptr;
        }
        // Cells put in from Python hold no date serials or shared-string
        // indices, so neither an epoch nor a string list is needed.
        if (!s.configure(a[0], a[1], a[2], offsets, Py_None, NativeEpoch{})) return nullptr;
        s.mark_new_sheet();
        Py_RETURN_NONE;
    });
}

// Adds one value at `key` natively; false (nothing added, no exception)
// when the value needs the host's cell code. -1 with an exception.
int append_native(CellStore& s, CellKey key, PyObject* v, PyObject* date_styles) {
    if (v == Py_None) {
        s.add_cell(key, K_EMPTY, 0, DT_N, kNoStyle);
        return 1;
    }
    if (PyBool_Check(v)) {
        s.add_cell(key, K_BOOL, v == Py_True ? 1 : 0, DT_B, kNoStyle);
        return 1;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) return 0;
        if (n == -1 && PyErr_Occurred()) return -1;
        s.add_cell(key, K_INT, (std::uint64_t)n, DT_N, kNoStyle);
        return 1;
    }
    if (PyFloat_CheckExact(v)) {
        s.add_cell(key, K_FLOAT, double_bits(PyFloat_AS_DOUBLE(v)), DT_N, kNoStyle);
        return 1;
    }
    if (PyUnicode_CheckExact(v)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(v, &size);
        if (!utf8) {
            // Lone surrogates have no UTF-8 form: the host keeps the str.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
            PyErr_Clear();
            return 0;
        }
        std::string_view text(utf8, (std::size_t)size);
        std::uint8_t data_type = text_data_type(text);
        if (data_type == DT_F) {
            // Formulas that differ only in their relative references share
            // one template, as loaded ones do.
            std::uint32_t number = s.intern_formula(text, key_row(key), key_column(key));
            if (number != FormulaTemplates::kNone) {
                s.add_cell(key, K_TEMPLATE, number, DT_F, kNoStyle);
                return 1;
            }
        }
        CellPayload p;
        if (!s.intern_text(text, p)) return -1;
        s.add_cell(key, p.kind, p.payload, data_type, kNoStyle);
        return 1;
    }
    // Dates and times: kept as the objects themselves, with the style the
    // host gave the first one of their type.
    PyObject* style = nullptr;
    int found = PyDict_GetItemRef(date_styles, (PyObject*)Py_TYPE(v), &style);
    if (found <= 0) return found;
    PyRef hold_style = PyRef::steal(style);
    int overflow = 0;
    long long id = PyLong_CheckExact(style) ? PyLong_AsLongLongAndOverflow(style, &overflow) : -1;
    if (overflow || id < 0 || id >= (long long)kNoStyle) return 0;
    std::uint32_t index = s.put_object(PyRef::borrow(v));
    s.add_cell(key, K_VALUE, index, DT_D, (std::uint32_t)id);
    return 1;
}

PyObject* m_append_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_locked(self, [&]() -> PyObject* {
        static const char* const names[] = {"row", "values", "date_styles", "make_cell"};
        static const ArgSpec spec{"_append_row", names, 4, 4};
        PyObject* a[4];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        long long row = 0;
        if (!arg_int64("_append_row", "row", a[0], &row)) return nullptr;
        if (!PyTuple_Check(a[1])) {
            arg_type_error("_append_row", "values", "tuple", a[1]);
            return nullptr;
        }
        if (!PyDict_Check(a[2])) {
            arg_type_error("_append_row", "date_styles", "dict", a[2]);
            return nullptr;
        }
        PyObject* values = a[1];
        PyObject* date_styles = a[2];
        PyObject* make_cell = a[3];
        Py_ssize_t n = PyTuple_GET_SIZE(values);
        if (row < 1 || (unsigned long long)row > kMaxIndex || n > (Py_ssize_t)kMaxIndex) {
            PyErr_SetString(PyExc_ValueError, "row or column out of range");
            return nullptr;
        }
        StoreHold hold;
        if (!hold.exclusive(self)) return nullptr;
        CellStore& s = store_core(self);
        if (s.dict || !s.configured()) Py_RETURN_FALSE;
        PyRef row_int;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* v = PyTuple_GET_ITEM(values, i);
            CellKey key = make_key((std::uint32_t)row, (std::uint32_t)(i + 1));
            int done = append_native(s, key, v, date_styles);
            if (done < 0) return nullptr;
            if (done) continue;
            // Anything else becomes a host cell made by `make_cell`. The
            // store stays held: the callable must not use it.
            if (!row_int) {
                row_int = PyRef::steal(PyLong_FromLongLong(row));
                if (!row_int) return nullptr;
            }
            PyRef col = PyRef::steal(PyLong_FromSsize_t(i + 1));
            if (!col) return nullptr;
            PyObject* call_args[] = {row_int.get(), col.get(), v};
            PyRef cell = PyRef::steal(PyObject_Vectorcall(make_cell, call_args, 3, nullptr));
            if (!cell) return nullptr;
            std::uint32_t index = s.put_object(std::move(cell));
            s.add_cell(key, K_OBJECT, index, DT_N, kNoStyle);
        }
        Py_RETURN_TRUE;
    });
}

PyObject* m_shift(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_locked(self, [&]() -> PyObject* {
        static const char* const names[] = {"cols", "index", "amount"};
        static const ArgSpec spec{"_shift", names, 3, 3};
        PyObject* a[3];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        if (!PyBool_Check(a[0])) {
            arg_type_error("_shift", "cols", "bool", a[0]);
            return nullptr;
        }
        long long index = 0, amount = 0;
        if (!arg_int64("_shift", "index", a[1], &index) ||
            !arg_int64("_shift", "amount", a[2], &amount)) {
            return nullptr;
        }
        if (index < 1 || (unsigned long long)index > kMaxIndex) {
            PyErr_SetString(PyExc_ValueError, "row or column out of range");
            return nullptr;
        }
        std::vector<PyRef> released, linked;
        {
            StoreHold hold;
            if (!hold.exclusive(self)) return nullptr;
            CellStore& s = store_core(self);
            if (s.dict) Py_RETURN_NONE;
            if (!s.shift_keys(a[0] == Py_False, (std::uint32_t)index, amount, released, linked)) {
                return nullptr;
            }
        }
        // Deleted cells are let go once the store is free again.
        released.clear();
        PyRef out = PyRef::steal(PyList_New((Py_ssize_t)linked.size()));
        if (!out) return nullptr;
        for (std::size_t i = 0; i < linked.size(); i++) {
            PyList_SET_ITEM(out.get(), (Py_ssize_t)i, linked[i].release());
        }
        return out.release();
    });
}

PyObject* m_formula_cells(PyObject* self, PyObject*) {
    return guarded_locked(self, [&]() -> PyObject* {
        StoreHold hold;
        if (!hold.exclusive(self)) return nullptr;
        CellStore& s = store_core(self);
        if (s.dict) Py_RETURN_NONE;
        PyRef out = PyRef::steal(PyList_New(0));
        if (!out) return nullptr;
        std::vector<CellLocation> locs;
        s.keys_in_order(locs);
        PyObject* formula_type = s.data_type_at(DT_F);
        for (const CellLocation& loc : locs) {
            DecodedCell d = s.decode(loc);
            PyRef value;
            if (d.kind == K_OBJECT) {
                // A materialised cell: its own data type tells.
                PyObject* cell = s.object_at((std::uint32_t)d.payload);
                PyRef type = PyRef::steal(PyObject_GetAttrString(cell, "data_type"));
                if (!type) return nullptr;
                int eq = PyObject_RichCompareBool(type.get(), formula_type, Py_EQ);
                if (eq < 0) return nullptr;
                if (!eq) continue;
                value = PyRef::steal(PyObject_GetAttrString(cell, "_value"));
            } else {
                if (d.data_type != DT_F) continue;
                value = s.value_of(d);
            }
            if (!value) return nullptr;
            PyRef item = PyRef::steal(Py_BuildValue("(kkO)", (unsigned long)key_row(d.key),
                                                    (unsigned long)key_column(d.key),
                                                    value.get()));
            if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

// The key of (row, column) arguments; false with an exception, or false
// without one when no cell can have that key.
bool cached_key(const char* fname, PyObject* const* a, CellKey& key, bool& possible) {
    long long row = 0, column = 0;
    if (!arg_int64(fname, "row", a[0], &row) || !arg_int64(fname, "column", a[1], &column)) {
        return false;
    }
    possible = row >= 0 && column >= 0 && (unsigned long long)row <= kMaxIndex &&
               (unsigned long long)column <= kMaxIndex;
    if (possible) key = make_key((std::uint32_t)row, (std::uint32_t)column);
    return true;
}

PyRef str_or_none(bool set, std::string_view text) {
    return set ? str_of(text) : PyRef::borrow(Py_None);
}

PyObject* m_cached(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_locked(self, [&]() -> PyObject* {
        static const char* const names[] = {"row", "column"};
        static const ArgSpec spec{"_cached", names, 2, 2};
        PyObject* a[2];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        CellKey key = 0;
        bool possible = false;
        if (!cached_key("_cached", a, key, possible)) return nullptr;
        StoreHold hold;
        if (!hold.shared(self)) return nullptr;
        CellStore::Cached c;
        if (!possible || !store_core(self).cached_of(key, c)) Py_RETURN_NONE;
        PyRef t = str_or_none(c.has_t, c.t), v = str_or_none(!c.v.empty(), c.v),
              cm = str_or_none(c.has_cm, c.cm);
        if (!t || !v || !cm) return nullptr;
        return PyTuple_Pack(3, t.get(), v.get(), cm.get());
    });
}

PyObject* m_forget_cached(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded_locked(self, [&]() -> PyObject* {
        static const char* const names[] = {"row", "column"};
        static const ArgSpec spec{"_forget_cached", names, 2, 2};
        PyObject* a[2];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        CellKey key = 0;
        bool possible = false;
        if (!cached_key("_forget_cached", a, key, possible)) return nullptr;
        StoreHold hold;
        if (!hold.exclusive(self)) return nullptr;
        if (possible) store_core(self).forget_cached(key);
        Py_RETURN_NONE;
    });
}

PyObject* m_drop_cached(PyObject* self, PyObject*) {
    return guarded_locked(self, [&]() -> PyObject* {
        StoreHold hold;
        if (!hold.exclusive(self)) return nullptr;
        store_core(self).drop_cached();
        Py_RETURN_NONE;
    });
}

PyObject* m_cached_count(PyObject* self, PyObject*) {
    return guarded_locked(self, [&]() -> PyObject* {
        StoreHold hold;
        if (!hold.shared(self)) return nullptr;
        return PyLong_FromSize_t(store_core(self).cached_count());
    });
}

PyMethodDef store_methods[] = {
    {"_cached", (PyCFunction)(void (*)(void))m_cached, METH_FASTCALL | METH_KEYWORDS,
     "_cached($self, row, column)\n--\n\n(t, v, cm) of the formula cell at (row, column) as "
     "the loaded file\nwrote them (None for an attribute or value it did not have), kept until\n"
     "the cell changes; None when there is none."},
    {"_forget_cached", (PyCFunction)(void (*)(void))m_forget_cached,
     METH_FASTCALL | METH_KEYWORDS,
     "_forget_cached($self, row, column)\n--\n\nDrops the kept cached value of (row, column): "
     "the cell changed."},
    {"_drop_cached", (PyCFunction)m_drop_cached, METH_NOARGS,
     "_drop_cached($self)\n--\n\nDrops every kept cached value."},
    {"_cached_count", (PyCFunction)m_cached_count, METH_NOARGS,
     "_cached_count($self)\n--\n\nThe number of kept cached values."},
    {"get", (PyCFunction)(void (*)(void))m_get, METH_FASTCALL | METH_KEYWORDS,
     "get($self, key, default=None)\n--\n\n"},
    {"_row", (PyCFunction)(void (*)(void))m_row, METH_FASTCALL | METH_KEYWORDS,
     "_row($self, row, min_col, max_col, values_only)\n--\n\n"
     "One row of `Worksheet._cells_by_row`: creates missing cells exactly\n"
     "like `Worksheet.cell(row, column)` and returns a tuple of cells (or of\n"
     "values when values_only), plus whether cells were created."},
    {"clear", (PyCFunction)m_clear, METH_NOARGS, "clear($self)\n--\n\n"},
    {"popitem", (PyCFunction)m_popitem, METH_NOARGS,
     "popitem($self)\n--\n\ndict.popitem(): remove and return the last inserted (key, value)"},
    {"_bounds", (PyCFunction)m_bounds, METH_NOARGS,
     "_bounds($self)\n--\n\n(min_row, max_row, min_col, max_col) of the keys, or None if empty or\n"
     "in dict mode."},
    {"_in_dict_mode", (PyCFunction)m_in_dict_mode, METH_NOARGS, "_in_dict_mode($self)\n--\n\n"},
    {"_stats", (PyCFunction)m_stats, METH_NOARGS,
     "_stats($self)\n--\n\nDiagnostics: (cells, materialised cells, formula templates, text "
     "bytes)"},
    {"__reversed__", (PyCFunction)m_reversed, METH_NOARGS, "__reversed__($self)\n--\n\n"},
    {"_configure", (PyCFunction)(void (*)(void))m_configure, METH_FASTCALL | METH_KEYWORDS,
     "_configure($self, ws, cell_styles, cell_cls)\n--\n\nMakes a new, empty store the cell "
     "dictionary of the new worksheet `ws`:\ncells are built as `cell_cls`, styled from "
     "`cell_styles`."},
    {"_append_row", (PyCFunction)(void (*)(void))m_append_row, METH_FASTCALL | METH_KEYWORDS,
     "_append_row($self, row, values, date_styles, make_cell)\n--\n\n`Worksheet.append` of a "
     "tuple of values at `row`, columns from 1: plain\nvalues are kept natively, dates and times "
     "whose type is in `date_styles`\nwith that style id, and anything else as the cell "
     "`make_cell(row, column,\nvalue)` returns. False, with nothing added, in dict mode or before "
     "`_configure`."},
    {"_shift", (PyCFunction)(void (*)(void))m_shift, METH_FASTCALL | METH_KEYWORDS,
     "_shift($self, cols, index, amount)\n--\n\nMoves the keys of rows (columns when `cols`) from "
     "`index` on by `amount`;\na negative amount deletes the cells of that many rows (columns) "
     "from\n`index` first. Materialised cells get their new row and column.\nReturns the "
     "materialised cells left that hold a hyperlink; None, with\nnothing moved, in dict mode."},
    {"_formula_cells", (PyCFunction)m_formula_cells, METH_NOARGS,
     "_formula_cells($self)\n--\n\n[(row, column, value)] of the cells whose data type is \"f\", "
     "in store\norder, without materialising any; None in dict mode."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, (void*)"CellStore(*_args, **_kwargs)\n--\n\n"},
    {Py_tp_new, (void*)store_new},
    {Py_tp_dealloc, (void*)store_dealloc},
    {Py_tp_traverse, (void*)store_traverse},
    {Py_tp_clear, (void*)store_clear},
    {Py_tp_iter, (void*)store_iter},
    {Py_mp_length, (void*)store_len},
    {Py_mp_subscript, (void*)store_getitem},
    {Py_mp_ass_subscript, (void*)store_ass_subscript},
    {Py_sq_contains, (void*)store_contains},
    {Py_tp_methods, store_methods},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "tavrinex._tavrinex.CellStore",
    sizeof(StoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MAPPING,
    store_slots,
};

// ------------------------------------------------------------ KeyIter

PyObject* keyiter_next_locked(PyObject* self) {
    return guarded([&]() -> PyObject* {
        KeyIterObject* it = reinterpret_cast<KeyIterObject*>(self);
        if (!it->store) return nullptr;
        StoreHold hold;
        if (!hold.shared(it->store.get())) return nullptr;
        const CellStore& s = store_core(it->store.get());
        if (s.version() != it->version) {
            PyErr_SetString(PyExc_RuntimeError, s.size() != it->count
                                                    ? "dictionary changed size during iteration"
                                                    : "dictionary keys changed during iteration");
            return nullptr;
        }
        std::uint64_t slots = s.compact_slots();
        while (it->pos < slots) {
            std::uint32_t p = (std::uint32_t)it->pos++;
            const CompactCell& c = s.compact_at(p);
            if (c.kind == K_REMOVED) continue;
            it->row_hint = s.row_index_of(p, it->row_hint);
            return key_tuple(make_key(s.row_at(it->row_hint), c.column)).release();
        }
        while (it->pos - slots < s.overflow_records()) {
            const OverflowCell& o = s.overflow_at((std::size_t)(it->pos++ - slots));
            if (o.kind == K_REMOVED) continue;
            return key_tuple(o.key).release();
        }
        return nullptr;  // exhausted: StopIteration without an error set
    });
}

// The iterator's position and the store are read and moved together.
PyObject* keyiter_next(PyObject* self) {
    PyRef store;
    Py_BEGIN_CRITICAL_SECTION(self);
    store = reinterpret_cast<KeyIterObject*>(self)->store;
    Py_END_CRITICAL_SECTION();
    if (!store) return nullptr;
    return guarded_locked2(self, store.get(),
                           [&]() -> PyObject* { return keyiter_next_locked(self); });
}

void keyiter_dealloc(PyObject* self) {
    PyRef type = PyRef::steal((PyObject*)Py_TYPE(self));
    PyObject_GC_UnTrack(self);
    reinterpret_cast<KeyIterObject*>(self)->store.~PyRef();
    PyObject_GC_Del(self);
}

int keyiter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<KeyIterObject*>(self)->store.get());
    return 0;
}

int keyiter_clear(PyObject* self) {
    reinterpret_cast<KeyIterObject*>(self)->store.reset();
    return 0;
}

PyType_Slot keyiter_slots[] = {
    {Py_tp_iter, (void*)PyObject_SelfIter},  {Py_tp_iternext, (void*)keyiter_next},
    {Py_tp_dealloc, (void*)keyiter_dealloc}, {Py_tp_traverse, (void*)keyiter_traverse},
    {Py_tp_clear, (void*)keyiter_clear},     {0, nullptr},
};

PyType_Spec keyiter_spec = {
    "tavrinex._tavrinex.KeyIter",
    sizeof(KeyIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    keyiter_slots,
};

PyTypeObject* key_iter_type() { return make_type_once(g_keyiter_type, &keyiter_spec); }

}  // namespace

// ------------------------------------------------------------ shared API

CellStore& store_core(PyObject* store) noexcept { return *as_store(store)->core; }

bool StoreHold::try_exclusive(PyObject* store) noexcept {
    release();
    std::atomic<int>& f = as_store(store)->borrow;
    int expected = 0;
    if (!f.compare_exchange_strong(expected, -1, std::memory_order_acquire)) return false;
    flag_ = &f;
    exclusive_ = true;
    return true;
}

bool StoreHold::try_shared(PyObject* store) noexcept {
    release();
    std::atomic<int>& f = as_store(store)->borrow;
    int seen = f.load(std::memory_order_relaxed);
    do {
        if (seen < 0) return false;
    } while (!f.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire));
    flag_ = &f;
    exclusive_ = false;
    return true;
}

bool StoreHold::exclusive(PyObject* store) noexcept {
    if (try_exclusive(store)) return true;
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
}

bool StoreHold::shared(PyObject* store) noexcept {
    if (try_shared(store)) return true;
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
}

void StoreHold::release() noexcept {
    if (!flag_) return;
    if (exclusive_) {
        flag_->store(0, std::memory_order_release);
    } else {
        flag_->fetch_sub(1, std::memory_order_release);
    }
    flag_ = nullptr;
}

PyTypeObject* cell_store_type() {
    // The iterator type is made with the store type, so that iterating
    // never has to create a type.
    PyTypeObject* t = make_type_once(g_store_type, &store_spec);
    if (t && !key_iter_type()) return nullptr;
    return t;
}

void adopt_cell_store_type(PyTypeObject* type) {
    // The probe module takes the loaded engine's type (once, at its import).
    publish_once(g_store_type, reinterpret_cast<PyObject*>(type));
}

}  // namespace tvx
