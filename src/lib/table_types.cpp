// SharedStrings and ArrowTable: immutable objects over native buffers
// (they hold no Python references), and the functions that make them.
#include "lib/table_types.h"

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "lib/sheet_host.h"
#include "lib/type_once.h"
#include "lib/xml_host.h"
#include "text/text_item.h"
#include "utils/utils.h"
#include "xml/byte_classes.h"
#include "xml/reader.h"

#include <datetime.h>

#include <atomic>
#include <cstring>
#include <new>

namespace tvx {

namespace {

using table::StringTable;
using table::StringTablePtr;
using table::Type;

// -- SharedStrings

struct SharedStringsObject {
    PyObject_HEAD
    StringTablePtr* table;
};

std::atomic<PyObject*> g_shared_strings_type{nullptr};

void ss_dealloc(PyObject* self) {
    PyRef type = PyRef::steal((PyObject*)Py_TYPE(self));
    delete ((SharedStringsObject*)self)->table;
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t ss_length(PyObject* self) {
    return Py_ssize_t((*((SharedStringsObject*)self)->table)->size());
}

PyObject* ss_item(PyObject* self, Py_ssize_t i) {
    const StringTable& t = **((SharedStringsObject*)self)->table;
    if (i < 0 || i >= Py_ssize_t(t.size())) {
        PyErr_SetString(PyExc_IndexError, "shared string index out of range");
        return nullptr;
    }
    return str_of(t.at(i)).release();
}

PyType_Slot ss_slots[] = {
    {Py_tp_doc, (void*)"The shared strings of a workbook as one Arrow string array."},
    {Py_tp_dealloc, (void*)ss_dealloc},
    {Py_sq_length, (void*)ss_length},
    {Py_sq_item, (void*)ss_item},
    {0, nullptr},
};

PyType_Spec ss_spec = {
    "tavrinex._tavrinex.SharedStrings",
    sizeof(SharedStringsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    ss_slots,
};

PyObject* new_shared_strings(StringTablePtr table) {
    PyTypeObject* type = shared_strings_type();
    if (!type) return nullptr;
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    ((SharedStringsObject*)obj.get())->table = new StringTablePtr(std::move(table));
    return obj.release();
}

// -- ArrowTable

struct TableData {
    table::Built built;
};

struct ArrowTableObject {
    PyObject_HEAD
    std::shared_ptr<const TableData>* data;
};

std::atomic<PyObject*> g_arrow_table_type{nullptr};

const TableData& table_of(PyObject* self) { return **((ArrowTableObject*)self)->data; }

void at_dealloc(PyObject* self) {
    PyRef type = PyRef::steal((PyObject*)Py_TYPE(self));
    delete ((ArrowTableObject*)self)->data;
    Py_TYPE(self)->tp_free(self);
}

void release_stream_capsule(PyObject* capsule) {
    auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

void release_schema_capsule(PyObject* capsule) {
    auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

void release_array_capsule(PyObject* capsule) {
    auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (!a) {
        PyErr_Clear();
        return;
    }
    if (a->release) a->release(a);
    delete a;
}

PyRef schema_capsule(const arrow::Field& field) {
    auto* s = new ArrowSchema{};
    try {
        arrow::export_schema(field, s);
    } catch (...) {
        delete s;
        throw;
    }
    PyRef capsule = PyRef::steal(PyCapsule_New(s, "arrow_schema", release_schema_capsule));
    if (!capsule) {
        s->release(s);
        delete s;
    }
    return capsule;
}

// A requested schema may only be the table's own: the table is not cast.
bool accept_requested(PyObject* requested) {
    if (!requested || requested == Py_None) return true;
    PyErr_SetString(PyExc_NotImplementedError,
                    "the table is given in its own schema only (requested_schema must be None)");
    return false;
}

PyObject* at_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"requested_schema"};
        static const ArgSpec spec{"__arrow_c_stream__", names, 1, 0};
        PyObject* a[1] = {nullptr};
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        if (!accept_requested(a[0])) return nullptr;
        const TableData& t = table_of(self);
        auto* s = new ArrowArrayStream{};
        try {
            arrow::export_stream(t.built.schema, {t.built.batch}, s);
        } catch (...) {
            delete s;
            throw;
        }
        PyObject* capsule = PyCapsule_New(s, "arrow_array_stream", release_stream_capsule);
        if (!capsule) {
            s->release(s);
            delete s;
        }
        return capsule;
    });
}

PyObject* at_schema(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return schema_capsule(table_of(self).built.schema).release(); });
}

