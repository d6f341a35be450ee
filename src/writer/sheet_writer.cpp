// SheetWriter: writes a worksheet's <sheetData> byte for byte as the host's
// row writer does with either XML back end, reading the cells straight from
// a CellStore, from a dict of host cells or from the host's row iterator.
// Cells it cannot reproduce are handed to the host's `write_cell` helper.
#include "core/seed.h"
#include "lib/args.h"
#include "writer/sheet_writer.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "lib/type_once.h"
#include "store/cell_store.h"
#include "store/store_type.h"
#include "utils/utils.h"
#include "writer/value_text.h"
#include "writer/xml_out.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tvx {

namespace {

constexpr std::size_t FLUSH_THRESHOLD = 1048576;
constexpr std::size_t BUFFER_CAPACITY = FLUSH_THRESHOLD + 4096;
constexpr std::int64_t DAY_US = 86400000000LL;

// The nine fields of a style array, the key of the style-id cache.
struct StyleKey {
    std::array<std::int32_t, 9> v;
    bool operator==(const StyleKey& o) const noexcept { return v == o.v; }
};

struct StyleKeyHash {
    std::uint64_t seed = 0;
    std::size_t operator()(const StyleKey& k) const noexcept {
        std::uint64_t h = seed;
        for (std::int32_t x : k.v) {
            h = (h ^ (std::uint32_t)x) * 0x9E3779B97F4A7C15ull;
            h ^= h >> 29;
        }
        return (std::size_t)h;
    }
};

struct StyleId {
    PyRef id;          // what _cell_styles.add returned
    std::string text;  // str(id) as UTF-8
};

// C++ state of a writer, owned by the Python object.
struct WriterCore {
    std::string buf;
    std::unordered_map<StyleKey, StyleId, StyleKeyHash> style_ids;
    std::string scratch;  // rendered formula text

    WriterCore() : style_ids(0, StyleKeyHash{random_seed()}) { buf.reserve(BUFFER_CAPACITY); }
};

enum Name { N_VALUE, N_STYLE, N_COMMENT, N_DATA_TYPE, N_HYPERLINK, N_ROW, N_COLUMN, N_COUNT };
constexpr const char* kNames[N_COUNT] = {"_value",    "_style", "_comment", "data_type",
                                         "hyperlink", "row",    "column"};

struct SheetWriterObject {
    // The host objects held for the writer's life: owned references, made
    // in place by sw_new (tp_alloc gives zeroed, that is empty, PyRefs).
    PyObject_HEAD PyRef ws;
    PyRef write;
    PyRef cell_styles;
    PyRef hyperlinks;
    PyRef style_array;
    PyRef add_comment;
    PyRef write_cell;
    PyRef date_value;
    PyRef date_value_raw;
    PyRef safe_string;
    PyRef names[N_COUNT];
    WriterCore* core;
    NativeEpoch epoch;
    int epoch_kind;  // 0 naive, 1 Windows epoch, 2 no native dates
    const DateTimeApi* datetime_api;
    bool lxml;
    bool iso_dates;
    std::atomic<bool> busy;  // one method call at a time
};

std::atomic<PyObject*> g_writer_type{nullptr};  // made once, see make_type_once

// Takes the writer for one method call; false (without raising) when a
// method of the same writer is already running.
class Borrow {
public:
    explicit Borrow(SheetWriterObject* w) noexcept : flag_(w->busy) {
        bool expected = false;
        ok_ = flag_.compare_exchange_strong(expected, true);
    }
    ~Borrow() {
        if (ok_) flag_.store(false);
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    explicit operator bool() const noexcept { return ok_; }

private:
    std::atomic<bool>& flag_;
    bool ok_ = false;
};

PyObject* already_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
}

bool utf8_of(PyObject* str, std::string_view& out) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(str, &n);
    if (!p) return false;
    out = {p, (std::size_t)n};
    return true;
}

// An exact int within int64; false (no exception) otherwise.
bool exact_int64(PyObject* obj, std::int64_t& out) noexcept {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

void append_int(std::string& out, std::int64_t v) {
    char tmp[24];
    auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
    out.append(tmp, (std::size_t)(r.ptr - tmp));
}

std::int64_t floor_div(__int128 a, std::int64_t b) noexcept {
    __int128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) q -= 1;
    return (std::int64_t)q;
}

