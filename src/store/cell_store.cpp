#include "store/cell_store.h"

#include "core/seed.h"
#include "lib/errors.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tvx {

namespace {

constexpr std::uint32_t kWideStyle = 65535;
constexpr std::uint32_t kMaxCompactColumn = 65535;
constexpr std::uint64_t kMaxWide = 4294967294ull;
constexpr std::uint32_t kDenseStyles = 65536;  // style ids cached in a vector
constexpr std::uint32_t kFormulaHintColumns = 16385;  // columns with a template hint

inline double bits_double(std::uint64_t u) noexcept {
    double d;
    std::memcpy(&d, &u, 8);
    return d;
}

std::uint64_t hash_text(std::string_view s) noexcept { return std::hash<std::string_view>{}(s); }

}  // namespace

CellStore::CellStore() { reseed(); }

CellStore::~CellStore() {
    // The owner (the Python object's dealloc) has already dropped every
    // reference through clear() and drop_context(); this only frees memory.
}

void CellStore::reseed() {
    wide_styles_ = decltype(wide_styles_)(0, SeededHash{random_seed()});
    text_ref_index_ = decltype(text_ref_index_)(0, SeededHash{random_seed()});
    overflow_index_ = decltype(overflow_index_)(0, SeededHash{random_seed()});
    text_dedup_ = decltype(text_dedup_)(0, SeededHash{random_seed()});
    cached_ = decltype(cached_)(0, SeededHash{random_seed()});
}

// ---------------------------------------------------------------- loading

bool CellStore::bind_cell_slots(PyObject* cell_cls, Py_ssize_t (&offsets)[8]) {
    static const char* const names[8] = {"parent", "_style",     "row",       "column",
                                         "_value", "_hyperlink", "data_type", "_comment"};
    std::vector<Py_ssize_t> found;
    if (!bind_slots(cell_cls, names, 8, found)) return false;
    for (int i = 0; i < 8; i++) offsets[i] = found[i];
    return true;
}

bool CellStore::configure(PyObject* ws, PyObject* cell_styles, PyObject* cell_cls,
                          const Py_ssize_t (&slot_offsets)[8], PyObject* shared_strings,
                          const NativeEpoch& epoch) {
    if (!PyType_Check(cell_cls)) {
        PyErr_SetString(PyExc_TypeError, "cell class must be a type");
        return false;
    }
    PyRef mod = PyRef::steal(PyImport_ImportModule("array"));
    if (!mod) return false;
    PyRef array_type = PyRef::steal(PyObject_GetAttrString(mod.get(), "array"));
    if (!array_type) return false;
    if (!PyType_Check(array_type.get())) {
        PyErr_SetString(PyExc_TypeError, "array.array is not a type");
        return false;
    }
    PyRef typecode = PyRef::steal(PyUnicode_InternFromString("i"));
    if (!typecode) return false;
    const DateTimeApi* api = datetime_capi();
    if (!api) return false;

    ws_ = PyRef::borrow(ws);
    cell_styles_ = PyRef::borrow(cell_styles);
    cell_cls_ = PyRef::borrow(cell_cls);
    shared_strings_ = PyRef::borrow(shared_strings);
    std::memcpy(offsets_, slot_offsets, sizeof offsets_);
    array_new_ = ((PyTypeObject*)array_type.get())->tp_new;
    array_type_ = std::move(array_type);
    typecode_i_ = std::move(typecode);
    epoch_ = epoch;
    epoch_set_ = true;
    new_sheet_ = false;
    datetime_api_ = api;
    // Cached style tuples and the row int belong to the previous context.
    style_args_.clear();
    wide_style_args_.clear();
    cached_row_int_.reset();
    return true;
}

bool CellStore::init_fixed_types() {
    for (int i = 0; i < 7; i++) {
        fixed_types_[i] = PyRef::steal(PyUnicode_InternFromString(kFixedDataTypes[i]));
        if (!fixed_types_[i]) return false;
    }
    return true;
}