PyObject* at_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"requested_schema"};
        static const ArgSpec spec{"__arrow_c_array__", names, 1, 0};
        PyObject* a[1] = {nullptr};
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        if (!accept_requested(a[0])) return nullptr;
        const TableData& t = table_of(self);
        PyRef schema = schema_capsule(t.built.schema);
        if (!schema) return nullptr;
        auto* arr = new ArrowArray{};
        try {
            arrow::export_array(t.built.batch, arr);
        } catch (...) {
            delete arr;
            throw;
        }
        PyRef array = PyRef::steal(PyCapsule_New(arr, "arrow_array", release_array_capsule));
        if (!array) {
            arr->release(arr);
            delete arr;
            return nullptr;
        }
        return PyTuple_Pack(2, schema.get(), array.get());
    });
}

PyObject* at_num_rows(PyObject* self, void*) {
    return PyLong_FromLongLong(table_of(self).built.num_rows);
}

PyObject* at_column_names(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const auto& fields = table_of(self).built.schema.children;
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(fields.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            PyRef name = str_of(fields[i].name);
            if (!name) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), name.release());
        }
        return list.release();
    });
}

PyObject* at_column_types(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const auto& types = table_of(self).built.types;
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(types.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < types.size(); ++i) {
            PyObject* name = PyUnicode_FromString(table::kTypeNames[int(types[i])]);
            if (!name) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), name);
        }
        return list.release();
    });
}

constexpr std::int64_t kDayMicros = 86400000000LL;
constexpr std::int64_t kUnixDay = 719162;  // 1970-01-01 in days since 0001-01-01

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// The Python value of row i of a column of type `type`.
PyRef value_at(const PyDateTime_CAPI* api, Type type, const arrow::ArrayData& a,
               std::int64_t i) {
    if (type == Type::Null) return PyRef::borrow(Py_None);
    const arrow::BufferPtr& valid = a.buffers[0];
    if (valid && !arrow::bit(valid->data(), i)) return PyRef::borrow(Py_None);
    const std::uint8_t* values = a.buffers[1]->data();
    auto civil = [&](std::int64_t micros, bool with_time) {
        const std::int64_t days = floor_div(micros, kDayMicros);
        const std::int64_t tod = micros - days * kDayMicros;
        std::int64_t y;
        unsigned m, d;
        civil_from_days(days + kUnixDay, y, m, d);
        if (!with_time)
            return PyRef::steal(api->Date_FromDate(int(y), int(m), int(d), api->DateType));
        return PyRef::steal(api->DateTime_FromDateAndTime(
            int(y), int(m), int(d), int(tod / 3600000000LL), int(tod / 60000000 % 60),
            int(tod / 1000000 % 60), int(tod % 1000000), Py_None, api->DateTimeType));
    };
    switch (type) {
        case Type::Boolean:
            return PyRef::borrow(arrow::bit(values, i) ? Py_True : Py_False);
        case Type::Int:
            return PyRef::steal(PyLong_FromLongLong(reinterpret_cast<const std::int64_t*>(values)[i]));
        case Type::Float:
            return PyRef::steal(PyFloat_FromDouble(reinterpret_cast<const double*>(values)[i]));
        case Type::DateTime:
            return civil(reinterpret_cast<const std::int64_t*>(values)[i], true);
        case Type::Date:
            return civil(std::int64_t(reinterpret_cast<const std::int32_t*>(values)[i]) * kDayMicros,
                         false);
        case Type::Time: {
            const std::int64_t t = reinterpret_cast<const std::int64_t*>(values)[i];
            return PyRef::steal(api->Time_FromTime(int(t / 3600000000LL), int(t / 60000000 % 60),
                                                   int(t / 1000000 % 60), int(t % 1000000), Py_None,
                                                   api->TimeType));
        }
        case Type::Duration: {
            const std::int64_t t = reinterpret_cast<const std::int64_t*>(values)[i];
            const std::int64_t days = floor_div(t, kDayMicros);
            const std::int64_t rest = t - days * kDayMicros;
            return PyRef::steal(api->Delta_FromDelta(int(days), int(rest / 1000000),
                                                     int(rest % 1000000), 1, api->DeltaType));
        }
        case Type::String:
        case Type::Null:
            break;
    }
    return {};
}