// A plain ASCII attribute name: a letter or "_", then letters, digits,
// "_", "." and "-". Namespaced names are not written.
bool attribute_name(std::string_view n) noexcept {
    if (n.empty()) return false;
    for (std::size_t i = 0; i < n.size(); i++) {
        unsigned char c = (unsigned char)n[i];
        bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        bool more = (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (!(alpha || (i > 0 && more))) return false;
    }
    return true;
}

enum class Put { Error, Written, NotWritten };
enum class Path { Done, Fallback, Error };

constexpr std::string_view kFixedTypes[7] = {"n", "s", "f", "b", "e", "d", "inlineStr"};

// One method call of a writer: the buffer, the caches and the host calls.
class Run {
public:
    explicit Run(SheetWriterObject* w) : w_(w), c_(*w->core), buf_(c_.buf), lxml_(w->lxml) {}

    // ---- output ----

    // Hands the whole buffer to `write`; kept as it was if `write` raises.
    bool emit() {
        if (buf_.empty()) return true;
        PyRef chunk = PyRef::steal(
            lxml_ ? PyBytes_FromStringAndSize(buf_.data(), (Py_ssize_t)buf_.size())
                  : PyUnicode_DecodeUTF8(buf_.data(), (Py_ssize_t)buf_.size(), nullptr));
        if (!chunk) return false;
        PyRef r = PyRef::steal(PyObject_CallOneArg(w_->write.get(), chunk.get()));
        if (!r) return false;
        buf_.clear();
        emits_++;
        return true;
    }

    // Drops a row that failed before its end, so that the rows written so
    // far stay whole, as the host's writer leaves them; impossible once
    // part of the row went to `write`.
    void drop_row(std::size_t start) {
        if (emits_ == 0 && buf_.size() >= start) buf_.resize(start);
    }

    bool end_row() {
        buf_ += "</row>";
        return buf_.size() >= FLUSH_THRESHOLD ? emit() : true;
    }

    void append(std::string_view s) { buf_.append(s); }
    std::size_t mark() const noexcept { return buf_.size(); }
    void truncate(std::size_t n) { buf_.resize(n); }

    // Row start tag. `text` is the row text as UTF-8; `text_obj`, when the
    // dimension is present, is the same text as a str (made when null).
    bool row_start(std::string_view text, PyObject* text_obj, PyObject* dim) {
        buf_ += "<row";
        if (!dim || dim == Py_None) {
            buf_ += " r=\"";
            escape_attribute(buf_, text, lxml_);
            buf_ += "\">";
            return true;
        }
        PyRef own;
        if (!text_obj) {
            own = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
            if (!own) return false;
            text_obj = own.get();
        }
        PyRef attrs = PyRef::steal(PyDict_New());
        if (!attrs || PyDict_SetItemString(attrs.get(), "r", text_obj) < 0) return false;
        PyRef r = call_method_one(attrs.get(), "update", dim);
        if (!r) return false;
        PyRef items = PyRef::steal(PyDict_Items(attrs.get()));
        if (!items) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            PyObject* name = PyTuple_GET_ITEM(pair, 0);
            PyObject* value = PyTuple_GET_ITEM(pair, 1);
            for (PyObject* o : {name, value}) {
                if (!PyUnicode_Check(o)) {
                    PyErr_Format(PyExc_TypeError, "row attribute %s must be str, not %.100s",
                                 o == name ? "names" : "values", Py_TYPE(o)->tp_name);
                    return false;
                }
            }
            std::string_view n, v;
            if (!utf8_of(name, n) || !utf8_of(value, v)) return false;
            if (!attribute_name(n)) {
                PyRef repr = PyRef::steal(PyObject_Repr(name));
                if (repr)
                    PyErr_Format(PyExc_ValueError, "invalid row attribute name %U", repr.get());
                return false;
            }
            if (has_control(v)) {
                PyErr_Format(PyExc_ValueError, "row attribute %U holds a control character", name);
                return false;
            }
            buf_ += ' ';
            escape_attribute(buf_, n, lxml_);
            buf_ += "=\"";
            escape_attribute(buf_, v, lxml_);
            buf_ += '"';
        }
        buf_ += '>';
        return true;
    }

    // ---- cells ----

    // The element writer. `t` and `s` may be null (absent).
    Put element(std::int64_t row, std::uint32_t column, std::string_view dt,
                const std::string_view* t, const std::string_view* s, const ValueText& v,
                PyObject* hyperlink, const CellStore::Cached* cached = nullptr) {
        std::string_view text = v.text();
        bool is_f = dt == "f", is_s = dt == "s";
        if (v.kind == ValueTextKind::Text) {
            if ((is_f || is_s) && !v.from_str) return Put::NotWritten;
            if (has_control(text)) return Put::NotWritten;
        }
        // A formula's cached value as the loaded file gave it: its type
        // and cell metadata go on the <c>, its text in <v>.
        const std::string_view* cm = nullptr;
        if (cached && is_f && v.kind == ValueTextKind::Text && !text.empty()) {
            if (cached->has_t) t = &cached->t;
            if (cached->has_cm) cm = &cached->cm;
            if (has_control(cached->v) || (cm && has_control(*cm))) return Put::NotWritten;
        } else {
            cached = nullptr;
        }
        // The attributes cannot carry them either; the host escapes them.
        if ((t && has_control(*t)) || (s && has_control(*s))) return Put::NotWritten;
        if (hyperlink && hyperlink != Py_None) {
            int truth = PyObject_IsTrue(hyperlink);
            if (truth < 0) return Put::Error;
            if (truth) {
                int rc = PyList_CheckExact(w_->hyperlinks.get())
                             ? PyList_Append(w_->hyperlinks.get(), hyperlink)
                             : call_append(hyperlink);
                if (rc < 0) return Put::Error;
            }
        }
        char letters[8];
        std::size_t nl = column_letters(column, letters);
        buf_ += "<c r=\"";
        buf_.append(letters, nl);
        append_int(buf_, row);
        buf_ += '"';
        if (s) {
            buf_ += " s=\"";
            escape_attribute(buf_, *s, lxml_);
            buf_ += '"';
        }
        if (t) {
            buf_ += " t=\"";
            escape_attribute(buf_, *t, lxml_);
            buf_ += '"';
        }
        if (cm) {
            buf_ += " cm=\"";
            escape_attribute(buf_, *cm, lxml_);
            buf_ += '"';
        }
        if (v.kind != ValueTextKind::Text || (v.from_str && text.empty())) {
            buf_ += lxml_ ? "></c>" : " />";
            return Put::Written;
        }
        if (is_f) {
            buf_ += '>';
            std::string_view f = text.substr(first_char_size(text));
            if (!f.empty() || lxml_) {
                buf_ += "<f>";
                escape_text(buf_, f, lxml_);
                buf_ += "</f>";
            } else {
                buf_ += "<f />";
            }
            if (cached && !cached->v.empty()) {
                buf_ += "<v>";
                escape_text(buf_, cached->v, lxml_);
                buf_ += "</v></c>";
            } else {
                buf_ += lxml_ ? "<v></v></c>" : "<v /></c>";
            }
        } else if (is_s) {
            buf_ += "><is><t";
            std::string_view stripped = py_strip(text);
            if (stripped.size() != text.size() && (lxml_ || !stripped.empty())) {
                buf_ += " xml:space=\"preserve\"";
            }
            buf_ += '>';
            escape_text(buf_, text, lxml_);
            buf_ += "</t></is></c>";
        } else {
            buf_ += '>';
            if (!text.empty()) {
                buf_ += "<v>";
                escape_text(buf_, text, lxml_);
                buf_ += "</v></c>";
            } else {
                buf_ += lxml_ ? "<v></v></c>" : "<v /></c>";
            }
        }
        return Put::Written;
    }

    // has_style(); -1 with an exception.
    int has_style(PyObject* style) {
        if (style == Py_None) return 0;
        if (Py_TYPE(style) == (PyTypeObject*)w_->style_array.get()) {
            Py_buffer view;
            if (PyObject_GetBuffer(style, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
                int result = -2;
                if (view.itemsize == 4 && view.format && std::strcmp(view.format, "i") == 0) {
                    const std::int32_t* p = (const std::int32_t*)view.buf;
                    Py_ssize_t n = view.len / 4;
                    result = 0;
                    for (Py_ssize_t i = 0; i < n; i++) {
                        if (p[i]) {
                            result = 1;
                            break;
                        }
                    }
                }
                PyBuffer_Release(&view);
                if (result != -2) return result;
            } else {
                PyErr_Clear();
            }
        }
        // builtins.any
        PyRef it = PyRef::steal(PyObject_GetIter(style));
        if (!it) return -1;
        while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
            int truth = PyObject_IsTrue(item.get());
            if (truth != 0) return truth;
        }
        return PyErr_Occurred() ? -1 : 0;
    }

    // The s text of a style array; the view stays valid for this call.
    bool style_text(PyObject* arr, std::string_view& out) {
        StyleKey key;
        bool keyed = false;
        if (Py_TYPE(arr) == (PyTypeObject*)w_->style_array.get()) {
            Py_buffer view;
            if (PyObject_GetBuffer(arr, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
                if (view.itemsize == 4 && view.len == 36 && view.format &&
                    std::strcmp(view.format, "i") == 0) {
                    std::memcpy(key.v.data(), view.buf, 36);
                    keyed = true;
                }
                PyBuffer_Release(&view);
            } else {
                PyErr_Clear();
            }
        }
        if (keyed) {
            auto it = c_.style_ids.find(key);
            if (it != c_.style_ids.end()) {
                out = it->second.text;
                return true;
            }
        }
        PyRef id = call_method_one(w_->cell_styles.get(), "add", arr);
        if (!id) return false;
        PyRef str = PyRef::steal(PyObject_Str(id.get()));
        if (!str) return false;
        std::string_view sv;
        if (!utf8_of(str.get(), sv)) return false;
        if (keyed) {
            auto& slot = c_.style_ids[key];
            slot.id = std::move(id);
            slot.text.assign(sv);
            out = slot.text;
        } else {
            uncached_style_ = std::string(sv);
            out = uncached_style_;
        }
        return true;
    }

    // (value, keep_d) of a date helper's result; false with an exception.
    bool date_result(PyObject* result, PyRef& value, bool& keep_d) {
        if (!PyTuple_Check(result)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.100s object",
                         Py_TYPE(result)->tp_name);
            return false;
        }
        Py_ssize_t n = PyTuple_GET_SIZE(result);
        if (n != 2) {
            if (n > 2) {
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            } else {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                             n);
            }
            return false;
        }
        PyObject* flag = PyTuple_GET_ITEM(result, 1);
        if (!PyBool_Check(flag)) {
            PyErr_Format(PyExc_TypeError, "keep_d must be bool, not %.100s",
                         Py_TYPE(flag)->tp_name);
            return false;
        }
        value = PyRef::borrow(PyTuple_GET_ITEM(result, 0));
        keep_d = flag == Py_True;
        return true;
    }

    // The host's write_cell for one cell.
    bool fallback(PyObject* cell, bool styled) {
        PyRef r = PyRef::steal(PyObject_CallFunctionObjArgs(w_->write_cell.get(), w_->ws.get(), cell,
                                                            styled ? Py_True : Py_False, nullptr));
        if (!r) return false;
        if (lxml_) {
            if (!PyBytes_Check(r.get())) {
                PyErr_Format(PyExc_TypeError, "expected bytes, %.100s found",
                             Py_TYPE(r.get())->tp_name);
                return false;
            }
            buf_.append(PyBytes_AS_STRING(r.get()), (std::size_t)PyBytes_GET_SIZE(r.get()));
            return true;
        }
        if (!PyUnicode_Check(r.get())) {
            PyErr_Format(PyExc_TypeError, "expected str, %.100s found", Py_TYPE(r.get())->tp_name);
            return false;
        }
        std::string_view sv;
        if (utf8_of(r.get(), sv)) {
            buf_.append(sv);
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        // No UTF-8 form (lone surrogates): the str goes to `write` itself,
        // right after what is pending.
        PyErr_Clear();
        if (!emit()) return false;
        PyRef done = PyRef::steal(PyObject_CallOneArg(w_->write.get(), r.get()));
        return (bool)done;
    }

    // The host-object path.
    bool host_cell(PyObject* cell) {
        const PyRef* n = w_->names;
        PyRef comment = PyRef::steal(PyObject_GetAttr(cell, n[N_COMMENT].get()));
        if (!comment) return false;
        if (comment.get() != Py_None) {
            PyRef r =
                PyRef::steal(PyObject_CallFunctionObjArgs(w_->add_comment.get(), w_->ws.get(), cell, nullptr));
            if (!r) return false;
        }
        PyRef value = PyRef::steal(PyObject_GetAttr(cell, n[N_VALUE].get()));
        if (!value) return false;
        PyRef style = PyRef::steal(PyObject_GetAttr(cell, n[N_STYLE].get()));
        if (!style) return false;
        int styled = has_style(style.get());
        if (styled < 0) return false;
        if (value.get() == Py_None && !styled) {
            int truth = PyObject_IsTrue(comment.get());
            if (truth < 0) return false;
            if (!truth) return true;
        }
        PyRef dt = PyRef::steal(PyObject_GetAttr(cell, n[N_DATA_TYPE].get()));
        if (!dt) return false;
        PyRef row_obj = PyRef::steal(PyObject_GetAttr(cell, n[N_ROW].get()));
        if (!row_obj) return false;
        PyRef col_obj = PyRef::steal(PyObject_GetAttr(cell, n[N_COLUMN].get()));
        if (!col_obj) return false;
        std::int64_t row, col;
        std::string_view dts;
        if (!exact_int64(row_obj.get(), row) || !exact_int64(col_obj.get(), col) || col < 1 ||
            col > (std::int64_t)MAX_COLUMN || !PyUnicode_Check(dt.get())) {
            return fallback(cell, styled);
        }
        if (!utf8_of(dt.get(), dts)) {
            PyErr_Clear();
            return fallback(cell, styled);
        }
        std::string_view stext;
        if (styled && !style_text(style.get(), stext)) return false;
        std::string_view ttext;
        const std::string_view* t = &ttext;
        ValueText vt;
        PyRef date_value;
        if (dts == "f") {
            t = nullptr;
        } else if (dts == "s") {
            ttext = "inlineStr";
        } else if (dts == "d") {
            // The host's helper decides every date of a host cell.
            PyRef r = PyRef::steal(
                PyObject_CallFunctionObjArgs(w_->date_value.get(), w_->ws.get(), cell, nullptr));
            if (!r) return false;
            bool keep_d;
            if (!date_result(r.get(), date_value, keep_d)) return false;
            ttext = keep_d ? "d" : "n";
            value_text(date_value.get(), vt);
        } else {
            ttext = dts;
        }
        if (dts != "d") value_text(value.get(), vt);
        if (vt.kind == ValueTextKind::Unhandled) return fallback(cell, styled);
        PyRef hyperlink = PyRef::steal(PyObject_GetAttr(cell, n[N_HYPERLINK].get()));
        if (!hyperlink) return false;
        CellStore::Cached cached;
        PyRef cached_tuple;
        bool has_cached = false, unhandled = false;
        if (dts == "f" && !cached_of(row, col, cached, cached_tuple, has_cached, unhandled)) {
            return false;
        }
        if (unhandled) return fallback(cell, styled);
        Put p = element(row, (std::uint32_t)col, dts, t, styled ? &stext : nullptr, vt,
                        hyperlink.get(), has_cached ? &cached : nullptr);
        if (p == Put::Error) return false;
        if (p == Put::NotWritten) return fallback(cell, styled);
        return true;
    }

    // Writes every cell of an iterable through the host-object path.
    bool host_cells(PyObject* cells) {
        PyRef it = PyRef::steal(PyObject_GetIter(cells));
        if (!it) return false;
        while (PyRef cell = PyRef::steal(PyIter_Next(it.get()))) {
            if (!host_cell(cell.get())) return false;
        }
        return !PyErr_Occurred();
    }

    // ---- rows of plain values (write-only sheets) ----

    // Whether `v` is written here without a host cell: None, bool, exact
    // int, float and str, and dates and times of a type in `date_styles`.
    static bool plain_value(PyObject* v, PyObject* date_styles) {
        if (v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
            PyUnicode_CheckExact(v)) {
            return true;
        }
        return PyDict_Contains(date_styles, (PyObject*)Py_TYPE(v)) == 1;
    }

    // The cell of `values[i]` through the host: made by `make_cell`, then
    // written through the host-object path.
    bool made_cell(PyObject* make_cell, std::int64_t row, Py_ssize_t i, PyObject* v) {
        PyRef r = PyRef::steal(PyLong_FromLongLong(row));
        if (!r) return false;
        PyRef c = PyRef::steal(PyLong_FromSsize_t(i + 1));
        if (!c) return false;
        PyObject* args[] = {r.get(), c.get(), v};
        PyRef cell = PyRef::steal(PyObject_Vectorcall(make_cell, args, 3, nullptr));
        return cell && host_cell(cell.get());
    }

    // The cells of one row from a tuple of values, column i + 1 for
    // values[i]; `cells[i]`, when set, is the host cell made beforehand.
    bool value_cells(PyObject* values, const std::vector<PyRef>& cells, std::int64_t row,
                     PyObject* date_styles, PyObject* make_cell) {
        Py_ssize_t n = PyTuple_GET_SIZE(values);
        for (Py_ssize_t i = 0; i < n; i++) {
            if (cells[(std::size_t)i]) {
                if (!host_cell(cells[(std::size_t)i].get())) return false;
                continue;
            }
            PyObject* v = PyTuple_GET_ITEM(values, i);
            if (v == Py_None) continue;  // an empty, unstyled cell: not written
            ValueText vt;
            std::string_view dt, ttext, stext;
            const std::string_view* t = &ttext;
            const std::string_view* st = nullptr;
            if (PyBool_Check(v)) {
                dt = "b";
                value_text(v, vt);
            } else if (PyLong_CheckExact(v) || PyFloat_CheckExact(v)) {
                dt = "n";
                value_text(v, vt);
            } else if (PyUnicode_CheckExact(v)) {
                value_text(v, vt);
                if (vt.kind != ValueTextKind::Text) {
                    if (!made_cell(make_cell, row, i, v)) return false;
                    continue;
                }
                dt = kFixedTypes[text_data_type(vt.text())];
                if (dt == "f") t = nullptr;
            } else {
                PyObject* style = nullptr;
                int found = PyDict_GetItemRef(date_styles, (PyObject*)Py_TYPE(v), &style);
                if (found < 0) return false;
                PyRef hold = PyRef::steal(style);
                if (!found || !native_object_serial(v, vt)) {
                    if (!made_cell(make_cell, row, i, v)) return false;
                    continue;
                }
                int styled = has_style(style);
                if (styled < 0) return false;
                if (styled) {
                    if (!style_text(style, stext)) return false;
                    st = &stext;
                }
                dt = "d";
                ttext = "n";
            }
            if (dt != "d" && dt != "f") ttext = dt == "s" ? "inlineStr" : dt;
            if (vt.kind == ValueTextKind::Unhandled) {
                if (!made_cell(make_cell, row, i, v)) return false;
                continue;
            }
            Put p = element(row, (std::uint32_t)(i + 1), dt, t, st, vt, nullptr);
            if (p == Put::Error) return false;
            if (p == Put::NotWritten && !made_cell(make_cell, row, i, v)) return false;
        }
        return true;
    }

    // Where the cached values of the sheet's formula cells are kept: the
    // store the cells live in, or the dict the Python reader filled.
    void set_cached_source(CellStore* store, PyObject* dict) noexcept {
        cached_store_ = store;
        cached_dict_ = dict;
    }

    // The cached value of the formula cell at (row, column), if one is kept;
    // `hold` keeps the texts of a dict entry alive; `unhandled` when the
    // entry is not one the native side writes (the host writes the cell).
    // False with an exception.
    bool cached_of(std::int64_t row, std::int64_t column, CellStore::Cached& out, PyRef& hold,
                   bool& found, bool& unhandled) {
        found = unhandled = false;
        if (cached_store_) {
            // A store keys rows and columns of 32 bits; no other has a value.
            if (row < 0 || row > 0xFFFFFFFFLL || column < 0 || column > 0xFFFFFFFFLL) return true;
            found = cached_store_->cached_of(make_key((std::uint32_t)row, (std::uint32_t)column),
                                             out);
            return true;
        }
        if (!cached_dict_ || PyDict_GET_SIZE(cached_dict_) == 0) return true;
        PyRef key = PyRef::steal(Py_BuildValue("(LL)", (long long)row, (long long)column));
        if (!key) return false;
        PyObject* entry = nullptr;
        int got = PyDict_GetItemRef(cached_dict_, key.get(), &entry);
        if (got < 0) return false;
        hold = PyRef::steal(entry);
        if (!got) return true;
        // (t, v, cm), each a str or None; anything else is the host's to write.
        unhandled = true;
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 3) return true;
        std::string_view parts[3];
        bool present[3];
        for (int i = 0; i < 3; i++) {
            PyObject* item = PyTuple_GET_ITEM(entry, i);
            present[i] = item != Py_None;
            if (present[i] && (!PyUnicode_CheckExact(item) || !utf8_of(item, parts[i]))) {
                PyErr_Clear();
                return true;
            }
        }
        unhandled = false;
        out.has_t = present[0];
        out.t = parts[0];
        out.v = parts[1];
        out.has_cm = present[2];
        out.cm = parts[2];
        found = true;
        return true;
    }

    // ---- the three ways of reading the cells ----

    Path store_path(PyObject* store, PyObject* dims);
    Path dict_path(PyObject* cells, PyObject* dims);
    bool rows_path(PyObject* rows_fallback, PyObject* dims);