bool CellStore::intern_text(std::string_view s, CellPayload& out) {
    if (s.size() <= kMaxTextLen && text_.size() + s.size() < kMaxArena) {
        std::uint64_t h = hash_text(s);
        auto it = text_dedup_.find(h);
        if (it != text_dedup_.end()) {
            TextRef ref = it->second;
            if ((ref & kMaxTextLen) == s.size() && text_of(ref) == s) {
                out = {K_TEXT, ref};
                return true;
            }
        }
        TextRef ref = ((TextRef)text_.size() << 24) | s.size();
        text_.append(s);
        text_dedup_[h] = ref;
        out = {K_TEXT, ref};
        return true;
    }
    PyRef str = PyRef::steal(PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), nullptr));
    if (!str) return false;
    out = {K_VALUE, put_object(std::move(str))};
    return true;
}

int CellStore::intern_data_type(PyObject* obj) {
    for (int i = 0; i < 7; i++) {
        if (obj == fixed_types_[i].get()) return i;
    }
    if (PyUnicode_CheckExact(obj)) {
        for (int i = 0; i < 7; i++) {
            if (PyUnicode_CompareWithASCIIString(obj, kFixedDataTypes[i]) == 0) return i;
        }
    }
    for (std::size_t i = 0; i < extra_data_types_.size(); i++) {
        int eq = PyObject_RichCompareBool(obj, extra_data_types_[i].get(), Py_EQ);
        if (eq < 0) return -1;
        if (eq) return (int)(7 + i);
    }
    if (extra_data_types_.size() >= 248) {
        raise_fallback("too many data types");
        return -1;
    }
    extra_data_types_.push_back(PyRef::borrow(obj));
    return (int)(7 + extra_data_types_.size() - 1);
}

std::uint32_t CellStore::put_object(PyRef obj) {
    if (!free_slots_.empty()) {
        std::uint32_t i = free_slots_.back();
        free_slots_.pop_back();
        objects_[i] = std::move(obj);
        return i;
    }
    if (objects_.size() >= 0xFFFFFFFFu) throw std::length_error("object table full");
    objects_.push_back(std::move(obj));
    return (std::uint32_t)(objects_.size() - 1);
}

std::uint32_t CellStore::wide_push(std::uint64_t word) {
    if (wide_.size() > kMaxWide) throw std::length_error("wide value table full");
    wide_.push_back(word);
    return (std::uint32_t)(wide_.size() - 1);
}

// The 32-bit compact payload of (kind, 64-bit payload); `kind` becomes
// K_SMALL_INT for integers that fit.
std::uint32_t CellStore::compact_payload(std::uint8_t& kind, std::uint64_t payload) {
    switch (kind) {
        case K_INT: {
            std::int64_t v = (std::int64_t)payload;
            if (v >= INT32_MIN && v <= INT32_MAX) {
                kind = K_SMALL_INT;
                return (std::uint32_t)(std::int32_t)v;
            }
            return wide_push(payload);
        }
        case K_FLOAT:
        case K_DATE_INT:
        case K_DATE_FLOAT:
            return wide_push(payload);
        case K_TEXT: {
            auto it = text_ref_index_.find(payload);
            if (it != text_ref_index_.end()) return it->second;
            std::uint32_t index = wide_push(payload);
            text_ref_index_.emplace(payload, index);
            return index;
        }
        default:
            return (std::uint32_t)payload;
    }
}

void CellStore::set_compact_style(std::uint32_t pos, std::uint32_t style) {
    // A wide style without an entry is "no style": cells put in from
    // Python mostly have none, and cost no map entry that way.
    if (style >= kWideStyle) {
        compact_[pos].style = kWideStyle;
        if (style != kNoStyle) {
            wide_styles_[pos] = style;
            return;
        }
    } else {
        compact_[pos].style = (std::uint16_t)style;
    }
    if (!wide_styles_.empty()) wide_styles_.erase(pos);
}

std::uint32_t CellStore::style_of(std::uint32_t pos) const noexcept {
    std::uint16_t s = compact_[pos].style;
    if (s != kWideStyle || wide_styles_.empty()) return s == kWideStyle ? kNoStyle : s;
    auto it = wide_styles_.find(pos);
    return it == wide_styles_.end() ? kNoStyle : it->second;
}