// The text of row i of a string column, whatever its layout.
std::string_view text_at(const arrow::ArrayData& a, std::int64_t i) {
    if (a.dictionary) {
        const std::int32_t id = a.buffers[1]->as<std::int32_t>()[i];
        const arrow::ArrayData& d = *a.dictionary;
        const std::int32_t* o = d.buffers[1]->as<std::int32_t>();
        return {reinterpret_cast<const char*>(d.buffers[2]->data()) + o[id],
                std::size_t(o[id + 1] - o[id])};
    }
    if (a.buffers.size() == 3) {  // large strings
        const std::int64_t* o = a.buffers[1]->as<std::int64_t>();
        return {reinterpret_cast<const char*>(a.buffers[2]->data()) + o[i],
                std::size_t(o[i + 1] - o[i])};
    }
    const arrow::View& v = a.buffers[1]->as<arrow::View>()[i];
    if (v.length <= 12) return {v.inline_data, std::size_t(v.length)};
    return {reinterpret_cast<const char*>(a.buffers[2 + std::size_t(v.ref.buffer)]->data()) +
                v.ref.offset,
            std::size_t(v.length)};
}

PyObject* at_column(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const TableData& t = table_of(self);
        const Py_ssize_t j = PyLong_AsSsize_t(arg);
        if (j == -1 && PyErr_Occurred()) return nullptr;
        if (j < 0 || std::size_t(j) >= t.built.types.size()) {
            PyErr_SetString(PyExc_IndexError, "column index out of range");
            return nullptr;
        }
        const auto* api =
            static_cast<const PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
        if (!api) return nullptr;
        const Type type = t.built.types[std::size_t(j)];
        const arrow::ArrayData& a = *t.built.batch->children[std::size_t(j)];
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(a.length)));
        if (!list) return nullptr;
        for (std::int64_t i = 0; i < a.length; ++i) {
            PyRef v;
            if (type == Type::String) {
                const arrow::BufferPtr& valid = a.buffers[0];
                v = valid && !arrow::bit(valid->data(), i) ? PyRef::borrow(Py_None)
                                                           : str_of(text_at(a, i));
            } else {
                v = value_at(api, type, a, i);
            }
            if (!v) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), v.release());
        }
        return list.release();
    });
}