private:
    struct StyleSlot {
        bool known = false;
        bool styled = false;
        std::string text;
    };

    int call_append(PyObject* item) {
        PyRef r = call_method_one(w_->hyperlinks.get(), "append", item);
        return r ? 0 : -1;
    }

    StyleSlot* style_slot(CellStore& s, std::uint32_t id);
    bool store_cell(CellStore& s, StoreHold& hold, PyObject* store, const CellLocation& loc);
    bool materialise_and_write(CellStore& s, StoreHold& hold, PyObject* store,
                               const CellLocation& loc);
    double native_serial(const DateParts& p) const noexcept;

    // The serial of a date, datetime or time value computed here, when it
    // is certain to be the host's (a native epoch, no ISO dates, a value
    // of exactly one of those types); false to ask the host.
    bool native_object_serial(PyObject* value, ValueText& vt) const noexcept {
        DateParts parts;
        if (w_->epoch_kind == 2 || w_->iso_dates ||
            !object_date_parts(w_->datetime_api, value, parts)) {
            return false;
        }
        vt = ValueText{};
        vt.kind = ValueTextKind::Text;
        vt.size = float_text(native_serial(parts), vt.buf);
        return true;
    }

    SheetWriterObject* w_;
    WriterCore& c_;
    std::string& buf_;
    bool lxml_;
    std::uint64_t emits_ = 0;  // hand-overs to `write` during this call
    CellStore* cached_store_ = nullptr;  // see set_cached_source
    PyObject* cached_dict_ = nullptr;
    std::string uncached_style_;
    // Style-text cache of the store path: dense below 65536, then a map.
    std::vector<StyleSlot> dense_styles_;
    std::unordered_map<std::uint32_t, StyleSlot> wide_styles_;
};