void CellStore::add_cell(CellKey key, std::uint8_t kind, std::uint64_t payload,
                         std::uint8_t data_type, std::uint32_t style) {
    PyRef released;  // dropped last, once the record is consistent
    std::uint32_t row = key_row(key), column = key_column(key);
    bool fits = kind != K_SHARED || payload <= 0xFFFFFFFFu;
    if (overflow_.empty() && column <= kMaxCompactColumn && wide_.size() <= kMaxWide && fits &&
        compact_.size() < 0xFFFFFFFFu && (compact_.size() == 0 || key > last_compact_key_)) {
        std::uint32_t pos = (std::uint32_t)compact_.size();
        std::uint32_t p = compact_payload(kind, payload);
        // A new position has no wide style entry yet: only a wide style
        // needs one.
        const bool narrow = style < kWideStyle;
        compact_.push_back(CompactCell{(std::uint16_t)column, kind, data_type,
                                       (std::uint16_t)(narrow ? style : kWideStyle), p});
        if (!narrow) set_compact_style(pos, style);
        if (rows_.empty() || row != rows_.back()) {
            if (rows_.empty()) row_starts_.push_back(0);
            rows_.push_back(row);
            row_starts_.push_back(pos + 1);
        } else {
            row_starts_.back() = pos + 1;
        }
        last_compact_key_ = key;
        live_compact_++;
        version_++;
        return;
    }
    CellLocation loc;
    if (!locate(key, loc)) {
        append_overflow(key, kind, payload, data_type, style);
        return;
    }
    // A duplicate coordinate: the later cell wins, in the first one's place.
    DecodedCell old = decode(loc);
    release_payload(old.kind, old.payload, released);
    if (loc.compact && fits) {
        std::uint32_t p = compact_payload(kind, payload);
        CompactCell& c = compact_[loc.pos];
        c.kind = kind;
        c.data_type = data_type;
        c.payload = p;
        set_compact_style(loc.pos, style);
    } else if (loc.compact) {
        // A shared-string index beyond 32 bits cannot stay compact: the
        // compact record goes and the key moves to the overflow tier.
        compact_[loc.pos].kind = K_REMOVED;
        live_compact_--;
        append_overflow(key, kind, payload, data_type, style);
    } else {
        OverflowCell& o = overflow_[loc.pos];
        o.kind = kind;
        o.data_type = data_type;
        o.payload = payload;
        o.style = style;
    }
}

void CellStore::append_overflow(CellKey key, std::uint8_t kind, std::uint64_t payload,
                                std::uint8_t data_type, std::uint32_t style) {
    if (overflow_.size() >= 0xFFFFFFFFu) throw std::length_error("overflow table full");
    overflow_.push_back(OverflowCell{key, payload, style, kind, data_type});
    overflow_index_[key] = (std::uint32_t)(overflow_.size() - 1);
    live_overflow_++;
    version_++;
}

bool CellStore::add_value(CellKey key, const ParsedValue& v, PyObject* obj, PyObject* type_obj,
                          std::uint32_t style) {
    int code = v.data_type;
    if (v.data_type == DT_OTHER) {
        code = intern_data_type(type_obj);
        if (code < 0) return false;
    }
    CellPayload p{K_EMPTY, 0};
    switch (v.form) {
        case ValueForm::None:
            break;
        case ValueForm::Int:
            p = {K_INT, (std::uint64_t)v.i};
            break;
        case ValueForm::Float:
            p = {K_FLOAT, double_bits(v.f)};
            break;
        case ValueForm::Bool:
            p = {K_BOOL, (std::uint64_t)(v.i != 0)};
            break;
        case ValueForm::SharedIndex:
            p = {K_SHARED, (std::uint64_t)v.i};
            break;
        case ValueForm::DateInt:
            p = {K_DATE_INT, (std::uint64_t)v.i};
            break;
        case ValueForm::DateFloat:
            p = {K_DATE_FLOAT, double_bits(v.f)};
            break;
        case ValueForm::Text:
            if (!intern_text(v.text, p)) return false;
            break;
        case ValueForm::Object:
            p = {K_VALUE, put_object(PyRef::borrow(obj))};
            break;
        case ValueForm::Host:
            raise_internal("a value with a host step left");
            return false;
    }
    add_cell(key, p.kind, p.payload, (std::uint8_t)code, style);
    return true;
}