PyMethodDef at_methods[] = {
    {"__arrow_c_stream__", (PyCFunction)(void (*)(void))at_stream, METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The table as an Arrow C stream of one record batch, in a PyCapsule."},
    {"__arrow_c_schema__", (PyCFunction)at_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe table's schema (a struct type) in a PyCapsule."},
    {"__arrow_c_array__", (PyCFunction)(void (*)(void))at_array, METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "The table as one struct array: (schema capsule, array capsule)."},
    {"column", (PyCFunction)at_column, METH_O,
     "column($self, index, /)\n--\n\nThe values of one column as a list of Python objects."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef at_getset[] = {
    {"num_rows", at_num_rows, nullptr, nullptr, nullptr},
    {"column_names", at_column_names, nullptr, nullptr, nullptr},
    {"column_types", at_column_types, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot at_slots[] = {
    {Py_tp_doc, (void*)"Arrow columns built by the engine (the Arrow PyCapsule interface)."},
    {Py_tp_dealloc, (void*)at_dealloc},
    {Py_tp_methods, at_methods},
    {Py_tp_getset, at_getset},
    {0, nullptr},
};

PyType_Spec at_spec = {
    "tavrinex._tavrinex.ArrowTable",
    sizeof(ArrowTableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    at_slots,
};

// -- the shared-string part, read into one buffer

bool is_si(const void*, NamespaceId ns, std::string_view local) {
    return ns == NS_MAIN && local == "si";
}

// Drops every "x005F_" (left to right, non-overlapping), as the package's
// shared-string reader does.
void remove_x005f(std::string& s) {
    std::size_t at = s.find("x005F_");
    if (at == std::string::npos) return;
    std::size_t out = at;
    std::size_t in = at + 6;
    for (;;) {
        const std::size_t next = s.find("x005F_", in);
        const std::size_t stop = next == std::string::npos ? s.size() : next;
        std::memmove(s.data() + out, s.data() + in, stop - in);
        out += stop - in;
        if (next == std::string::npos) break;
        in = next + 6;
    }
    s.resize(out);
}

constexpr std::uint8_t kNeedsCheck = K_CTRL | K_HIGH | K_AMP | K_CR | K_BRACKET;

bool has_x005f(const char* p, std::size_t n) {
    return std::string_view(p, n).find("x005F_") != std::string_view::npos;
}

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Plain items `<si><t>text</t></si>` that follow the current position,
// read straight from the buffer while their text needs no change; stops
// before anything else, which the caller reads the general way.
ReadError plain_items(XmlReader& r, StringTable& out, bool& too_big) {
    too_big = false;
    if (r.last_event() != XmlEvent::End || r.depth() != 1 || r.default_namespace() != NS_MAIN)
        return ReadError::ok();
    std::size_t want = 4096;
    for (;;) {
        r.release_tag();
        bool available = false;
        TVX_TRY(r.require(want, available));
        const char* d = r.data();
        const std::size_t n = r.size();
        std::size_t p = r.pos();
        bool short_item = false;
        for (;;) {
            std::size_t q = p;
            while (q < n && is_space(d[q])) ++q;
            if (n - q < 7) {
                short_item = true;
                break;
            }
            if (std::memcmp(d + q, "<si><t>", 7) != 0) break;
            std::uint8_t classes = 0;
            const std::size_t lt = scan_run(d, q + 7, n, '<', classes);
            if (n - lt < 9) {
                short_item = true;
                break;
            }
            if (std::memcmp(d + lt, "</t></si>", 9) != 0) break;
            const char* text = d + q + 7;
            const std::size_t len = lt - q - 7;
            if (classes & kNeedsCheck) {
                bool decode = false;
                if (check_text_run(text, len, decode) || decode) break;
            }
            if (has_x005f(text, len)) break;
            if (!out.fits(len)) {
                too_big = true;
                return ReadError::ok();
            }
            out.add({text, len});
            p = lt + 9;
        }
        r.advance_to(p);
        if (!short_item || !available || want >= (1u << 20)) return ReadError::ok();
        if (n - p >= want) want *= 4;  // one item longer than the window
    }
}

// The root's uniqueCount (else count): the strings to expect.
std::int64_t expected_count(XmlReader& r) {
    std::int64_t n = -1;
    for (const AttributeRecord& a : r.attributes()) {
        if (a.qname_start != a.local_start) continue;
        const std::string_view name = r.attr_local(a);
        std::int64_t v = 0;
        if ((name == "uniqueCount" || (name == "count" && n < 0)) &&
            parse_fast_int(r.attr_raw_value(a), v) && v >= 0)
            n = v;
    }
    return n;
}

PyObject* read_strings(PyObject* source, const ReaderHelpers& h, PyObject* si_content,
                       std::size_t size_hint) {
    PySource src(source);
    XmlReader r(src);
    auto out = std::make_shared<StringTable>();
    PyItemHost host(h);
    // The part's size bounds its text; pages never written cost nothing.
    constexpr std::size_t kMaxHint = std::size_t(1) << 31;
    bool counted = false;
    TextItem item;
    XmlEvent ev;
    for (;;) {
        if (ReadError e = r.next(ev)) return raise_read_error(e);
        if (ev == XmlEvent::EndOfDocument) break;
        if (ev != XmlEvent::Start && ev != XmlEvent::EmptyStart) continue;
        if (r.depth() == 1 && !counted) {
            counted = true;
            const std::int64_t n = expected_count(r);
            out->reserve(std::min<std::int64_t>(std::max<std::int64_t>(n, 0), 1 << 24),
                         std::min(size_hint, kMaxHint));
        }
        if (r.ns() != NS_MAIN || r.local_name() != "si") continue;
        if (r.depth() != 2) return raise_read_error(ReadError::unsupported("nested si"));
        if (ReadError e = read_text_item(r, {is_si, nullptr}, host, item)) {
            host.restore_pending();
            return raise_read_error(e);
        }
        std::string_view text;
        PyRef value;
        if (item.kind == TextItem::Kind::Text) {
            remove_x005f(item.text);
            text = item.text;
        } else {
            value = PyRef::steal(PyObject_CallFunctionObjArgs(si_content, host.bytes.get(),
                                                              host.namespaces.get(), nullptr));
            if (!value) return nullptr;
            if (!PyUnicode_Check(value.get())) return raise_fallback("shared string not a str");
            Py_ssize_t size = 0;
            const char* p = PyUnicode_AsUTF8AndSize(value.get(), &size);
            if (!p) return nullptr;
            text = {p, std::size_t(size)};
        }
        if (!out->fits(text.size())) return raise_fallback("shared strings over 2 GiB");
        out->add(text);
        bool too_big;
        if (ReadError e = plain_items(r, *out, too_big)) return raise_read_error(e);
        if (too_big) return raise_fallback("shared strings over 2 GiB");
    }
    out->data()->pad();
    out->offsets()->pad();
    return new_shared_strings(std::move(out));
}

// -- tables from Python values

bool to_type(PyObject* name, Type& out) {
    Py_ssize_t size = 0;
    const char* p = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (!p) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a column type is a str");
        return false;
    }
    if (!table::type_from_name({p, std::size_t(size)}, out)) {
        PyErr_Format(PyExc_ValueError, "unknown column type %R", name);
        return false;
    }
    return true;
}

bool to_strings_mode(PyObject* name, table::StringMode& out) {
    const char* p = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (!p) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "strings is a str");
        return false;
    }
    std::string_view s = p;
    if (s == "view")
        out = table::StringMode::View;
    else if (s == "dictionary")
        out = table::StringMode::Dictionary;
    else if (s == "plain")
        out = table::StringMode::Plain;
    else {
        PyErr_Format(PyExc_ValueError, "strings must be 'view', 'dictionary' or 'plain', not %R",
                     name);
        return false;
    }
    return true;
}

// One column of Python values (None, or what the type takes: bool, int,
// float, str; ints of the unit of the temporal types).
bool pack_column(PyObject* values, Type type, table::StringMode strings, const std::string& name,
                 std::int64_t rows, arrow::ArrayPtr& out, arrow::Field& field) {
    table::ColumnPacker packer(type, rows, strings);
    for (std::int64_t i = 0; i < rows; ++i) {
        PyObject* v = PyList_GET_ITEM(values, i);
        if (v == Py_None || type == Type::Null) continue;
        switch (type) {
            case Type::Boolean:
                packer.set_bool(i, v == Py_True);
                break;
            case Type::Float: {
                const double d = PyFloat_AsDouble(v);
                if (d == -1.0 && PyErr_Occurred()) return false;
                packer.set_float(i, d);
                break;
            }
            case Type::String: {
                Py_ssize_t size = 0;
                const char* p = PyUnicode_Check(v) ? PyUnicode_AsUTF8AndSize(v, &size) : nullptr;
                if (!p) {
                    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a string value is a str");
                    return false;
                }
                packer.set_text(i, {p, std::size_t(size)});
                break;
            }
            default: {
                const long long x = PyLong_AsLongLong(v);
                if (x == -1 && PyErr_Occurred()) return false;
                packer.set_int(i, x);
                break;
            }
        }
    }
    out = packer.finish(name, field);
    return true;
}

}  // namespace

PyTypeObject* shared_strings_type() { return make_type_once(g_shared_strings_type, &ss_spec); }
PyTypeObject* arrow_table_type() { return make_type_once(g_arrow_table_type, &at_spec); }

bool is_shared_strings(PyObject* obj) {
    PyTypeObject* type = shared_strings_type();
    return type && Py_IS_TYPE(obj, type);
}

StringTablePtr shared_strings_of(PyObject* obj) { return *((SharedStringsObject*)obj)->table; }

PyRef new_arrow_table(table::Built built) {
    PyTypeObject* type = arrow_table_type();
    if (!type) return {};
    auto data = std::make_shared<TableData>();
    data->built = std::move(built);
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (!obj) return {};
    ((ArrowTableObject*)obj.get())->data = new std::shared_ptr<const TableData>(std::move(data));
    return obj;
}

PyObject* py_read_shared_strings(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"source", "helpers", "size_hint"};
        static const ArgSpec spec{"read_shared_strings", names, 3, 2};
        PyObject* a[3] = {nullptr, nullptr, nullptr};
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        long long hint = 0;
        if (a[2] && !arg_int64("read_shared_strings", "size_hint", a[2], &hint)) return nullptr;
        if (!PyDict_Check(a[1])) {
            arg_type_error("read_shared_strings", "helpers", "dict", a[1]);
            return nullptr;
        }
        ReaderHelpers h;
        if (!h.load(a[1])) return nullptr;
        PyRef si_content = extra_helper(a[1], "si_content");
        if (!si_content) return nullptr;
        return read_strings(a[0], h, si_content.get(), hint > 0 ? std::size_t(hint) : 0);
    });
}