// Dimension keys as sorted, unique int64; Fallback when one is not a
// plain int within 64 bits.
Path dimension_keys(PyObject* dims, std::vector<std::int64_t>& out) {
    PyRef keys = PyRef::steal(PyObject_CallMethod(dims, "keys", nullptr));
    if (!keys) return Path::Error;
    PyRef it = PyRef::steal(PyObject_GetIter(keys.get()));
    if (!it) return Path::Error;
    while (PyRef k = PyRef::steal(PyIter_Next(it.get()))) {
        std::int64_t v;
        if (!exact_int64(k.get(), v)) return Path::Fallback;
        out.push_back(v);
    }
    if (PyErr_Occurred()) return Path::Error;
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return Path::Done;
}

PyRef dimension_of(PyObject* dims, std::int64_t row) {
    PyRef key = PyRef::steal(PyLong_FromLongLong(row));
    if (!key) return {};
    return call_method_one(dims, "get", key.get());
}

Run::StyleSlot* Run::style_slot(CellStore& s, std::uint32_t id) {
    StyleSlot* slot;
    if (id < 65536) {
        if (id >= dense_styles_.size()) dense_styles_.resize(id + 1);
        slot = &dense_styles_[id];
    } else {
        slot = &wide_styles_[id];
    }
    if (slot->known) return slot;
    PyObject* cs = s.cell_styles_object();
    if (!cs) {
        raise_internal("store without a style list");
        return nullptr;
    }
    PyRef item;
    if (PyList_Check(cs)) {
        PyObject* got = PyList_GetItemRef(cs, (Py_ssize_t)id);
        if (!got) {
            // Out of range: the generic item access gives the host's error.
            PyErr_Clear();
            PyRef i = PyRef::steal(PyLong_FromUnsignedLong(id));
            if (!i) return nullptr;
            got = PyObject_GetItem(cs, i.get());
            if (!got) return nullptr;
        }
        item = PyRef::steal(got);
    } else {
        PyRef i = PyRef::steal(PyLong_FromUnsignedLong(id));
        if (!i) return nullptr;
        item = PyRef::steal(PyObject_GetItem(cs, i.get()));
        if (!item) return nullptr;
    }
    int styled = has_style(item.get());
    if (styled < 0) return nullptr;
    std::string text;
    if (styled) {
        PyRef arr = PyRef::steal(PyObject_CallOneArg(w_->style_array.get(), item.get()));
        if (!arr) return nullptr;
        std::string_view sv;
        if (!style_text(arr.get(), sv)) return nullptr;
        text.assign(sv);
    }
    // The calls above cannot reach this cache, so `slot` is still valid
    // unless the dense table grew; look it up again to be safe.
    slot = id < 65536 ? &dense_styles_[id] : &wide_styles_[id];
    slot->known = true;
    slot->styled = styled;
    slot->text = std::move(text);
    return slot;
}