CellStore::Span CellStore::keep_text(const std::string_view* text) {
    Span s;
    if (!text) return s;
    if (text->size() > 0xFFFFFFFFu) throw std::length_error("cached value too long");
    s.off = cached_text_.size();
    s.len = (std::uint32_t)text->size();
    s.set = true;
    cached_text_.append(*text);
    return s;
}

void CellStore::add_cached(CellKey key, std::string_view v, const std::string_view* t,
                           const std::string_view* cm) {
    CachedRecord r;
    r.v = keep_text(v.empty() ? nullptr : &v);
    r.t = keep_text(t);
    r.cm = keep_text(cm);
    cached_[key] = r;
}

bool CellStore::cached_of(CellKey key, Cached& out) const {
    if (cached_.empty()) return false;
    auto it = cached_.find(key);
    if (it == cached_.end()) return false;
    const std::string_view all(cached_text_);
    const CachedRecord& r = it->second;
    out.v = r.v.set ? all.substr(r.v.off, r.v.len) : std::string_view();
    out.has_t = r.t.set;
    out.t = r.t.set ? all.substr(r.t.off, r.t.len) : std::string_view();
    out.has_cm = r.cm.set;
    out.cm = r.cm.set ? all.substr(r.cm.off, r.cm.len) : std::string_view();
    return true;
}

void CellStore::drop_cached() noexcept {
    cached_ = decltype(cached_)(0, cached_.hash_function());
    cached_text_ = {};
}

std::uint32_t CellStore::intern_formula(std::string_view text, std::uint32_t row,
                                        std::uint32_t column) {
    // A column's formulas mostly share one shape: the template its last
    // formula took is tried first, kept when it renders this very text.
    std::uint32_t* hint = nullptr;
    if (column < kFormulaHintColumns && text.size() > 3) {
        if (column >= formula_hints_.size()) {
            formula_hints_.resize(column + 1, FormulaTemplates::kNone);
        }
        hint = &formula_hints_[column];
        if (*hint != FormulaTemplates::kNone) {
            formula_scratch_.clear();
            if (templates_.render(*hint, row, column, formula_scratch_) &&
                formula_scratch_ == text) {
                return *hint;
            }
        }
    }
    std::uint32_t number = templates_.intern(text, row, column);
    if (hint && number != FormulaTemplates::kNone) *hint = number;
    return number;
}

void CellStore::finish() {
    compact_.shrink();
    wide_.shrink();
    rows_.shrink_to_fit();
    row_starts_.shrink_to_fit();
    objects_.shrink_to_fit();
    text_.shrink_to_fit();
    cached_text_.shrink_to_fit();
    templates_.shrink();
    formula_hints_ = {};
    formula_scratch_ = {};
    shared_formulas_.shrink_to_fit();
    // Only loading reads the dedup maps; equal texts added after a later
    // clear() start afresh.
    text_ref_index_ = decltype(text_ref_index_)(0, text_ref_index_.hash_function());
    text_dedup_ = decltype(text_dedup_)(0, text_dedup_.hash_function());
}

// ----------------------------------------------------------------- lookup

bool CellStore::row_span(std::uint32_t row, std::uint32_t& row_index, std::uint32_t& first,
                         std::uint32_t& last) const noexcept {
    auto it = std::lower_bound(rows_.begin(), rows_.end(), row);
    if (it == rows_.end() || *it != row) return false;
    row_index = (std::uint32_t)(it - rows_.begin());
    first = row_starts_[row_index];
    last = row_starts_[row_index + 1];
    return true;
}

bool CellStore::overflow_find(CellKey key, std::uint32_t& pos) const noexcept {
    if (overflow_index_.empty()) return false;
    auto it = overflow_index_.find(key);
    if (it == overflow_index_.end()) return false;
    pos = it->second;
    return true;
}

