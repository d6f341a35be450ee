// SheetTable: one worksheet read into the data road's cell records by the
// sheet parser, then laid out and built into Arrow columns. The steps are
// methods so that the package decides in between what only it can
// decide (rows a callable skips, the columns a selection names, merged
// ranges from their element).
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "lib/sheet_host.h"
#include "lib/table_types.h"
#include "lib/type_once.h"
#include "lib/values.h"
#include "lib/xml_host.h"
#include "sheet/sheet_parser.h"

#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstring>

namespace tvx {

namespace {

using table::Kind;

constexpr std::int64_t kDayMicros = 86400000000LL;
constexpr std::int64_t kUnixDay = 719162;  // 1970-01-01 in days since 0001-01-01

// Signals of the sink that end the parse without an exception set.
const char kStop[] = "enough rows";
const char kTableError[] = "table error";

std::int64_t micros_of(const DateParts& p) {
    const std::int64_t tod =
        ((std::int64_t(p.hour) * 60 + p.minute) * 60 + p.second) * 1000000LL + p.microsecond;
    if (p.is_time) return tod;
    return (days_from_civil(p.year, p.month, p.day) - kUnixDay) * kDayMicros + tod;
}

std::uint64_t bits_of(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

struct State {
    std::unique_ptr<table::SheetCells> cells;
    std::vector<std::int64_t> day_styles;  // sorted
    bool keep_elements = false;
    bool parsed = false, laid_out = false, built = false;
    table::Layout layout;
    PyRef elements, warnings;  // lists
};

// The interpreter lock, let go for the whole read of a sheet and taken
// back for each call into Python: reads of the source, the host's answers
// and steps, the few cells only the host converts.
class LockGap {
public:
    void leave() noexcept { state_ = PyEval_SaveThread(); }
    void enter() noexcept {
        PyEval_RestoreThread(state_);
        state_ = nullptr;
    }
    bool left() const noexcept { return state_ != nullptr; }

private:
    PyThreadState* state_ = nullptr;
};

// Holds the lock for one scope, inside the gap or out of it.
class Locked {
public:
    explicit Locked(LockGap& gap) noexcept : gap_(gap), taken_(gap.left()) {
        if (taken_) gap_.enter();
    }
    ~Locked() {
        if (taken_) gap_.leave();
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    LockGap& gap_;
    bool taken_;
};

// The source read a megabyte at a time, so that the lock is taken back
// once a megabyte rather than once a read.
class GapSource final : public ByteSource {
public:
    GapSource(PySource& inner, LockGap& gap) noexcept : inner_(inner), gap_(gap) {}
    ReadError read(std::string& buf) override {
        Locked lock(gap_);
        for (int i = 0; i < 16; ++i) {
            const std::size_t before = buf.size();
            TVX_TRY(inner_.read(buf));
            if (buf.size() == before) break;  // the end
        }
        return ReadError::ok();
    }

private:
    PySource& inner_;
    LockGap& gap_;
};

// The package's answers to the parser, each asked with the lock held.
class GapHost final : public SheetHost {
public:
    GapHost(PySheetHost& host, LockGap& gap) noexcept : h_(host), gap_(gap) {}
    const NameSet& text_dangerous() const noexcept override { return h_.text_dangerous(); }
    const NameSet& rich_dangerous() const noexcept override { return h_.rich_dangerous(); }
    ReadError judge_rpr(const XmlReader& reader, std::string_view raw, bool& lossless) override {
        Locked lock(gap_);
        return h_.judge_rpr(reader, raw, lossless);
    }
    ReadError take_capture(const XmlReader& reader, std::string_view raw) override {
        Locked lock(gap_);
        return h_.take_capture(reader, raw);
    }
    ReadError coordinate(std::string_view text, std::int64_t& row, std::int64_t& column) override {
        Locked lock(gap_);
        return h_.coordinate(text, row, column);
    }
    ReadError row_number(std::string_view text, std::int64_t& row) override {
        Locked lock(gap_);
        return h_.row_number(text, row);
    }
    ReadError style_id(std::string_view text, std::int64_t& id, bool& unusual) override {
        Locked lock(gap_);
        return h_.style_id(text, id, unusual);
    }

private:
    PySheetHost& h_;
    LockGap& gap_;
};

// The sheet parser's cells into cell records.
class TableSink final : public SheetSink {
public:
    TableSink(State& state, PySheetHost& host, const ParserOptions& options,
              const PyDateTime_CAPI* api, LockGap& gap)
        : s_(state), cells_(*state.cells), host_(host), options_(options), api_(api), gap_(gap) {}

    ReadError on_element(const XmlReader& reader, std::string_view b) override {
        if (!s_.keep_elements) return ReadError::ok();
        // Only merged ranges are needed from around the cells.
        std::size_t end = b.find_first_of(" \t\r\n/>", 1);
        std::string_view name = b.substr(1, end == std::string_view::npos ? b.size() : end - 1);
        if (std::size_t colon = name.find(':'); colon != std::string_view::npos)
            name = name.substr(colon + 1);
        if (name != "mergeCells") return ReadError::ok();
        Locked lock(gap_);
        PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(b.data(), Py_ssize_t(b.size())));
        if (!bytes) return ReadError::source();
        PyRef namespaces = namespaces_in_scope(reader);
        if (!namespaces) return ReadError::source();
        PyRef entry = PyRef::steal(PyTuple_Pack(2, bytes.get(), namespaces.get()));
        if (!entry || PyList_Append(s_.elements.get(), entry.get()) < 0) return ReadError::source();
        return ReadError::ok();
    }

    ReadError on_row(const RowEvent& row) override {
        // Row attributes are not kept: memory stays that of the cells.
        cells_.begin_row(row.row);
        if (cells_.error()) return ReadError::unsupported(kTableError);
        if (cells_.enough()) return ReadError::unsupported(kStop);
        return ReadError::ok();
    }

    ReadError on_cell(CellEvent& cell) override {
        Kind kind = Kind::Empty;
        std::uint64_t payload = 0;
        std::string_view text;
        const ParsedValue& v = cell.value;
        if (PySheetHost::complete(cell)) {
            TVX_TRY(native_value(cell, v.form, v.i, v.f, v.text, v.data_type, kind, payload, text));
        } else if (v.form == ValueForm::Host && v.host == HostStep::SharedString && !v.i_set) {
            // An index text only the host's int() reads: the Python road decides.
            return ReadError::unsupported("shared string index");
        } else if (!native_step(cell, kind, payload, text)) {
            // What only the host converts, converted by it with the lock held.
            Locked lock(gap_);
            TVX_TRY(host_.cell_values(cell, value_, nullptr));
            const CellValue& c = value_;
            if (c.form == ValueForm::Object) {
                TVX_TRY(object_value(c, cell, kind, payload, text));
            } else {
                TVX_TRY(native_value(cell, c.form, c.i, c.f, c.text, c.data_type, kind, payload,
                                     text));
            }
            if (!cells_.add(cell.column, kind, payload, text))
                return ReadError::unsupported(kTableError);
            return ReadError::ok();
        }
        if (!cells_.add(cell.column, kind, payload, text)) return ReadError::unsupported(kTableError);
        return ReadError::ok();
    }

private:
    // A value converted as far as the host converts it, by its form.
    ReadError native_value(const CellEvent& cell, ValueForm form, std::int64_t i, double f,
                           std::string_view t, std::uint8_t data_type, Kind& kind,
                           std::uint64_t& payload, std::string_view& text) const {
        switch (form) {
            case ValueForm::None:
                break;
            case ValueForm::Int:
                kind = Kind::Int;
                payload = std::uint64_t(i);
                break;
            case ValueForm::Float:
                kind = Kind::Float;
                payload = bits_of(f);
                break;
            case ValueForm::Bool:
                kind = Kind::Bool;
                payload = i ? 1 : 0;
                break;
            case ValueForm::SharedIndex:
                kind = Kind::Shared;
                payload = std::uint64_t(i);
                break;
            case ValueForm::Text:
                kind = data_type == DT_E ? Kind::Error : Kind::Text;
                text = t;
                break;
            case ValueForm::DateInt:
            case ValueForm::DateFloat: {
                DateParts parts;
                const bool ok = form == ValueForm::DateInt
                                    ? date_parts_int(options_.sheet.epoch, i, parts)
                                    : date_parts_float(options_.sheet.epoch, f, parts);
                if (!ok) return ReadError::unsupported("date serial");
                payload = std::uint64_t(micros_of(parts));
                kind = parts.is_time ? Kind::Time : date_kind(std::int64_t(payload), cell);
                break;
            }
            case ValueForm::Host:
            case ValueForm::Object:
                return ReadError::unsupported("a value with a host step left");
        }
        return ReadError::ok();
    }

    // The host steps the table reader takes itself: a shared string by
    // an index it counts back from the end as the host's list does, and a
    // number in a duration format. False leaves the cell to the host.
    bool native_step(const CellEvent& cell, Kind& kind, std::uint64_t& payload,
                     std::string_view&) const {
        const ParsedValue& v = cell.value;
        if (cell.formula_used || v.data_type == DT_OTHER) return false;
        if (v.form == ValueForm::Host && v.host == HostStep::SharedString && v.i_set &&
            v.date == DateStep::None) {
            const std::int64_t n = cells_.strings().size();
            const std::int64_t index = v.i < 0 ? v.i + n : v.i;
            if (index < 0 || index >= n) return false;  // the host raises its IndexError
            kind = Kind::Shared;
            payload = std::uint64_t(index);
            return true;
        }
        if (v.date != DateStep::Excel || !options_.sheet.is_timedelta_style(cell.style_id) ||
            cell.unusual_style)
            return false;
        // The host's serial to timedelta: whole days, and the fraction to
        // the millisecond (half to even), within what 64-bit microseconds hold.
        constexpr std::int64_t kMaxDays = 106751990;
        if (v.form == ValueForm::Int) {
            if (v.i > kMaxDays || v.i < -kMaxDays) return false;
            payload = std::uint64_t(v.i * kDayMicros);
        } else if (v.form == ValueForm::Float) {
            if (!std::isfinite(v.f)) return false;
            double frac = std::fmod(v.f, 1.0);
            double whole = std::trunc(v.f);
            if (frac < 0) {
                frac += 1.0;
                whole -= 1.0;
            }
            if (whole > double(kMaxDays) || whole < -double(kMaxDays)) return false;
            const auto ms = std::int64_t(std::nearbyint(frac * 86400.0 * 1000.0));
            payload = std::uint64_t(std::int64_t(whole) * kDayMicros + ms * 1000);
        } else {
            return false;
        }
        kind = Kind::Duration;
        return true;
    }

    Kind date_kind(std::int64_t micros, const CellEvent& cell) const {
        if (micros % kDayMicros != 0 || cell.unusual_style) return Kind::DateTime;
        return std::binary_search(s_.day_styles.begin(), s_.day_styles.end(), cell.style_id)
                   ? Kind::DayStart
                   : Kind::DateTime;
    }

    // A value the host made: the kinds a workbook cell can give.
    ReadError object_value(const CellValue& v, const CellEvent& cell, Kind& kind,
                           std::uint64_t& payload, std::string_view& text) {
        PyObject* o = v.obj.get();
        if (o == Py_True || o == Py_False) {
            kind = Kind::Bool;
            payload = o == Py_True;
        } else if (PyLong_CheckExact(o)) {
            int overflow = 0;
            const long long i = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow) return ReadError::unsupported("integer beyond 64 bits");
            if (i == -1 && PyErr_Occurred()) return ReadError::source();
            kind = Kind::Int;
            payload = std::uint64_t(i);
        } else if (PyFloat_CheckExact(o)) {
            kind = Kind::Float;
            payload = bits_of(PyFloat_AS_DOUBLE(o));
        } else if (PyUnicode_CheckExact(o)) {
            Py_ssize_t n = 0;
            const char* p = PyUnicode_AsUTF8AndSize(o, &n);
            if (!p) return ReadError::source();
            kind = v.data_type == DT_E ? Kind::Error : Kind::Text;
            text = {p, std::size_t(n)};
        } else if (Py_IS_TYPE(o, api_->DateTimeType)) {
            if (PyDateTime_DATE_GET_TZINFO(o) != Py_None) return ReadError::unsupported("aware datetime");
            DateParts parts;
            parts.year = PyDateTime_GET_YEAR(o);
            parts.month = unsigned(PyDateTime_GET_MONTH(o));
            parts.day = unsigned(PyDateTime_GET_DAY(o));
            parts.hour = unsigned(PyDateTime_DATE_GET_HOUR(o));
            parts.minute = unsigned(PyDateTime_DATE_GET_MINUTE(o));
            parts.second = unsigned(PyDateTime_DATE_GET_SECOND(o));
            parts.microsecond = unsigned(PyDateTime_DATE_GET_MICROSECOND(o));
            payload = std::uint64_t(micros_of(parts));
            kind = date_kind(std::int64_t(payload), cell);
        } else if (Py_IS_TYPE(o, api_->DateType)) {
            DateParts parts;
            parts.year = PyDateTime_GET_YEAR(o);
            parts.month = unsigned(PyDateTime_GET_MONTH(o));
            parts.day = unsigned(PyDateTime_GET_DAY(o));
            payload = std::uint64_t(micros_of(parts));
            kind = Kind::Date;
        } else if (Py_IS_TYPE(o, api_->TimeType)) {
            if (PyDateTime_TIME_GET_TZINFO(o) != Py_None) return ReadError::unsupported("aware time");
            DateParts parts;
            parts.is_time = true;
            parts.hour = unsigned(PyDateTime_TIME_GET_HOUR(o));
            parts.minute = unsigned(PyDateTime_TIME_GET_MINUTE(o));
            parts.second = unsigned(PyDateTime_TIME_GET_SECOND(o));
            parts.microsecond = unsigned(PyDateTime_TIME_GET_MICROSECOND(o));
            payload = std::uint64_t(micros_of(parts));
            kind = Kind::Time;
        } else if (Py_IS_TYPE(o, api_->DeltaType)) {
            const std::int64_t days = PyDateTime_DELTA_GET_DAYS(o);
            // Beyond what 64-bit microseconds hold: the Python road decides.
            if (days > 106751990 || days < -106751990) return ReadError::unsupported("long duration");
            payload = std::uint64_t(days * kDayMicros + PyDateTime_DELTA_GET_SECONDS(o) * 1000000LL +
                                    PyDateTime_DELTA_GET_MICROSECONDS(o));
            kind = Kind::Duration;
        } else {
            return ReadError::unsupported("cell value of another type");
        }
        (void)cell;
        return ReadError::ok();
    }

    State& s_;
    table::SheetCells& cells_;
    PySheetHost& host_;
    const ParserOptions& options_;
    const PyDateTime_CAPI* api_;
    LockGap& gap_;
    CellValue value_;  // reused from cell to cell
};

struct SheetTableObject {
    PyObject_HEAD
    PyObject* source;  // owned, like the two below
    PyObject* parser;
    PyObject* helpers;
    State* state;
    std::atomic<bool> busy;
};

std::atomic<PyObject*> g_sheet_table_type{nullptr};

// Refuses a second use of the object while one is under way.
class Busy {
public:
    explicit Busy(SheetTableObject* o) noexcept : o_(o), held_(!o->busy.exchange(true)) {}
    ~Busy() {
        if (held_) o_->busy.store(false);
    }
    bool held() const noexcept { return held_; }

private:
    SheetTableObject* o_;
    bool held_;
};

int st_clear(PyObject* self) {
    auto* t = (SheetTableObject*)self;
    State* state = t->state;
    t->state = nullptr;
    delete state;
    Py_CLEAR(t->source);
    Py_CLEAR(t->parser);
    Py_CLEAR(t->helpers);
    return 0;
}

int st_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* t = (SheetTableObject*)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(t->source);
    Py_VISIT(t->parser);
    Py_VISIT(t->helpers);
    if (t->state) {
        Py_VISIT(t->state->elements.get());
        Py_VISIT(t->state->warnings.get());
    }
    return 0;
}

void st_dealloc(PyObject* self) {
    PyRef type = PyRef::steal((PyObject*)Py_TYPE(self));
    PyObject_GC_UnTrack(self);
    st_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* raise_table_error(const table::Error& e) {
    if (e.fail == table::Fail::Unsupported) {
        const std::string message = "unsupported: " + e.message;
        return raise_fallback(message.c_str());
    }
    PyErr_SetString(PyExc_ValueError, e.message.c_str());
    return nullptr;
}

State* state_of(PyObject* self) {
    State* s = ((SheetTableObject*)self)->state;
    if (!s) raise_internal("SheetTable without state");
    return s;
}

PyObject* st_parse(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* t = (SheetTableObject*)self;
        Busy busy(t);
        if (!busy.held()) return raise_internal("Already borrowed");
        State* s = state_of(self);
        if (!s) return nullptr;
        if (s->parsed) {
            PyErr_SetString(PyExc_RuntimeError, "the sheet was read already");
            return nullptr;
        }
        s->parsed = true;
        ReaderHelpers h;
        if (!h.load(t->helpers)) return nullptr;
        ParserOptions options;
        if (!options.load(t->parser)) return nullptr;
        PyRef dims = PyRef::steal(PyObject_GetAttrString(t->parser, "row_dimensions"));
        if (!dims) return nullptr;
        if (!PyDict_Check(dims.get())) {
            PyErr_SetString(PyExc_TypeError, "parser.row_dimensions must be dict");
            return nullptr;
        }
        const auto* api =
            static_cast<const PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
        if (!api) return nullptr;
        PyRef actions = PyRef::steal(PyList_New(0));
        if (!actions) return nullptr;
        // Shared strings are indexed in the table's own list, not the parser's.
        options.sheet.shared_count = s->cells->strings().size();
        LockGap gap;
        PySource py_bytes(t->source);
        GapSource bytes(py_bytes, gap);
        XmlReader reader(bytes);
        PySheetHost py_host(h, options, actions.get(), dims.get());
        GapHost host(py_host, gap);
        SheetParser sheet(reader, options.sheet, host);
        TableSink sink(*s, py_host, options, api, gap);
        ReadError err;
        bool parsed = true;
        // Nothing below touches a Python object but with the lock taken back.
        gap.leave();
        try {
            for (;;) {
                SheetItem item;
                err = sheet.next_item(sink, item);
                if (err || item == SheetItem::End) break;
            }
            if (!err || err.message == kStop) parsed = s->cells->finish();
        } catch (...) {
            gap.enter();
            throw;
        }
        gap.enter();
        if (!parsed || err.message == kTableError) return raise_table_error(s->cells->error());
        if (err && err.message != kStop) {
            py_host.restore_pending();
            return raise_read_error(err);
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(actions.get()); ++i) {
            PyObject* entry = PyList_GET_ITEM(actions.get(), i);
            if (PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) == 2 &&
                PyList_Append(s->warnings.get(), PyTuple_GET_ITEM(entry, 1)) < 0)
                return nullptr;
        }
        Py_RETURN_NONE;
    });
}

