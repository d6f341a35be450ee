// Probe entry points for the cell store and value conversion: configure a
// store and fill it through the loader's own insertion path, run the
// conversion of one raw cell, and look at the records behind the keys.
#include "probe/probe.h"

#include "lib/errors.h"
#include "lib/host.h"
#include "lib/sheet_host.h"
#include "sheet/convert.h"
#include "store/cell_store.h"
#include "store/store_type.h"

#include <cstring>
#include <optional>
#include <string>

namespace tvx::probe {

namespace {

bool check_store(PyObject* store) {
    if (is_cell_store(store)) return true;
    PyErr_SetString(PyExc_TypeError, "store must be a CellStore");
    return false;
}

bool utf8_of(PyObject* s, std::string_view& out) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) return false;
    out = std::string_view(p, (std::size_t)n);
    return true;
}

// store_configure(store, ws, cell_styles, cell_cls, shared_strings, epoch)
PyObject* store_configure(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *store, *ws, *cell_styles, *cell_cls, *shared, *epoch;
        if (!PyArg_ParseTuple(args, "OOOOOO", &store, &ws, &cell_styles, &cell_cls, &shared,
                              &epoch) ||
            !check_store(store)) {
            return nullptr;
        }
        StoreHold hold;
        if (!hold.try_exclusive(store)) return raise_internal("Already borrowed");
        Py_ssize_t offsets[8];
        NativeEpoch ne;
        if (!CellStore::bind_cell_slots(cell_cls, offsets) || !read_epoch(epoch, ne)) {
            return nullptr;
        }
        CellStore& s = store_core(store);
        std::vector<PyRef> released;
        s.clear(released);
        released.clear();
        if (!s.configure(ws, cell_styles, cell_cls, offsets, shared, ne)) return nullptr;
        Py_RETURN_NONE;
    });
}

bool data_type_of(PyObject* dt, CellValue& v) {
    if (PyUnicode_Check(dt)) {
        for (int i = 0; i < 7; i++) {
            if (PyUnicode_CompareWithASCIIString(dt, kFixedDataTypes[i]) == 0) {
                v.data_type = (std::uint8_t)i;
                return true;
            }
        }
    }
    v.data_type = DT_OTHER;
    v.data_type_obj = PyRef::borrow(dt);
    return true;
}

bool style_of(PyObject* s, std::uint32_t& out) {
    if (s == Py_None) {
        out = kNoStyle;
        return true;
    }
    unsigned long v = PyLong_AsUnsignedLong(s);
    if (v == (unsigned long)-1 && PyErr_Occurred()) return false;
    if (v > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "style id out of range");
        return false;
    }
    out = (std::uint32_t)v;
    return true;
}

bool key_of(PyObject* row, PyObject* col, CellKey& out) {
    unsigned long r = PyLong_AsUnsignedLong(row);
    if (r == (unsigned long)-1 && PyErr_Occurred()) return false;
    unsigned long c = PyLong_AsUnsignedLong(col);
    if (c == (unsigned long)-1 && PyErr_Occurred()) return false;
    if (r > 0xFFFFFFFFul || c > 0xFFFFFFFFul) {
        raise_fallback("coordinate out of range");
        return false;
    }
    out = make_key((std::uint32_t)r, (std::uint32_t)c);
    return true;
}