bool CellStore::locate(CellKey key, CellLocation& out) const noexcept {
    std::uint32_t column = key_column(key);
    std::uint32_t ri, lo, hi;
    if (column <= kMaxCompactColumn && row_span(key_row(key), ri, lo, hi)) {
        while (lo < hi) {
            std::uint32_t mid = lo + (hi - lo) / 2;
            std::uint16_t c = compact_[mid].column;
            if (c < column) {
                lo = mid + 1;
            } else if (c > column) {
                hi = mid;
            } else {
                if (compact_[mid].kind == K_REMOVED) break;
                out = {true, ri, mid};
                return true;
            }
        }
    }
    std::uint32_t pos;
    if (overflow_find(key, pos)) {
        out = {false, 0, pos};
        return true;
    }
    return false;
}

std::uint32_t CellStore::row_index_of(std::uint32_t pos, std::uint32_t hint) const noexcept {
    if (hint < rows_.size() && row_starts_[hint] <= pos && pos < row_starts_[hint + 1]) return hint;
    auto it = std::upper_bound(row_starts_.begin(), row_starts_.end(), pos);
    return (std::uint32_t)(it - row_starts_.begin() - 1);
}

CellKey CellStore::key_at(const CellLocation& loc) const noexcept {
    if (loc.compact) return make_key(rows_[loc.row_index], compact_[loc.pos].column);
    return overflow_[loc.pos].key;
}

DecodedCell CellStore::decode(const CellLocation& loc) const noexcept {
    DecodedCell d;
    if (!loc.compact) {
        const OverflowCell& o = overflow_[loc.pos];
        d.key = o.key;
        d.payload = o.payload;
        d.style = o.style;
        d.kind = o.kind;
        d.data_type = o.data_type;
        return d;
    }
    const CompactCell& c = compact_[loc.pos];
    d.key = make_key(rows_[loc.row_index], c.column);
    d.kind = c.kind;
    d.data_type = c.data_type;
    d.style = style_of(loc.pos);
    switch (c.kind) {
        case K_SMALL_INT:
            d.kind = K_INT;
            d.payload = (std::uint64_t)(std::int64_t)(std::int32_t)c.payload;
            break;
        case K_INT:
        case K_FLOAT:
        case K_TEXT:
        case K_DATE_INT:
        case K_DATE_FLOAT:
            d.payload = wide_at(c.payload);
            break;
        default:
            d.payload = c.payload;
    }
    return d;
}

std::string_view CellStore::text_of(TextRef ref) const noexcept {
    return std::string_view(text_).substr(ref >> 24, ref & kMaxTextLen);
}

bool CellStore::date_parts(const DecodedCell& cell, DateParts& out) const noexcept {
    // Serials are stored only when the epoch was native (else the host's
    // from_excel made the value while loading).
    if (!epoch_set_ || !epoch_.native) return false;
    if (cell.kind == K_DATE_INT) return date_parts_int(epoch_, (std::int64_t)cell.payload, out);
    if (cell.kind == K_DATE_FLOAT) return date_parts_float(epoch_, bits_double(cell.payload), out);
    return false;
}

PyRef CellStore::shared_string(std::uint64_t index) const {
    PyObject* ss = shared_strings_.get();
    if (ss && PyList_CheckExact(ss) && index < (std::uint64_t)PY_SSIZE_T_MAX) {
        // A strong reference: another thread may change the list meanwhile.
        if (PyObject* item = PyList_GetItemRef(ss, (Py_ssize_t)index)) return PyRef::steal(item);
        PyErr_Clear();  // out of range now: the generic lookup raises the error
    }
    PyRef i = PyRef::steal(PyLong_FromUnsignedLongLong(index));
    if (!i) return {};
    return PyRef::steal(PyObject_GetItem(ss ? ss : Py_None, i.get()));
}