bool parse_ranges(PyObject* obj, std::vector<std::array<std::int64_t, 4>>& out) {
    PyRef seq = PyRef::steal(PySequence_Fast(obj, "ranges must be a sequence"));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        std::array<std::int64_t, 4> r{};
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4) {
            PyErr_SetString(PyExc_TypeError, "a range is a tuple (min_row, min_col, max_row, max_col)");
            return false;
        }
        for (int k = 0; k < 4; ++k) {
            r[std::size_t(k)] = PyLong_AsLongLong(PyTuple_GET_ITEM(item, k));
            if (r[std::size_t(k)] == -1 && PyErr_Occurred()) return false;
        }
        out.push_back(r);
    }
    return true;
}

PyObject* st_fill_merged(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        Busy busy((SheetTableObject*)self);
        if (!busy.held()) return raise_internal("Already borrowed");
        State* s = state_of(self);
        if (!s) return nullptr;
        std::vector<std::array<std::int64_t, 4>> ranges;
        if (!parse_ranges(arg, ranges)) return nullptr;
        s->cells->fill_merged(ranges);
        Py_RETURN_NONE;
    });
}

PyObject* st_lay_out(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        Busy busy((SheetTableObject*)self);
        if (!busy.held()) return raise_internal("Already borrowed");
        State* s = state_of(self);
        if (!s) return nullptr;
        std::vector<std::uint8_t> skip;
        if (arg != Py_None) {
            char* p = nullptr;
            Py_ssize_t n = 0;
            if (PyBytes_AsStringAndSize(arg, &p, &n) < 0) return nullptr;
            if (n != Py_ssize_t(s->cells->range_rows())) {
                PyErr_SetString(PyExc_ValueError, "skip holds one byte a row of the range");
                return nullptr;
            }
            skip.assign(p, p + n);
        }
        s->layout = table::lay_out(*s->cells, skip);
        s->laid_out = true;
        const auto& names = s->layout.names;
        PyRef py_names = PyRef::steal(PyList_New(Py_ssize_t(names.size())));
        PyRef columns = PyRef::steal(PyList_New(Py_ssize_t(names.size())));
        if (!py_names || !columns) return nullptr;
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyRef name = str_of(names[i]);
            PyObject* column = PyLong_FromLongLong(s->layout.sheet_columns[i]);
            if (!name || !column) {
                Py_XDECREF(column);
                return nullptr;
            }
            PyList_SET_ITEM(py_names.get(), Py_ssize_t(i), name.release());
            PyList_SET_ITEM(columns.get(), Py_ssize_t(i), column);
        }
        return PyTuple_Pack(2, py_names.get(), columns.get());
    });
}