PyObject* py_shared_strings_from_list(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"strings"};
        static const ArgSpec spec{"shared_strings_from_list", names, 1, 1};
        PyObject* a[1];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        if (!PyList_Check(a[0])) {
            arg_type_error("shared_strings_from_list", "strings", "list", a[0]);
            return nullptr;
        }
        auto out = std::make_shared<StringTable>();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a[0]); ++i) {
            PyObject* s = PyList_GET_ITEM(a[0], i);
            if (!PyUnicode_Check(s)) return raise_fallback("shared string not a str");
            Py_ssize_t size = 0;
            const char* p = PyUnicode_AsUTF8AndSize(s, &size);
            if (!p) return nullptr;
            if (!out->fits(std::size_t(size))) return raise_fallback("shared strings over 2 GiB");
            out->add({p, std::size_t(size)});
        }
        out->data()->pad();
        out->offsets()->pad();
        return new_shared_strings(std::move(out));
    });
}

PyObject* py_pack_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"names", "types", "columns", "num_rows", "strings"};
        static const ArgSpec spec{"pack_table", names, 5, 5};
        PyObject* a[5];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        for (int i = 0; i < 3; ++i) {
            if (!PyList_Check(a[i])) {
                arg_type_error("pack_table", names[i], "list", a[i]);
                return nullptr;
            }
        }
        const Py_ssize_t n = PyList_GET_SIZE(a[0]);
        if (PyList_GET_SIZE(a[1]) != n || PyList_GET_SIZE(a[2]) != n) {
            PyErr_SetString(PyExc_ValueError, "names, types and columns differ in length");
            return nullptr;
        }
        long long rows = 0;
        if (!arg_int64("pack_table", "num_rows", a[3], &rows)) return nullptr;
        table::StringMode strings;
        if (!to_strings_mode(a[4], strings)) return nullptr;
        table::Built built;
        built.schema.format = "+s";
        built.schema.nullable = false;
        built.num_rows = rows;
        std::vector<arrow::ArrayPtr> columns;
        for (Py_ssize_t j = 0; j < n; ++j) {
            PyObject* name = PyList_GET_ITEM(a[0], j);
            PyObject* values = PyList_GET_ITEM(a[2], j);
            Py_ssize_t size = 0;
            const char* p = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
            if (!p) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a column name is a str");
                return nullptr;
            }
            Type type;
            if (!to_type(PyList_GET_ITEM(a[1], j), type)) return nullptr;
            if (!PyList_Check(values) || PyList_GET_SIZE(values) != rows) {
                PyErr_SetString(PyExc_ValueError, "a column is a list of num_rows values");
                return nullptr;
            }
            arrow::ArrayPtr array;
            arrow::Field field;
            if (!pack_column(values, type, strings, std::string(p, std::size_t(size)), rows, array,
                             field))
                return nullptr;
            columns.push_back(std::move(array));
            built.types.push_back(type);
            built.schema.children.push_back(std::move(field));
        }
        built.batch = table::record_batch(std::move(columns), rows);
        return new_arrow_table(std::move(built)).release();
    });
}

}  // namespace tvx