PyRef CellStore::value_of(const DecodedCell& d) {
    switch (d.kind) {
        case K_OBJECT:
            return PyRef::steal(PyObject_GetAttrString(objects_[d.payload].get(), "value"));
        case K_VALUE:
            return objects_[d.payload];
        case K_EMPTY:
            return PyRef::borrow(Py_None);
        case K_INT:
            return PyRef::steal(PyLong_FromLongLong((std::int64_t)d.payload));
        case K_FLOAT:
            return PyRef::steal(PyFloat_FromDouble(bits_double(d.payload)));
        case K_BOOL:
            return PyRef::borrow(d.payload ? Py_True : Py_False);
        case K_SHARED:
            return shared_string(d.payload);
        case K_TEXT: {
            std::string_view t = text_of(d.payload);
            return PyRef::steal(PyUnicode_DecodeUTF8(t.data(), (Py_ssize_t)t.size(), nullptr));
        }
        case K_DATE_INT:
        case K_DATE_FLOAT: {
            DateParts parts;
            if (!date_parts(d, parts)) {
                raise_internal("stored date serial does not convert");
                return {};
            }
            return date_object(datetime_api_, parts);
        }
        case K_SHARED_MOVED:
        case K_SHARED_ASIS:
        case K_TEMPLATE: {
            std::string text;
            if (!render_formula(d, text)) return {};
            return PyRef::steal(
                PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), nullptr));
        }
        default:
            raise_internal("cell of unknown kind");
            return {};
    }
}

PyRef CellStore::value(const CellLocation& loc) { return value_of(decode(loc)); }

PyObject* CellStore::data_type_object(std::uint8_t code) const noexcept {
    if (code < 7) return fixed_types_[code].get();
    return extra_data_types_[code - 7].get();
}

PyRef CellStore::style_array(std::uint32_t style) {
    PyRef* slot;
    if (style < kDenseStyles) {
        if (style >= style_args_.size()) style_args_.resize(style + 1);
        slot = &style_args_[style];
    } else {
        slot = &wide_style_args_[style];
    }
    if (!*slot) {
        PyObject* cs = cell_styles_.get();
        PyRef item;
        if (PyList_Check(cs) && style < (std::uint64_t)PyList_GET_SIZE(cs)) {
            item = PyRef::steal(PyList_GetItemRef(cs, (Py_ssize_t)style));
            if (!item) PyErr_Clear();
        }
        if (!item) {
            PyRef i = PyRef::steal(PyLong_FromUnsignedLong(style));
            if (!i) return {};
            item = PyRef::steal(PyObject_GetItem(cs, i.get()));
        }
        if (!item) return {};
        PyRef args = PyRef::steal(PyTuple_Pack(2, typecode_i_.get(), item.get()));
        if (!args) return {};
        // The item access cannot have touched the cache: the caller holds
        // the store exclusively, so `slot` is still valid.
        *slot = std::move(args);
    }
    PyObject* item = PyTuple_GET_ITEM(slot->get(), 1);
    PyTypeObject* type = Py_TYPE(item);
    // The array constructor lays out any type it is given as an array, so
    // only array types may reach it.
    if (!PyType_IsSubtype(type, (PyTypeObject*)array_type_.get())) {
        PyErr_Format(PyExc_TypeError, "cell style must be an array, not %.100s", type->tp_name);
        return {};
    }
    PyRef keep = *slot;  // the tuple must outlive the call
    return PyRef::steal(array_new_(type, keep.get(), nullptr));
}

PyRef CellStore::row_int(std::uint32_t row) {
    if (!cached_row_int_ || cached_row_ != row) {
        PyRef r = PyRef::steal(PyLong_FromUnsignedLong(row));
        if (!r) return {};
        cached_row_int_ = std::move(r);
        cached_row_ = row;
    }
    return cached_row_int_;
}