bool to_mode(PyObject* name, table::StringMode& out) {
    const char* p = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (!p) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "strings is a str");
        return false;
    }
    std::string_view m = p;
    if (m == "view")
        out = table::StringMode::View;
    else if (m == "dictionary")
        out = table::StringMode::Dictionary;
    else if (m == "plain")
        out = table::StringMode::Plain;
    else {
        PyErr_Format(PyExc_ValueError, "unknown strings mode %R", name);
        return false;
    }
    return true;
}

PyObject* st_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"columns", "types", "sample_rows", "strict", "strings"};
        static const ArgSpec spec{"build", names, 5, 5};
        PyObject* a[5];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        Busy busy((SheetTableObject*)self);
        if (!busy.held()) return raise_internal("Already borrowed");
        State* s = state_of(self);
        if (!s) return nullptr;
        if (!s->laid_out) {
            PyErr_SetString(PyExc_RuntimeError, "lay_out() comes before build()");
            return nullptr;
        }
        if (!PyList_Check(a[0]) || !PyList_Check(a[1]) ||
            PyList_GET_SIZE(a[0]) != PyList_GET_SIZE(a[1])) {
            PyErr_SetString(PyExc_TypeError, "columns and types are lists of one length");
            return nullptr;
        }
        std::vector<table::ColumnRequest> requests;
        const std::size_t width = s->layout.names.size();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a[0]); ++i) {
            table::ColumnRequest req{};
            const long long j = PyLong_AsLongLong(PyList_GET_ITEM(a[0], i));
            if (j == -1 && PyErr_Occurred()) return nullptr;
            if (j < 0 || std::size_t(j) >= width) {
                PyErr_SetString(PyExc_IndexError, "column index out of range");
                return nullptr;
            }
            req.column = std::int32_t(j);
            PyObject* type = PyList_GET_ITEM(a[1], i);
            req.inferred = type == Py_None;
            if (!req.inferred) {
                const char* p = PyUnicode_Check(type) ? PyUnicode_AsUTF8(type) : nullptr;
                if (!p || !table::type_from_name(p, req.type)) {
                    if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "unknown type %R", type);
                    return nullptr;
                }
            }
            requests.push_back(req);
        }
        table::BuildOptions options;
        if (a[2] == Py_None) {
            options.sample_rows = -1;
        } else {
            long long n = 0;
            if (!arg_int64("build", "sample_rows", a[2], &n)) return nullptr;
            options.sample_rows = n;
        }
        const int strict = PyObject_IsTrue(a[3]);
        if (strict < 0) return nullptr;
        options.strict = strict;
        if (!to_mode(a[4], options.strings)) return nullptr;
        if (s->built) {
            PyErr_SetString(PyExc_RuntimeError, "the table was built already");
            return nullptr;
        }
        s->built = true;
        table::Built built;
        if (table::Error e = table::build(*s->cells, s->layout, requests, options, built))
            return raise_table_error(e);
        return new_arrow_table(std::move(built)).release();
    });
}