double Run::native_serial(const DateParts& p) const noexcept {
    double secs = (double)(p.hour * 3600 + p.minute * 60 + p.second);
    double frac = ((double)p.microsecond / 1000000.0 + secs) / 86400.0;
    if (p.is_time) return frac;
    std::int64_t day = days_from_civil(p.year, p.month, p.day);
    std::int64_t u = (std::int64_t)(p.hour * 3600 + p.minute * 60 + p.second) * 1000000 +
                     (std::int64_t)p.microsecond;
    __int128 delta = (__int128)(day - w_->epoch.day) * DAY_US + (u - w_->epoch.micros);
    std::int64_t days = floor_div(delta, DAY_US);
    if (w_->epoch_kind == 1 && days >= 1 && days <= 60) days -= 1;
    return (double)days + frac;
}

bool Run::materialise_and_write(CellStore& s, StoreHold& hold, PyObject* store,
                                const CellLocation& loc) {
    hold.release();
    PyRef cell;
    {
        StoreHold exclusive;
        if (!exclusive.exclusive(store)) return false;
        cell = s.materialise(loc);
    }
    if (!cell) return false;
    if (!hold.shared(store)) return false;
    return host_cell(cell.get());
}

bool Run::store_cell(CellStore& s, StoreHold& hold, PyObject* store, const CellLocation& loc) {
    DecodedCell d = s.decode(loc);
    if (d.kind == K_REMOVED) return true;
    if (d.kind == K_OBJECT) {
        PyRef obj = PyRef::borrow(s.object_at((std::uint32_t)d.payload));
        return host_cell(obj.get());
    }
    bool styled = false;
    std::string_view stext;
    if (d.style != kNoStyle) {
        StyleSlot* slot = style_slot(s, d.style);
        if (!slot) return false;
        styled = slot->styled;
        stext = slot->text;
    }
    PyRef value;
    if (d.kind == K_EMPTY && !styled) return true;
    if (d.kind == K_VALUE || d.kind == K_SHARED) {
        value = s.value_of(d);
        if (!value) return false;
        if (value.get() == Py_None && !styled) return true;
    }
    std::uint32_t column = key_column(d.key);
    if (column < 1 || column > MAX_COLUMN) return materialise_and_write(s, hold, store, loc);
    std::string_view dt;
    if (d.data_type < 7) {
        dt = kFixedTypes[d.data_type];
    } else {
        PyObject* obj = s.data_type_at(d.data_type);
        if (!obj || !PyUnicode_Check(obj)) return materialise_and_write(s, hold, store, loc);
        if (!utf8_of(obj, dt)) {
            PyErr_Clear();
            return materialise_and_write(s, hold, store, loc);
        }
    }
    std::string_view ttext;
    const std::string_view* t = &ttext;
    if (dt == "f") {
        t = nullptr;
    } else if (dt == "s") {
        ttext = "inlineStr";
    } else {
        ttext = dt;
    }
    ValueText vt;
    switch (d.kind) {
        case K_EMPTY:
            vt.kind = ValueTextKind::Absent;
            break;
        case K_INT:
            vt.kind = ValueTextKind::Text;
            vt.size = int_text((std::int64_t)d.payload, vt.buf);
            break;
        case K_FLOAT: {
            double x;
            std::memcpy(&x, &d.payload, sizeof x);
            vt.kind = ValueTextKind::Text;
            vt.size = std::isfinite(x) ? float_text(x, vt.buf) : 0;
            break;
        }
        case K_BOOL:
            vt.kind = ValueTextKind::Text;
            vt.buf[0] = d.payload ? '1' : '0';
            vt.size = 1;
            break;
        case K_TEXT: {
            std::string_view text = s.text_of(d.payload);
            vt.kind = ValueTextKind::Text;
            vt.from_str = true;
            vt.data = text.data();
            vt.size = text.size();
            break;
        }
        case K_SHARED_MOVED:
        case K_SHARED_ASIS:
        case K_TEMPLATE:
            c_.scratch.clear();
            if (!s.render_formula(d, c_.scratch)) return false;
            vt.kind = ValueTextKind::Text;
            vt.from_str = true;
            vt.data = c_.scratch.data();
            vt.size = c_.scratch.size();
            break;
        default:
            break;  // the rest go through their Python value
    }
    bool from_value =
        d.kind == K_SHARED || d.kind == K_VALUE || d.kind == K_DATE_INT || d.kind == K_DATE_FLOAT;
    PyRef date_value;
    if (dt == "d") {
        DateParts parts;
        if (w_->epoch_kind != 2 && (d.kind == K_DATE_INT || d.kind == K_DATE_FLOAT) &&
            !w_->iso_dates && s.date_parts(d, parts)) {
            ttext = "n";
            vt = ValueText{};
            vt.kind = ValueTextKind::Text;
            vt.size = float_text(native_serial(parts), vt.buf);
        } else {
            if (!value) {
                value = s.value_of(d);
                if (!value) return false;
            }
            // Dates appended to a new sheet are the objects themselves,
            // converted here; every other one goes through the host.
            if (d.kind == K_VALUE && s.holds_appended_dates() &&
                native_object_serial(value.get(), vt)) {
                ttext = "n";
            } else {
                PyRef r = PyRef::steal(
                    PyObject_CallFunctionObjArgs(w_->date_value_raw.get(), w_->ws.get(), value.get(), nullptr));
                if (!r) return false;
                bool keep_d;
                if (!date_result(r.get(), date_value, keep_d)) return false;
                ttext = keep_d ? "d" : "n";
                vt = ValueText{};
                value_text(date_value.get(), vt);
            }
        }
    } else if (from_value) {
        if (!value) {
            value = s.value_of(d);
            if (!value) return false;
        }
        vt = ValueText{};
        value_text(value.get(), vt);
    }
    if (vt.kind == ValueTextKind::Unhandled) return materialise_and_write(s, hold, store, loc);
    CellStore::Cached cached;
    const bool has_cached = dt == "f" && s.cached_of(d.key, cached);
    Put p = element((std::int64_t)key_row(d.key), column, dt, t, styled ? &stext : nullptr, vt,
                    nullptr, has_cached ? &cached : nullptr);
    if (p == Put::Error) return false;
    if (p == Put::NotWritten) return materialise_and_write(s, hold, store, loc);
    return true;
}