// store_load(store, cells, finish=True): cells of (row, column, form,
// value, data_type, style_id) where form names a value form of the
// converter ("none", "int", "float", "bool", "shared", "text",
// "date_int", "date_float", "object").
PyObject* store_load(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *store, *cells;
        int finish = 1;
        if (!PyArg_ParseTuple(args, "OO!|p", &store, &PyList_Type, &cells, &finish) ||
            !check_store(store)) {
            return nullptr;
        }
        StoreHold hold;
        if (!hold.try_exclusive(store)) return raise_internal("Already borrowed");
        CellStore& s = store_core(store);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); i++) {
            PyObject *row, *col, *form, *value, *dt, *style;
            // A strong reference: the parsed items are borrowed from it.
            PyRef entry = PyRef::steal(PyList_GetItemRef(cells, i));
            if (!entry || !PyArg_ParseTuple(entry.get(), "OOUOOO", &row, &col, &form, &value,
                                  &dt, &style)) {
                return nullptr;
            }
            CellKey key;
            std::uint32_t st;
            CellValue v;
            std::string_view f;
            if (!key_of(row, col, key) || !style_of(style, st) || !data_type_of(dt, v) ||
                !utf8_of(form, f)) {
                return nullptr;
            }
            if (f == "none") {
                v.form = ValueForm::None;
            } else if (f == "int" || f == "bool" || f == "shared" || f == "date_int") {
                v.form = f == "int"      ? ValueForm::Int
                         : f == "bool"   ? ValueForm::Bool
                         : f == "shared" ? ValueForm::SharedIndex
                                         : ValueForm::DateInt;
                v.i = PyLong_AsLongLong(value);
                if (v.i == -1 && PyErr_Occurred()) return nullptr;
            } else if (f == "float" || f == "date_float") {
                v.form = f == "float" ? ValueForm::Float : ValueForm::DateFloat;
                v.f = PyFloat_AsDouble(value);
                if (v.f == -1.0 && PyErr_Occurred()) return nullptr;
            } else if (f == "text") {
                v.form = ValueForm::Text;
                if (!PyBytes_Check(value)) {
                    if (!PyUnicode_Check(value) || !utf8_of(value, v.text)) {
                        if (!PyErr_Occurred())
                            PyErr_SetString(PyExc_TypeError, "text must be str or bytes");
                        return nullptr;
                    }
                } else {
                    v.text = std::string_view(PyBytes_AS_STRING(value),
                                              (std::size_t)PyBytes_GET_SIZE(value));
                }
            } else if (f == "object") {
                v.form = ValueForm::Object;
                v.obj = PyRef::borrow(value);
            } else {
                PyErr_Format(PyExc_ValueError, "unknown value form %R", form);
                return nullptr;
            }
            if (!s.add_value(key, v, st)) return nullptr;
        }
        if (finish) s.finish();
        Py_RETURN_NONE;
    });
}

// Reads the conversion context of a call: parser options and helpers.
struct ProbeContext {
    ReaderHelpers helpers;
    ParserOptions options;
    std::optional<PySheetHost> host;

    bool load(PyObject* parser, PyObject* helpers_dict, PyObject* actions) {
        if (!PyDict_Check(helpers_dict) || !PyList_Check(actions)) {
            PyErr_SetString(PyExc_TypeError, "helpers must be a dict and actions a list");
            return false;
        }
        if (!helpers.load(helpers_dict) || !options.load(parser)) return false;
        host.emplace(helpers, options, actions, Py_None);
        return true;
    }

    // The value of one raw cell, converted and its host steps taken.
    bool convert_raw(const RawCell& raw, bool formula_used, PyObject* inline_result,
                     CellValue& out) {
        CellEvent cell;
        cell.style_id = raw.style_id;
        cell.unusual_style = raw.unusual_style;
        cell.has_coordinate = raw.has_coordinate;
        cell.coordinate = raw.coordinate;
        cell.formula_used = formula_used;
        convert(options.sheet, raw, cell.value);
        if (inline_result) host->hold_inline(PyRef::borrow(inline_result));
        if (ReadError e = host->resolve(cell, cell.value, out)) {
            raise_read_error(e);
            return false;
        }
        return true;
    }
};

// Fills a RawCell from Python values (borrowing their texts); an
// inline result marks the cell as having an <is> the host read.
bool raw_cell(PyObject* type, PyObject* value, PyObject* style, PyObject* coord,
              PyObject* inline_result, RawCell& raw) {
    if (type != Py_None) {
        raw.has_type = true;
        if (!utf8_of(type, raw.type)) return false;
    }
    if (value != Py_None && !utf8_of(value, raw.value)) return false;
    if (PyLong_CheckExact(style)) {
        int overflow = 0;
        raw.style_id = PyLong_AsLongLongAndOverflow(style, &overflow);
        if (overflow) raw.unusual_style = true;
    } else {
        raw.unusual_style = true;
    }
    if (coord != Py_None) {
        raw.has_coordinate = true;
        if (!utf8_of(coord, raw.coordinate)) return false;
    }
    if (inline_result != Py_None) raw.inline_item = raw.inline_captured = true;
    return true;
}