PyRef CellStore::materialise(const CellLocation& loc) {
    DecodedCell d = decode(loc);
    if (d.kind == K_OBJECT) return objects_[d.payload];
    if (!configured()) {
        PyErr_SetString(PyExc_RuntimeError, "CellStore has no cell class to build cells with");
        return {};
    }
    PyRef value = value_of(d);
    if (!value) return {};
    PyRef style;
    if (d.style == kNoStyle) {
        style = PyRef::borrow(Py_None);
    } else {
        style = style_array(d.style);
        if (!style) return {};
    }
    PyRef row = row_int(key_row(d.key));
    if (!row) return {};
    PyRef column = PyRef::steal(PyLong_FromUnsignedLong(key_column(d.key)));
    if (!column) return {};
    PyRef cell = alloc_instance((PyTypeObject*)cell_cls_.get());
    if (!cell) return {};
    PyObject* c = cell.get();
    store_slot(c, offsets_[0], ws_.new_ref());
    store_slot(c, offsets_[1], style.release());
    store_slot(c, offsets_[2], row.release());
    store_slot(c, offsets_[3], column.release());
    store_slot(c, offsets_[4], value.release());
    store_slot(c, offsets_[5], Py_NewRef(Py_None));
    store_slot(c, offsets_[6], Py_NewRef(data_type_object(d.data_type)));
    store_slot(c, offsets_[7], Py_NewRef(Py_None));

    // Python code run above (style items, shared strings, "value") cannot
    // have changed this store: the caller holds it exclusively.
    std::uint32_t index;
    PyRef released;
    if (d.kind == K_VALUE) {
        // The value now lives in the cell; the cell takes over its slot.
        index = (std::uint32_t)d.payload;
        released = std::move(objects_[index]);
        objects_[index] = cell;
    } else {
        index = put_object(cell);
    }
    set_object_record(loc, index);
    return cell;
}

void CellStore::keys_in_order(std::vector<CellLocation>& out) const {
    out.clear();
    out.reserve(size());
    std::uint32_t ri = 0;
    for (std::uint32_t p = 0; p < compact_.size(); p++) {
        if (compact_[p].kind == K_REMOVED) continue;
        ri = row_index_of(p, ri);
        out.push_back({true, ri, p});
    }
    for (std::size_t p = 0; p < overflow_.size(); p++) {
        if (overflow_[p].kind != K_REMOVED) out.push_back({false, 0, (std::uint32_t)p});
    }
}

std::size_t CellStore::materialised_count() const noexcept {
    std::size_t n = 0;
    for (std::uint32_t p = 0; p < compact_.size(); p++) n += compact_[p].kind == K_OBJECT;
    for (const OverflowCell& o : overflow_) n += o.kind == K_OBJECT;
    return n;
}

std::size_t CellStore::memory_bytes() const noexcept {
    return compact_.bytes() + wide_.bytes() + rows_.capacity() * 4 + row_starts_.capacity() * 4 +
           overflow_.capacity() * sizeof(OverflowCell) + objects_.capacity() * sizeof(PyRef) +
           text_.capacity();
}

// ---------------------------------------------------------------- changes

void CellStore::free_object(std::uint32_t index, PyRef& released) {
    released = std::move(objects_[index]);
    free_slots_.push_back(index);
}

void CellStore::release_payload(std::uint8_t kind, std::uint64_t payload, PyRef& released) {
    if (kind == K_OBJECT || kind == K_VALUE) free_object((std::uint32_t)payload, released);
}

// Rewrites the record at `loc` as kind 1 holding objects[index]; key,
// style and data type stay.
void CellStore::set_object_record(const CellLocation& loc, std::uint32_t index) noexcept {
    if (loc.compact) {
        compact_[loc.pos].kind = K_OBJECT;
        compact_[loc.pos].payload = index;
    } else {
        overflow_[loc.pos].kind = K_OBJECT;
        overflow_[loc.pos].payload = index;
    }
}

void CellStore::replace_with_object(const CellLocation& loc, PyRef obj, PyRef& released) {
    DecodedCell d = decode(loc);
    forget_cached(d.key);
    release_payload(d.kind, d.payload, released);
    std::uint32_t index = put_object(std::move(obj));
    set_object_record(loc, index);
}

void CellStore::remove(const CellLocation& loc, PyRef& released) {
    DecodedCell d = decode(loc);
    forget_cached(d.key);
    release_payload(d.kind, d.payload, released);
    if (loc.compact) {
        compact_[loc.pos].kind = K_REMOVED;
        live_compact_--;
    } else {
        overflow_[loc.pos].kind = K_REMOVED;
        overflow_index_.erase(d.key);
        live_overflow_--;
    }
    version_++;
    maybe_compact_overflow();
}