Path Run::store_path(PyObject* store, PyObject* dims) {
    std::vector<std::int64_t> dim_keys;
    Path keys = dimension_keys(dims, dim_keys);
    if (keys == Path::Error) return Path::Error;
    if (keys == Path::Fallback) {
        raise_fallback("row dimension keys");
        return Path::Error;
    }
    StoreHold hold;
    if (!hold.shared(store)) return Path::Error;
    CellStore& s = store_core(store);

    // Live overflow records, by key.
    std::vector<std::pair<CellKey, std::uint32_t>> over;
    over.reserve(s.live_overflow());
    for (std::size_t p = 0; p < s.overflow_records(); p++) {
        const OverflowCell& o = s.overflow_at(p);
        if (o.kind != K_REMOVED) over.emplace_back(o.key, (std::uint32_t)p);
    }
    std::sort(over.begin(), over.end());

    const std::uint32_t slots = s.compact_slots();
    std::uint32_t pos = 0, hint = 0;
    std::size_t oi = 0, di = 0;
    constexpr std::int64_t kEnd = std::numeric_limits<std::int64_t>::max();
    char rowtext[24];
    while (true) {
        std::int64_t rc = kEnd;
        std::uint32_t ri = 0, first = 0, last = 0;
        if (pos < slots) {
            ri = s.row_index_of(pos, hint);
            std::uint32_t r32 = s.row_at(ri);
            s.row_span(r32, ri, first, last);
            rc = r32;
        }
        std::int64_t ro = oi < over.size() ? (std::int64_t)key_row(over[oi].first) : kEnd;
        std::int64_t rd = di < dim_keys.size() ? dim_keys[di] : kEnd;
        std::int64_t R = std::min({rc, ro, rd});
        if (pos >= slots && oi >= over.size() && di >= dim_keys.size()) break;

        std::uint32_t cf = 0, cl = 0;
        if (rc == R) {
            cf = first;
            cl = last;
            pos = last;
            hint = ri + 1;
        }
        std::size_t of = oi;
        while (oi < over.size() && (std::int64_t)key_row(over[oi].first) == R) oi++;
        std::size_t ol = oi;
        bool has_dim = false;
        while (di < dim_keys.size() && dim_keys[di] == R) {
            di++;
            has_dim = true;
        }
        bool has_cells = ol > of;
        for (std::uint32_t p = cf; p < cl && !has_cells; p++) {
            has_cells = s.compact_at(p).kind != K_REMOVED;
        }
        if (!has_cells && !has_dim) continue;

        auto r = std::to_chars(rowtext, rowtext + sizeof rowtext, R);
        std::string_view text(rowtext, (std::size_t)(r.ptr - rowtext));
        if (has_dim) {
            PyRef dim = dimension_of(dims, R);
            if (!dim || !row_start(text, nullptr, dim.get())) return Path::Error;
        } else {
            row_start(text, nullptr, nullptr);
        }
        // Merge the compact cells and the overflow records of R by column.
        std::uint32_t p = cf;
        std::size_t q = of;
        while (p < cl || q < ol) {
            bool take_compact;
            if (p >= cl) {
                take_compact = false;
            } else if (q >= ol) {
                take_compact = true;
            } else {
                take_compact = s.compact_at(p).column < key_column(over[q].first);
            }
            CellLocation loc;
            if (take_compact) {
                loc = CellLocation{true, ri, p++};
            } else {
                loc = CellLocation{false, 0, over[q++].second};
            }
            if (!store_cell(s, hold, store, loc)) return Path::Error;
        }
        if (!end_row()) return Path::Error;
    }
    return Path::Done;
}

Path Run::dict_path(PyObject* cells, PyObject* dims) {
    struct Entry {
        std::int64_t row, column;
        PyRef cell;
    };
    std::vector<Entry> entries;
    entries.reserve((std::size_t)PyDict_Size(cells));
    bool plain = true;
    Py_BEGIN_CRITICAL_SECTION(cells);
    Py_ssize_t i = 0;
    PyObject *k, *v;
    while (PyDict_Next(cells, &i, &k, &v)) {
        std::int64_t r, c;
        if (!PyTuple_CheckExact(k) || PyTuple_GET_SIZE(k) != 2 ||
            !exact_int64(PyTuple_GET_ITEM(k, 0), r) || !exact_int64(PyTuple_GET_ITEM(k, 1), c) ||
            entries.size() == entries.capacity()) {
            plain = false;
            break;
        }
        entries.push_back({r, c, PyRef::borrow(v)});
    }
    Py_END_CRITICAL_SECTION();
    if (!plain) return Path::Fallback;
    std::vector<std::int64_t> dim_keys;
    Path keys = dimension_keys(dims, dim_keys);
    if (keys != Path::Done) return keys;
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    std::size_t ci = 0, di = 0;
    char rowtext[24];
    while (ci < entries.size() || di < dim_keys.size()) {
        std::int64_t R;
        if (ci >= entries.size()) {
            R = dim_keys[di];
        } else if (di >= dim_keys.size()) {
            R = entries[ci].row;
        } else {
            R = std::min(entries[ci].row, dim_keys[di]);
        }
        while (di < dim_keys.size() && dim_keys[di] == R) di++;
        PyRef dim = dimension_of(dims, R);
        if (!dim) return Path::Error;
        auto r = std::to_chars(rowtext, rowtext + sizeof rowtext, R);
        if (!row_start({rowtext, (std::size_t)(r.ptr - rowtext)}, nullptr, dim.get())) {
            return Path::Error;
        }
        while (ci < entries.size() && entries[ci].row == R) {
            if (!host_cell(entries[ci].cell.get())) return Path::Error;
            ci++;
        }
        if (!end_row()) return Path::Error;
    }
    return Path::Done;
}

bool Run::rows_path(PyObject* rows_fallback, PyObject* dims) {
    PyRef rows = PyRef::steal(PyObject_CallNoArgs(rows_fallback));
    if (!rows) return false;
    PyRef it = PyRef::steal(PyObject_GetIter(rows.get()));
    if (!it) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        if (!PyTuple_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-tuple %.100s object as a row",
                         Py_TYPE(item.get())->tp_name);
            return false;
        }
        Py_ssize_t n = PyTuple_GET_SIZE(item.get());
        if (n != 2) {
            if (n > 2) {
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            } else {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                             n);
            }
            return false;
        }
        PyObject* row_idx = PyTuple_GET_ITEM(item.get(), 0);
        PyObject* cells = PyTuple_GET_ITEM(item.get(), 1);
        PyRef text = PyRef::steal(PyObject_Str(row_idx));
        if (!text) return false;
        PyRef dim = call_method_one(dims, "get", row_idx);
        if (!dim) return false;
        std::string_view tv;
        if (!utf8_of(text.get(), tv)) return false;
        if (!row_start(tv, text.get(), dim.get())) return false;
        if (!host_cells(cells)) return false;
        if (!end_row()) return false;
    }
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------- the type