PyObject* st_range_rows(PyObject* self, void*) {
    State* s = state_of(self);
    return s ? PyLong_FromLongLong(s->cells->range_rows()) : nullptr;
}

PyObject* st_elements(PyObject* self, void*) {
    State* s = state_of(self);
    return s ? s->elements.new_ref() : nullptr;
}

PyObject* st_warnings(PyObject* self, void*) {
    State* s = state_of(self);
    return s ? s->warnings.new_ref() : nullptr;
}

PyMethodDef st_methods[] = {
    {"parse", (PyCFunction)st_parse, METH_NOARGS,
     "parse($self)\n--\n\nRead the sheet's cells (once)."},
    {"fill_merged", (PyCFunction)st_fill_merged, METH_O,
     "fill_merged($self, ranges, /)\n--\n\n"
     "Give every cell of each (min_row, min_col, max_row, max_col) its top-left value."},
    {"lay_out", (PyCFunction)st_lay_out, METH_O,
     "lay_out($self, skip, /)\n--\n\n"
     "Rows and columns of the table; `skip` is None or one byte a range row\n"
     "(non-zero: skipped). Returns (names, sheet columns)."},
    {"build", (PyCFunction)(void (*)(void))st_build, METH_FASTCALL | METH_KEYWORDS,
     "build($self, columns, types, sample_rows, strict, strings)\n--\n\n"
     "The columns (layout indexes) as an ArrowTable; a type of None is inferred."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef st_getset[] = {
    {"range_rows", st_range_rows, nullptr, nullptr, nullptr},
    {"elements", st_elements, nullptr, nullptr, nullptr},
    {"warnings", st_warnings, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot st_slots[] = {
    {Py_tp_doc, (void*)"A worksheet read into Arrow columns (see sheet_table())."},
    {Py_tp_dealloc, (void*)st_dealloc},
    {Py_tp_traverse, (void*)st_traverse},
    {Py_tp_clear, (void*)st_clear},
    {Py_tp_methods, st_methods},
    {Py_tp_getset, st_getset},
    {0, nullptr},
};

PyType_Spec st_spec = {
    "tavrinex._tavrinex.SheetTable",
    sizeof(SheetTableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    st_slots,
};

bool int_list(PyObject* obj, std::vector<std::int64_t>& out) {
    PyRef it = PyRef::steal(PyObject_GetIter(obj));
    if (!it) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        const long long v = PyLong_AsLongLong(item.get());
        if (v == -1 && PyErr_Occurred()) return false;
        out.push_back(v);
    }
    if (PyErr_Occurred()) return false;
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return true;
}

bool int_of(PyObject* obj, std::int64_t& out) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

}  // namespace

PyTypeObject* sheet_table_type() { return make_type_once(g_sheet_table_type, &st_spec); }

PyObject* py_sheet_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"source", "parser",   "helpers", "strings",
                                            "day_styles", "plan", "bounds"};
        static const ArgSpec spec{"sheet_table", names, 7, 7};
        PyObject* a[7];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        if (!PyDict_Check(a[2])) {
            arg_type_error("sheet_table", "helpers", "dict", a[2]);
            return nullptr;
        }
        if (!is_shared_strings(a[3])) {
            if (!PyErr_Occurred()) arg_type_error("sheet_table", "strings", "SharedStrings", a[3]);
            return nullptr;
        }
        // plan: (skip_count, skip_list, skip_later, header_row, n_rows,
        //        skip_empty_rows, fill_merged)
        if (!PyTuple_Check(a[5]) || PyTuple_GET_SIZE(a[5]) != 7) {
            arg_type_error("sheet_table", "plan", "tuple of 7", a[5]);
            return nullptr;
        }
        table::RowPlan plan;
        PyObject* const* p = &PyTuple_GET_ITEM(a[5], 0);
        if (!int_of(p[0], plan.skip_count) || !int_list(p[1], plan.skip_list)) return nullptr;
        int flag = PyObject_IsTrue(p[2]);
        if (flag < 0) return nullptr;
        plan.skip_later = flag;
        if (!int_of(p[3], plan.header_row) || !int_of(p[4], plan.n_rows)) return nullptr;
        if ((flag = PyObject_IsTrue(p[5])) < 0) return nullptr;
        plan.skip_empty_rows = flag;
        if ((flag = PyObject_IsTrue(p[6])) < 0) return nullptr;
        plan.fill_merged = flag;
        table::Bounds bounds;
        if (a[6] != Py_None) {
            std::vector<std::int64_t> b;
            if (!PyTuple_Check(a[6]) || PyTuple_GET_SIZE(a[6]) != 4) {
                arg_type_error("sheet_table", "bounds", "None or a tuple of 4", a[6]);
                return nullptr;
            }
            PyObject* const* q = &PyTuple_GET_ITEM(a[6], 0);
            if (!int_of(q[0], bounds.first_row) || !int_of(q[1], bounds.first_column) ||
                !int_of(q[2], bounds.last_row) || !int_of(q[3], bounds.last_column))
                return nullptr;
            if (bounds.first_row < 1 || bounds.last_row < bounds.first_row ||
                bounds.last_row > table::kMaxRow || bounds.first_column < 1 ||
                bounds.last_column < bounds.first_column || bounds.last_column > table::kMaxColumn) {
                PyErr_SetString(PyExc_ValueError, "bounds outside the worksheet grid");
                return nullptr;
            }
        }
        auto state = std::make_unique<State>();
        if (!int_list(a[4], state->day_styles)) return nullptr;
        state->keep_elements = plan.fill_merged;
        state->elements = PyRef::steal(PyList_New(0));
        state->warnings = PyRef::steal(PyList_New(0));
        if (!state->elements || !state->warnings) return nullptr;
        state->cells = std::make_unique<table::SheetCells>(shared_strings_of(a[3]), std::move(plan),
                                                           bounds);
        PyTypeObject* type = sheet_table_type();
        if (!type) return nullptr;
        PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
        if (!obj) return nullptr;
        auto* t = (SheetTableObject*)obj.get();
        t->source = Py_NewRef(a[0]);
        t->parser = Py_NewRef(a[1]);
        t->helpers = Py_NewRef(a[2]);
        new (&t->busy) std::atomic<bool>(false);
        t->state = state.release();
        return obj.release();
    });
}

}  // namespace tvx