const char* form_name(ValueForm f) {
    switch (f) {
        case ValueForm::None:
            return "none";
        case ValueForm::Int:
            return "int";
        case ValueForm::Float:
            return "float";
        case ValueForm::Bool:
            return "bool";
        case ValueForm::SharedIndex:
            return "shared";
        case ValueForm::Text:
            return "text";
        case ValueForm::DateInt:
            return "date_int";
        case ValueForm::DateFloat:
            return "date_float";
        case ValueForm::Object:
            return "object";
        case ValueForm::Host:
            return "host";
    }
    return "?";
}

// convert_cell(type_text, value_text, style_id, coordinate, inline, parser,
//              helpers, actions, formula_used=False) -> (form, value, data_type)
// Date forms give the datetime the store would build; "shared" gives the
// index.
PyObject* convert_cell(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *type, *value, *style, *coord, *inl, *parser, *helpers, *actions;
        int formula_used = 0;
        if (!PyArg_ParseTuple(args, "OOOOOOOO|p", &type, &value, &style, &coord, &inl, &parser,
                              &helpers, &actions, &formula_used)) {
            return nullptr;
        }
        ProbeContext pc;
        if (!pc.load(parser, helpers, actions)) return nullptr;
        RawCell raw;
        if (!raw_cell(type, value, style, coord, inl, raw)) return nullptr;
        CellValue v;
        if (!pc.convert_raw(raw, formula_used != 0, inl == Py_None ? nullptr : inl, v))
            return nullptr;
        PyRef py;
        switch (v.form) {
            case ValueForm::None:
                py = PyRef::borrow(Py_None);
                break;
            case ValueForm::Int:
            case ValueForm::SharedIndex:
                py = PyRef::steal(PyLong_FromLongLong(v.i));
                break;
            case ValueForm::Bool:
                py = PyRef::borrow(v.i ? Py_True : Py_False);
                break;
            case ValueForm::Float:
                py = PyRef::steal(PyFloat_FromDouble(v.f));
                break;
            case ValueForm::Text:
                py = PyRef::steal(
                    PyUnicode_DecodeUTF8(v.text.data(), (Py_ssize_t)v.text.size(), nullptr));
                break;
            case ValueForm::DateInt:
            case ValueForm::DateFloat: {
                DateParts parts;
                bool ok = v.form == ValueForm::DateInt
                              ? date_parts_int(pc.options.sheet.epoch, v.i, parts)
                              : date_parts_float(pc.options.sheet.epoch, v.f, parts);
                if (!ok) return raise_internal("converted date does not convert");
                const DateTimeApi* api = datetime_capi();
                if (!api) return nullptr;
                py = date_object(api, parts);
                break;
            }
            case ValueForm::Object:
                py = v.obj;
                break;
            case ValueForm::Host:
                return raise_internal("a value with a host step left");
        }
        if (!py) return nullptr;
        PyRef dt = v.data_type == DT_OTHER
                       ? v.data_type_obj
                       : PyRef::steal(PyUnicode_FromString(kFixedDataTypes[v.data_type]));
        if (!dt) return nullptr;
        return Py_BuildValue("(sOO)", form_name(v.form), py.get(), dt.get());
    });
}

// store_convert_load(store, cells, parser, helpers, actions): cells of
// (row, column, type_text, value_text, style_id) converted and added the
// way the loader does it; the store must be configured.
PyObject* store_convert_load(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *store, *cells, *parser, *helpers, *actions;
        if (!PyArg_ParseTuple(args, "OO!OOO", &store, &PyList_Type, &cells, &parser, &helpers,
                              &actions) ||
            !check_store(store)) {
            return nullptr;
        }
        ProbeContext pc;
        if (!pc.load(parser, helpers, actions)) return nullptr;
        StoreHold hold;
        if (!hold.try_exclusive(store)) return raise_internal("Already borrowed");
        CellStore& s = store_core(store);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); i++) {
            PyObject *row, *col, *type, *value, *style;
            // A strong reference: the parsed items are borrowed from it.
            PyRef entry = PyRef::steal(PyList_GetItemRef(cells, i));
            if (!entry || !PyArg_ParseTuple(entry.get(), "OOOOO", &row, &col, &type, &value,
                                  &style)) {
                return nullptr;
            }
            CellKey key;
            if (!key_of(row, col, key)) return nullptr;
            RawCell raw;
            if (!raw_cell(type, value, style, Py_None, Py_None, raw)) return nullptr;
            CellValue v;
            if (!pc.convert_raw(raw, false, nullptr, v)) return nullptr;
            std::uint32_t st = raw.style_id >= 0 && raw.style_id < 0xFFFFFFFF
                                   ? (std::uint32_t)raw.style_id
                                   : kNoStyle;
            if (!s.add_value(key, v, st)) return nullptr;
        }
        s.finish();
        Py_RETURN_NONE;
    });
}