int sw_clear(PyObject* self) {
    auto* w = (SheetWriterObject*)self;
    for (PyRef* r : {&w->ws, &w->write, &w->cell_styles, &w->hyperlinks, &w->style_array,
                     &w->add_comment, &w->write_cell, &w->date_value, &w->date_value_raw,
                     &w->safe_string})
        r->reset();
    for (PyRef& n : w->names) n.reset();
    if (w->core) {
        // Dropping the ids may run Python code: detach the map first.
        auto ids = std::move(w->core->style_ids);
        w->core->style_ids.clear();
    }
    return 0;
}

int sw_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* w = (SheetWriterObject*)self;
    Py_VISIT(Py_TYPE(self));
    for (const PyRef* r : {&w->ws, &w->write, &w->cell_styles, &w->hyperlinks, &w->style_array,
                           &w->add_comment, &w->write_cell, &w->date_value, &w->date_value_raw,
                           &w->safe_string})
        Py_VISIT(r->get());
    if (w->core) {
        for (auto& entry : w->core->style_ids) Py_VISIT(entry.second.id.get());
    }
    return 0;
}

void sw_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    sw_clear(self);
    auto* w = (SheetWriterObject*)self;
    delete w->core;
    w->core = nullptr;
    w->busy.~atomic();
    tp->tp_free(self);
    Py_DECREF(tp);
}

bool helper(PyObject* helpers, const char* key, PyRef& out) { return get_helper(helpers, key, out); }

PyObject* sw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"ws", "write", "lxml", "helpers"};
        static const ArgSpec spec{"SheetWriter", names, 4, 4};
        PyObject* a[4];
        if (!parse_call_args(spec, args, kwargs, a)) return nullptr;
        if (!PyBool_Check(a[2])) {
            arg_type_error("SheetWriter", "lxml", "bool", a[2]);
            return nullptr;
        }
        if (!PyDict_Check(a[3])) {
            arg_type_error("SheetWriter", "helpers", "dict", a[3]);
            return nullptr;
        }
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto* w = (SheetWriterObject*)self.get();
        new (&w->busy) std::atomic<bool>(false);
        for (PyRef* r : {&w->ws, &w->write, &w->cell_styles, &w->hyperlinks, &w->style_array,
                         &w->add_comment, &w->write_cell, &w->date_value, &w->date_value_raw,
                         &w->safe_string})
            new (r) PyRef();
        for (PyRef& n : w->names) new (&n) PyRef();
        w->ws = PyRef::borrow(a[0]);
        w->write = PyRef::borrow(a[1]);
        w->lxml = a[2] == Py_True;
        PyObject* helpers = a[3];
        w->core = new WriterCore();
        for (int i = 0; i < N_COUNT; i++) {
            w->names[i] = PyRef::steal(PyUnicode_InternFromString(kNames[i]));
            if (!w->names[i]) return nullptr;
        }
        PyRef wb = PyRef::steal(PyObject_GetAttrString(w->ws.get(), "parent"));
        if (!wb) return nullptr;
        w->cell_styles = PyRef::steal(PyObject_GetAttrString(wb.get(), "_cell_styles"));
        if (!w->cell_styles) return nullptr;
        w->hyperlinks = PyRef::steal(PyObject_GetAttrString(w->ws.get(), "_hyperlinks"));
        if (!w->hyperlinks) return nullptr;
#define TVX_LOAD(member, key) \
    if (!helper(helpers, key, w->member)) return nullptr;
        TVX_WRITER_HELPERS(TVX_LOAD)
#undef TVX_LOAD
        PyRef wb2 = PyRef::steal(PyObject_GetAttrString(w->ws.get(), "parent"));
        if (!wb2) return nullptr;
        PyRef epoch = PyRef::steal(PyObject_GetAttrString(wb2.get(), "epoch"));
        if (!epoch || !read_epoch(epoch.get(), w->epoch)) return nullptr;
        w->epoch_kind = !w->epoch.native ? 2 : w->epoch.windows ? 1 : 0;
        w->datetime_api = datetime_capi();
        if (!w->datetime_api) return nullptr;
        PyRef iso = PyRef::steal(PyObject_GetAttrString(wb2.get(), "iso_dates"));
        if (!iso) return nullptr;
        if (!PyBool_Check(iso.get())) {
            PyErr_Format(PyExc_TypeError, "iso_dates must be a bool, not %.100s",
                         Py_TYPE(iso.get())->tp_name);
            return nullptr;
        }
        w->iso_dates = iso.get() == Py_True;
        return self.release();
    });
}

// Points `run` at where the cached values of the sheet's formula cells are
// kept: the store its cells live in, or the worksheet's dict when the Python
// reader read it (`cache` holds that dict). False with an exception.
bool cached_values(SheetWriterObject* w, Run& run, PyObject* cells, PyRef& cache) {
    if (is_cell_store(cells)) {
        run.set_cached_source(&store_core(cells), nullptr);
        return true;
    }
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttrString(w->ws.get(), "_formula_cache", &raw) < 0) return false;
    cache = PyRef::steal(raw);
    if (cache && PyDict_Check(cache.get())) run.set_cached_source(nullptr, cache.get());
    return true;
}

PyObject* write_sheet_data_body(SheetWriterObject* w, PyObject* rows_fallback) {
    Borrow borrow(w);
    if (!borrow) return already_borrowed();
    Run run(w);
    PyRef cells = PyRef::steal(PyObject_GetAttrString(w->ws.get(), "_cells"));
    if (!cells) return nullptr;
    PyRef dims = PyRef::steal(PyObject_GetAttrString(w->ws.get(), "row_dimensions"));
    if (!dims) return nullptr;
    PyRef cache;
    if (!cached_values(w, run, cells.get(), cache)) return nullptr;
    std::size_t start = run.mark();
    run.append("<sheetData>");
    bool rows = true;
    if (is_cell_store(cells.get())) {
        bool dict_mode;
        {
            StoreHold hold;
            if (!hold.shared(cells.get())) return nullptr;
            dict_mode = (bool)store_core(cells.get()).dict;
        }
        if (!dict_mode) {
            Path p = run.store_path(cells.get(), dims.get());
            if (p == Path::Error) {
                // A declined call leaves the writer as it found it.
                if (PyErr_ExceptionMatches(native_fallback_type())) run.truncate(start);
                return nullptr;
            }
            rows = false;
        }
    } else if (PyDict_Check(cells.get())) {
        Path p = run.dict_path(cells.get(), dims.get());
        if (p == Path::Error) return nullptr;
        rows = p == Path::Fallback;
    }
    if (rows && !run.rows_path(rows_fallback, dims.get())) return nullptr;
    run.append("</sheetData>");
    if (!run.emit()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* sw_write_sheet_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"rows_fallback"};
        static const ArgSpec spec{"write_sheet_data", names, 1, 1};
        PyObject* a[1];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        PyObject* result;
        // The critical section is left on every path: nothing C++ crosses it.
        Py_BEGIN_CRITICAL_SECTION(self);
        result = guarded([&] { return write_sheet_data_body((SheetWriterObject*)self, a[0]); });
        Py_END_CRITICAL_SECTION();
        return result;
    });
}