void CellStore::maybe_compact_overflow() {
    std::uint64_t dead = overflow_.size() - live_overflow_;
    if (dead < 1024 || dead < live_overflow_) return;
    std::size_t w = 0;
    for (std::size_t r = 0; r < overflow_.size(); r++) {
        if (overflow_[r].kind != K_REMOVED) overflow_[w++] = overflow_[r];
    }
    overflow_.resize(w);
    overflow_.shrink_to_fit();
    overflow_index_ = decltype(overflow_index_)(0, overflow_index_.hash_function());
    overflow_index_.reserve(w);
    for (std::size_t i = 0; i < w; i++) overflow_index_[overflow_[i].key] = (std::uint32_t)i;
}

void CellStore::clear(std::vector<PyRef>& released) {
    if (dict) {
        // Emptied in place, so that iterators over it see the change; its
        // keys and values go to `released` with it, and no finalizer runs
        // before the caller drops them.
        PyObject* d = dict.get();
        // Only the store changes its dict, so the size holds while we walk
        // it; reserving first keeps allocation out of the critical section.
        released.reserve(released.size() + 2 * (std::size_t)PyDict_Size(d) + 1);
        Py_BEGIN_CRITICAL_SECTION(d);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v)) {
            released.push_back(PyRef::borrow(k));
            released.push_back(PyRef::borrow(v));
        }
        PyDict_Clear(d);
        Py_END_CRITICAL_SECTION();
        released.push_back(std::move(dict));
    }
    for (PyRef& o : objects_) {
        if (o) released.push_back(std::move(o));
    }
    objects_ = {};
    free_slots_ = {};
    rows_ = {};
    row_starts_ = {};
    compact_.clear();
    wide_.clear();
    text_ref_index_ = decltype(text_ref_index_)(0, text_ref_index_.hash_function());
    overflow_ = {};
    overflow_index_ = decltype(overflow_index_)(0, overflow_index_.hash_function());
    text_ = {};
    text_dedup_ = decltype(text_dedup_)(0, text_dedup_.hash_function());
    drop_cached();
    // Tables that only the cells refer to: a reloaded store must hold no
    // more than a fresh one.
    templates_.clear();
    formula_hints_ = {};
    shared_formulas_ = {};
    for (PyRef& r : shared_formula_objects) released.push_back(std::move(r));
    shared_formula_objects = {};
    for (PyRef& r : extra_data_types_) released.push_back(std::move(r));
    extra_data_types_ = {};
    reseed();
    live_compact_ = live_overflow_ = 0;
    last_compact_key_ = 0;
    version_++;
}

void CellStore::drop_context(std::vector<PyRef>& released) {
    auto take = [&](PyRef& r) {
        if (r) released.push_back(std::move(r));
    };
    take(ws_);
    take(cell_styles_);
    take(shared_strings_);
    take(cell_cls_);
    take(array_type_);
    take(cached_row_int_);
    take(dict);
    for (PyRef& r : style_args_) take(r);
    for (auto& kv : wide_style_args_) take(kv.second);
    for (PyRef& r : extra_data_types_) take(r);
    for (PyRef& r : shared_formula_objects) take(r);
    style_args_.clear();
    wide_style_args_.clear();
    extra_data_types_.clear();
    shared_formula_objects.clear();
    array_new_ = nullptr;
    epoch_set_ = false;
}

int CellStore::traverse(visitproc visit, void* arg) const {
    Py_VISIT(ws_.get());
    Py_VISIT(cell_styles_.get());
    Py_VISIT(shared_strings_.get());
    Py_VISIT(cell_cls_.get());
    Py_VISIT(dict.get());
    for (const PyRef& o : objects_) Py_VISIT(o.get());
    for (const PyRef& r : style_args_) Py_VISIT(r.get());
    for (const auto& kv : wide_style_args_) Py_VISIT(kv.second.get());
    for (const PyRef& r : extra_data_types_) Py_VISIT(r.get());
    for (const PyRef& r : shared_formula_objects) Py_VISIT(r.get());
    return 0;
}

}  // namespace tvx