// store_records(store) -> [(tier, row, column, stored_kind, data_type_code, style)]
// in store order; tier is "compact" or "overflow", stored_kind the kind
// as the record holds it (100 for small integers), style None when absent.
PyObject* store_records(PyObject*, PyObject* store) {
    return guarded([&]() -> PyObject* {
        if (!check_store(store)) return nullptr;
        StoreHold hold;
        if (!hold.shared(store)) return nullptr;
        const CellStore& s = store_core(store);
        std::vector<CellLocation> locs;
        s.keys_in_order(locs);
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const CellLocation& loc : locs) {
            DecodedCell d = s.decode(loc);
            int kind = loc.compact ? s.compact_at(loc.pos).kind : d.kind;
            PyRef style = d.style == kNoStyle ? PyRef::borrow(Py_None)
                                              : PyRef::steal(PyLong_FromUnsignedLong(d.style));
            PyRef item = PyRef::steal(Py_BuildValue(
                "(skkiiO)", loc.compact ? "compact" : "overflow", (unsigned long)key_row(d.key),
                (unsigned long)key_column(d.key), kind, (int)d.data_type, style.get()));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

// store_memory(store) -> bytes held by the native tables.
PyObject* store_memory(PyObject*, PyObject* store) {
    if (!check_store(store)) return nullptr;
    return PyLong_FromSize_t(store_core(store).memory_bytes());
}

// store_tables(store) -> {name: entries} of the side tables a load fills
// beside the cells (a reload must leave them as a fresh store's).
PyObject* store_tables(PyObject*, PyObject* store) {
    return guarded([&]() -> PyObject* {
        if (!check_store(store)) return nullptr;
        StoreHold hold;
        if (!hold.shared(store)) return nullptr;
        const CellStore& s = store_core(store);
        return Py_BuildValue(
            "{snsnsnsnsn}", "shared_formulas", (Py_ssize_t)s.shared_formula_count(),
            "shared_formula_objects", (Py_ssize_t)s.shared_formula_objects.size(), "templates",
            (Py_ssize_t)s.template_count(), "data_types", (Py_ssize_t)s.extra_data_type_count(),
            "objects", (Py_ssize_t)s.object_slots());
    });
}

// date_serial(serial, epoch) -> datetime/time, or None when the native
// route declines the serial (the date warning case).
PyObject* date_serial(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *serial, *epoch;
        if (!PyArg_ParseTuple(args, "OO", &serial, &epoch)) return nullptr;
        NativeEpoch ne;
        if (!read_epoch(epoch, ne)) return nullptr;
        if (!ne.native) return raise_internal("epoch is not native");
        DateParts parts;
        bool ok;
        if (PyLong_CheckExact(serial)) {
            long long n = PyLong_AsLongLong(serial);
            if (n == -1 && PyErr_Occurred()) return nullptr;
            ok = date_parts_int(ne, n, parts);
        } else {
            double x = PyFloat_AsDouble(serial);
            if (x == -1.0 && PyErr_Occurred()) return nullptr;
            ok = date_parts_float(ne, x, parts);
        }
        if (!ok) Py_RETURN_NONE;
        const DateTimeApi* api = datetime_capi();
        if (!api) return nullptr;
        return date_object(api, parts).release();
    });
}

}  // namespace

PyMethodDef store_methods[] = {
    {"store_configure", store_configure, METH_VARARGS, nullptr},
    {"store_load", store_load, METH_VARARGS, nullptr},
    {"store_convert_load", store_convert_load, METH_VARARGS, nullptr},
    {"store_records", store_records, METH_O, nullptr},
    {"store_memory", store_memory, METH_O, nullptr},
    {"store_tables", store_tables, METH_O, nullptr},
    {"convert_cell", convert_cell, METH_VARARGS, nullptr},
    {"date_serial", date_serial, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tvx::probe