// One row of a streaming write: the row's start tag with its dimension's
// attributes, the cells `write_cells(run)` writes, the end tag. A row that
// fails part-way is cut from the buffer, so the next row starts clean.
template <class WriteCells>
PyObject* write_one_row(SheetWriterObject* w, long long row, WriteCells&& write_cells) {
    Run run(w);
    PyRef cells, cache;
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttrString(w->ws.get(), "_cells", &raw) < 0) return nullptr;
    cells = PyRef::steal(raw);
    if (cells && !cached_values(w, run, cells.get(), cache)) return nullptr;
    PyRef dims = PyRef::steal(PyObject_GetAttrString(w->ws.get(), "row_dimensions"));
    if (!dims) return nullptr;
    PyRef dim = dimension_of(dims.get(), row);
    if (!dim) return nullptr;
    char rowtext[24];
    auto r = std::to_chars(rowtext, rowtext + sizeof rowtext, (std::int64_t)row);
    std::size_t start = run.mark();
    if (!run.row_start({rowtext, (std::size_t)(r.ptr - rowtext)}, nullptr, dim.get()) ||
        !write_cells(run)) {
        run.drop_row(start);
        return nullptr;
    }
    if (!run.end_row()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* write_row_body(SheetWriterObject* w, PyObject* cells, PyObject* row_obj) {
    Borrow borrow(w);
    if (!borrow) return already_borrowed();
    PyRef index = PyRef::steal(PyNumber_Index(row_obj));
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            arg_type_error("write_row", "row_idx", "int", row_obj);
        }
        return nullptr;
    }
    long long row = PyLong_AsLongLong(index.get());
    if (row == -1 && PyErr_Occurred()) return nullptr;
    return write_one_row(w, row, [&](Run& run) { return run.host_cells(cells); });
}

PyObject* write_values_body(SheetWriterObject* w, PyObject* const* a) {
    Borrow borrow(w);
    if (!borrow) return already_borrowed();
    PyObject* values = a[0];
    PyObject* date_styles = a[2];
    PyObject* make_cell = a[3];
    if (!PyTuple_Check(values)) {
        arg_type_error("write_values", "values", "tuple", values);
        return nullptr;
    }
    long long row = 0;
    if (!arg_int64("write_values", "row_idx", a[1], &row)) return nullptr;
    if (!PyDict_Check(date_styles)) {
        arg_type_error("write_values", "date_styles", "dict", date_styles);
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(values);
    if (n > (Py_ssize_t)MAX_COLUMN) {
        PyErr_Format(PyExc_ValueError, "a row holds at most %u cells", (unsigned)MAX_COLUMN);
        return nullptr;
    }
    // The host cells come first, as the host makes a row's cells before
    // writing any: an error there leaves nothing of the row written.
    std::vector<PyRef> cells((std::size_t)n);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* v = PyTuple_GET_ITEM(values, i);
        if (Run::plain_value(v, date_styles)) continue;
        if (PyErr_Occurred()) return nullptr;
        PyRef r = PyRef::steal(PyLong_FromLongLong(row));
        if (!r) return nullptr;
        PyRef c = PyRef::steal(PyLong_FromSsize_t(i + 1));
        if (!c) return nullptr;
        PyObject* args[] = {r.get(), c.get(), v};
        cells[(std::size_t)i] = PyRef::steal(PyObject_Vectorcall(make_cell, args, 3, nullptr));
        if (!cells[(std::size_t)i]) return nullptr;
    }
    return write_one_row(w, row, [&](Run& run) {
        return run.value_cells(values, cells, row, date_styles, make_cell);
    });
}

PyObject* sw_write_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"values", "row_idx", "date_styles", "make_cell"};
        static const ArgSpec spec{"write_values", names, 4, 4};
        PyObject* a[4];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        PyObject* result;
        Py_BEGIN_CRITICAL_SECTION(self);
        result = guarded([&] { return write_values_body((SheetWriterObject*)self, a); });
        Py_END_CRITICAL_SECTION();
        return result;
    });
}

PyObject* sw_write_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"cells", "row_idx"};
        static const ArgSpec spec{"write_row", names, 2, 2};
        PyObject* a[2];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        PyObject* result;
        Py_BEGIN_CRITICAL_SECTION(self);
        result = guarded([&] { return write_row_body((SheetWriterObject*)self, a[0], a[1]); });
        Py_END_CRITICAL_SECTION();
        return result;
    });
}

PyObject* sw_flush(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyObject* result = nullptr;
        Py_BEGIN_CRITICAL_SECTION(self);
        result = guarded([&]() -> PyObject* {
            auto* w = (SheetWriterObject*)self;
            Borrow borrow(w);
            if (!borrow) return already_borrowed();
            Run run(w);
            return run.emit() ? Py_NewRef(Py_None) : nullptr;
        });
        Py_END_CRITICAL_SECTION();
        return result;
    });
}

PyMethodDef sw_methods[] = {
    {"write_sheet_data", (PyCFunction)(void (*)(void))sw_write_sheet_data,
     METH_FASTCALL | METH_KEYWORDS,
     "write_sheet_data($self, rows_fallback)\n--\n\n"
     "Write the whole `<sheetData>` element for `ws` (`tavrinex.writer.write_rows`).\n"
     "`rows_fallback` is `tavrinex.writer.rows` bound to `ws`, used when cell keys are not\n"
     "plain integer tuples."},
    {"write_row", (PyCFunction)(void (*)(void))sw_write_row, METH_FASTCALL | METH_KEYWORDS,
     "write_row($self, cells, row_idx)\n--\n\n"
     "Write one `<row>` from an iterable of cells (write-only worksheets)."},
    {"write_values", (PyCFunction)(void (*)(void))sw_write_values, METH_FASTCALL | METH_KEYWORDS,
     "write_values($self, values, row_idx, date_styles, make_cell)\n--\n\n"
     "Write one `<row>` from a tuple of values, column i + 1 for values[i], as\n"
     "`write_row` writes the cells a write-only worksheet makes of them: None,\n"
     "bool, int, float and str values, and dates and times whose type is in\n"
     "`date_styles` (with that style array), are written here; any other value\n"
     "is written as the cell `make_cell(row_idx, column, value)` returns."},
    {"flush", (PyCFunction)sw_flush, METH_NOARGS, "flush($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sw_slots[] = {
    {Py_tp_doc, (void*)"SheetWriter(ws, write, lxml, helpers)\n--\n\n"},
    {Py_tp_new, (void*)sw_new},
    {Py_tp_dealloc, (void*)sw_dealloc},
    {Py_tp_traverse, (void*)sw_traverse},
    {Py_tp_clear, (void*)sw_clear},
    {Py_tp_methods, sw_methods},
    {0, nullptr},
};

PyType_Spec sw_spec = {
    "tavrinex._tavrinex.SheetWriter",
    sizeof(SheetWriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    sw_slots,
};

}  // namespace

PyTypeObject* sheet_writer_type() { return make_type_once(g_writer_type, &sw_spec); }

}  // namespace tvx
