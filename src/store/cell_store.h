// The cell store core: the cells of a worksheet in compact form, decoded
// into Python values and host Cell objects on demand.
//
// Two tiers hold the cells. The compact tier keeps cells appended in
// ascending (row, column) order as 10-byte records; everything else (out
// of order, wide columns, cells added from Python) lives in the overflow
// tier in insertion order. Store order is the compact tier, then the
// overflow tier.
#pragma once

#include "formula/formula.h"
#include "ftemplate/ftemplate.h"
#include "lib/host.h"
#include "lib/values.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tvx {

using CellKey = std::uint64_t;  // row * 2^32 + column

inline constexpr CellKey make_key(std::uint32_t row, std::uint32_t column) noexcept {
    return ((CellKey)row << 32) | column;
}
inline constexpr std::uint32_t key_row(CellKey k) noexcept { return (std::uint32_t)(k >> 32); }
inline constexpr std::uint32_t key_column(CellKey k) noexcept { return (std::uint32_t)k; }

enum CellKind : std::uint8_t {
    K_REMOVED = 0,
    K_OBJECT = 1,  // objects index: a materialised cell or an assigned object
    K_EMPTY = 2,
    K_INT = 3,    // compact: wide index; overflow: the integer
    K_FLOAT = 4,  // compact: wide index; overflow: the bits
    K_BOOL = 5,
    K_SHARED = 6,  // shared-string index
    K_TEXT = 7,    // compact: wide index of a TextRef; overflow: the TextRef
    K_SHARED_MOVED = 8,
    K_SHARED_ASIS = 9,
    K_DATE_INT = 10,    // like K_INT
    K_DATE_FLOAT = 11,  // like K_FLOAT
    K_VALUE = 12,       // objects index: a value object made by the loader
    K_TEMPLATE = 13,    // formula template number
    K_SMALL_INT = 100,  // compact only: the integer itself, signed 32-bit
};

inline constexpr std::uint32_t kNoStyle = 0xFFFFFFFFu;

// TextRef: arena offset * 2^24 + length.
using TextRef = std::uint64_t;
inline constexpr std::uint64_t kMaxTextLen = (1u << 24) - 1;
inline constexpr std::uint64_t kMaxArena = 1ull << 40;

struct CellLocation {
    bool compact = true;
    std::uint32_t row_index = 0;  // compact: index into rows
    std::uint32_t pos = 0;        // compact position, or overflow record position
};

struct DecodedCell {
    CellKey key = 0;
    std::uint64_t payload = 0;  // wide words fetched, small ints sign-extended
    std::uint32_t style = kNoStyle;
    std::uint8_t kind = K_REMOVED;  // K_SMALL_INT reported as K_INT
    std::uint8_t data_type = 0;
};

// The value a loaded cell contributes: kind plus its 64-bit payload.
struct CellPayload {
    std::uint8_t kind;
    std::uint64_t payload;
};

// The payload of a float: its bits.
inline std::uint64_t double_bits(double d) noexcept {
    std::uint64_t u;
    std::memcpy(&u, &d, 8);
    return u;
}

#pragma pack(push, 1)
struct CompactCell {
    std::uint16_t column;
    std::uint8_t kind;
    std::uint8_t data_type;
    std::uint16_t style;  // 65535: the real id is in wide_styles (no entry: no style)
    std::uint32_t payload;
};
#pragma pack(pop)
static_assert(sizeof(CompactCell) == 10);

struct OverflowCell {
    CellKey key;
    std::uint64_t payload;
    std::uint32_t style;
    std::uint8_t kind;
    std::uint8_t data_type;
};

// Fixed-size chunks, so appending never moves what is already stored.
template <class T>
class ChunkedVector {
public:
    static constexpr std::uint32_t kChunk = 65536;

    std::uint64_t size() const noexcept { return size_; }
    T& operator[](std::uint64_t i) noexcept { return chunks_[i / kChunk][i % kChunk]; }
    const T& operator[](std::uint64_t i) const noexcept { return chunks_[i / kChunk][i % kChunk]; }
    void push_back(const T& v) {
        if (size_ % kChunk == 0 && size_ / kChunk == chunks_.size()) {
            chunks_.emplace_back();
            chunks_.back().reserve(kChunk);
        }
        chunks_[size_ / kChunk].push_back(v);
        size_++;
    }
    const T& back() const noexcept { return (*this)[size_ - 1]; }
    void clear() noexcept {
        chunks_.clear();
        chunks_.shrink_to_fit();
        size_ = 0;
    }
    // Gives back the unused tail of the last chunk.
    void shrink() {
        if (!chunks_.empty()) chunks_.back().shrink_to_fit();
    }
    std::size_t bytes() const noexcept {
        std::size_t n = 0;
        for (const auto& c : chunks_) n += c.capacity() * sizeof(T);
        return n;
    }

private:
    std::vector<std::vector<T>> chunks_;
    std::uint64_t size_ = 0;
};

struct SeededHash {
    std::uint64_t seed = 0;
    std::size_t operator()(std::uint64_t k) const noexcept {
        std::uint64_t x = (k ^ seed) * 0x9E3779B97F4A7C15ull;
        return (std::size_t)(x ^ (x >> 29));
    }
};

class CellStore {
public:
    CellStore();
    ~CellStore();
    CellStore(const CellStore&) = delete;
    CellStore& operator=(const CellStore&) = delete;
    // Creates the seven fixed data-type strings. False with an exception.
    bool init_fixed_types();

    // ---- loading (bind_cells) ----
    // Sets the materialisation context. False with an exception.
    bool configure(PyObject* ws, PyObject* cell_styles, PyObject* cell_cls,
                   const Py_ssize_t (&slot_offsets)[8], PyObject* shared_strings,
                   const NativeEpoch& epoch);
    // Binds the eight cell slots of `cell_cls` (TypeError on a bad slot).
    static bool bind_cell_slots(PyObject* cell_cls, Py_ssize_t (&offsets)[8]);
    bool configured() const noexcept { return (bool)cell_cls_; }
    // A store made for a new sheet (not loaded): its date values (kind 12,
    // data type "d") are the date, datetime and time objects appended.
    void mark_new_sheet() noexcept { new_sheet_ = true; }
    bool holds_appended_dates() const noexcept { return new_sheet_; }

    // A UTF-8 text as arena text (kind 7) or, when too large, a str value
    // object (kind 12). False with an exception.
    bool intern_text(std::string_view utf8, CellPayload& out);
    // Data type code of a data-type object; -1 with an exception (a failed
    // comparison, or NativeFallback "too many data types").
    int intern_data_type(PyObject* obj);
    // Takes over `obj` into the object table; returns its index.
    std::uint32_t put_object(PyRef obj);
    // The placement rule; a duplicate key is overwritten in place.
    void add_cell(CellKey key, std::uint8_t kind, std::uint64_t payload, std::uint8_t data_type,
                  std::uint32_t style);
    // A converted value (lib/values.h) added under `key`. False with an
    // exception (data type interning).
    bool add_value(CellKey key, const ParsedValue& value, PyObject* obj, PyObject* type_obj,
                   std::uint32_t style);
    bool add_value(CellKey key, const CellValue& value, std::uint32_t style) {
        return add_value(key, value, value.obj.get(), value.data_type_obj.get(), style);
    }
    // The cached value of a formula cell as written (<v> text, t and cm
    // attributes; null for an absent one), kept beside the cells until the
    // cell changes.
    void add_cached(CellKey key, std::string_view v, const std::string_view* t,
                    const std::string_view* cm);
    struct Cached {
        std::string_view v;
        bool has_t = false, has_cm = false;
        std::string_view t, cm;
    };
    bool cached_of(CellKey key, Cached& out) const;
    void forget_cached(CellKey key) {
        if (!cached_.empty()) cached_.erase(key);
    }
    void drop_cached() noexcept;
    std::size_t cached_count() const noexcept { return cached_.size(); }
    // Ordinary formula texts: a template number or FormulaTemplates::kNone.
    std::uint32_t intern_formula(std::string_view text, std::uint32_t row, std::uint32_t column);
    // A native shared-formula group; its members are stored as kind 8
    // (moved to the cell) or 9 (as written) with the returned number.
    std::uint32_t add_shared_formula(const FormulaTemplate& tmpl);
    std::size_t shared_formula_count() const noexcept { return shared_formulas_.size(); }
    // End of loading: trims the tables.
    void finish();

    // ---- lookup and read-out ----
    bool locate(CellKey key, CellLocation& out) const noexcept;
    DecodedCell decode(const CellLocation& loc) const noexcept;
    CellKey key_at(const CellLocation& loc) const noexcept;
    // The Python value of a cell; null with an exception.
    PyRef value(const CellLocation& loc);
    PyRef value_of(const DecodedCell& cell);
    // The host Cell of a cell, built on first use; null with an exception.
    PyRef materialise(const CellLocation& loc);
    // Every live cell in store order.
    void keys_in_order(std::vector<CellLocation>& out) const;
    // Calendar fields of a date cell (kinds 10, 11); false when it does not
    // convert (never for a loaded cell).
    bool date_parts(const DecodedCell& cell, DateParts& out) const noexcept;
    std::string_view text_of(TextRef ref) const noexcept;
    // Formula text of a kind 8, 9 or 13 cell; false with an exception.
    // Defined with the formula cell code (formula_cells.cpp).
    bool render_formula(const DecodedCell& cell, std::string& out) const;
    const FormulaTemplates& templates() const noexcept { return templates_; }
    PyObject* object_at(std::uint32_t index) const noexcept { return objects_[index].get(); }
    // The data-type object of a code (0 to 6 fixed, 7 and up extra).
    PyObject* data_type_at(std::uint8_t code) const noexcept { return data_type_object(code); }
    // The style list cells are materialised with (null until configured).
    PyObject* cell_styles_object() const noexcept { return cell_styles_.get(); }

    // ---- changes ----
    // Replaces the cell's content with `obj` (kind 1). The old payload's
    // reference, if any, is handed to `released` so that the caller drops
    // it once the store is consistent.
    void replace_with_object(const CellLocation& loc, PyRef obj, PyRef& released);
    // Appends an overflow record for a key known to be absent.
    void append_overflow(CellKey key, std::uint8_t kind, std::uint64_t payload,
                         std::uint8_t data_type, std::uint32_t style);
    void remove(const CellLocation& loc, PyRef& released);
    // Rows (or columns) from `index` on move by `amount`; a negative amount
    // deletes the cells of [index, index - amount) first. Materialised cells
    // get their new row and column; dropped references go to `released`,
    // and the surviving materialised cells that hold a hyperlink to `linked`.
    // False with an exception (ValueError for keys beyond 32 bits). Defined
    // in shift.cpp.
    bool shift_keys(bool rows, std::uint32_t index, std::int64_t amount,
                    std::vector<PyRef>& released, std::vector<PyRef>& linked);
    // Empties the store and leaves dict mode; the dropped references go to
    // `released`.
    void clear(std::vector<PyRef>& released);
    // Drops the materialisation context as well (garbage-collector clear).
    void drop_context(std::vector<PyRef>& released);

    // ---- sizes and iteration ----
    std::uint64_t size() const noexcept { return live_compact_ + live_overflow_; }
    std::uint64_t version() const noexcept { return version_; }
    std::uint32_t compact_slots() const noexcept { return (std::uint32_t)compact_.size(); }
    std::size_t overflow_records() const noexcept { return overflow_.size(); }
    std::uint64_t live_overflow() const noexcept { return live_overflow_; }
    const CompactCell& compact_at(std::uint32_t pos) const noexcept { return compact_[pos]; }
    const OverflowCell& overflow_at(std::size_t pos) const noexcept { return overflow_[pos]; }
    // Row of a compact position; `hint` is a row index tried first.
    std::uint32_t row_index_of(std::uint32_t pos, std::uint32_t hint) const noexcept;
    std::uint32_t row_at(std::uint32_t row_index) const noexcept { return rows_[row_index]; }
    // Compact positions [first, last) of `row`; false when it has none.
    bool row_span(std::uint32_t row, std::uint32_t& row_index, std::uint32_t& first,
                  std::uint32_t& last) const noexcept;
    bool overflow_find(CellKey key, std::uint32_t& pos) const noexcept;
    std::size_t materialised_count() const noexcept;
    std::size_t template_count() const noexcept { return templates_.size(); }
    std::size_t extra_data_type_count() const noexcept { return extra_data_types_.size(); }
    std::size_t object_slots() const noexcept { return objects_.size(); }
    std::uint64_t text_bytes() const noexcept { return text_.size(); }
    std::size_t memory_bytes() const noexcept;

    // Python references the garbage collector must see.
    int traverse(visitproc visit, void* arg) const;

    // The dict of dict mode (owned; null in native mode).
    PyRef dict;
    // Python-valued shared formulas (kept alive and traversed here).
    std::vector<PyRef> shared_formula_objects;

private:
    std::uint32_t wide_push(std::uint64_t word);
    std::uint64_t wide_at(std::uint32_t index) const noexcept { return wide_[index]; }
    std::uint32_t compact_payload(std::uint8_t& kind, std::uint64_t payload);
    void set_compact_style(std::uint32_t pos, std::uint32_t style);
    void set_object_record(const CellLocation& loc, std::uint32_t index) noexcept;
    std::uint32_t style_of(std::uint32_t pos) const noexcept;
    void release_payload(std::uint8_t kind, std::uint64_t payload, PyRef& released);
    void free_object(std::uint32_t index, PyRef& released);
    void maybe_compact_overflow();
    void reseed();
    PyRef style_array(std::uint32_t style);
    PyRef row_int(std::uint32_t row);
    PyObject* data_type_object(std::uint8_t code) const noexcept;
    PyRef shared_string(std::uint64_t index) const;

    // Compact tier.
    std::vector<std::uint32_t> rows_;
    std::vector<std::uint32_t> row_starts_;  // rows_.size() + 1 entries once a row exists
    ChunkedVector<CompactCell> compact_;
    std::uint64_t live_compact_ = 0;
    CellKey last_compact_key_ = 0;
    ChunkedVector<std::uint64_t> wide_;
    std::unordered_map<std::uint32_t, std::uint32_t, SeededHash> wide_styles_;
    std::unordered_map<TextRef, std::uint32_t, SeededHash> text_ref_index_;

    // Overflow tier.
    std::vector<OverflowCell> overflow_;
    std::unordered_map<CellKey, std::uint32_t, SeededHash> overflow_index_;
    std::uint64_t live_overflow_ = 0;

    // Shared side tables. objects_ entries are owned references (null:
    // a free slot, listed in free_slots_).
    std::vector<PyRef> objects_;
    std::vector<std::uint32_t> free_slots_;
    std::string text_;
    std::unordered_map<std::uint64_t, TextRef, SeededHash> text_dedup_;
    FormulaTemplates templates_;
    // Per column, the template its last interned formula took (kNone for
    // none yet), and a buffer to render it into; dropped by finish().
    std::vector<std::uint32_t> formula_hints_;
    std::string formula_scratch_;
    std::vector<FormulaTemplate> shared_formulas_;
    std::vector<PyRef> extra_data_types_;
    // Cached values of formula cells: spans of cached_text_.
    struct Span {
        std::uint64_t off = 0;
        std::uint32_t len = 0;
        bool set = false;
    };
    struct CachedRecord {
        Span v, t, cm;
    };
    std::unordered_map<CellKey, CachedRecord, SeededHash> cached_;
    std::string cached_text_;
    Span keep_text(const std::string_view* text);

    // Materialisation context.
    PyRef ws_, cell_styles_, shared_strings_, cell_cls_;
    Py_ssize_t offsets_[8] = {};
    newfunc array_new_ = nullptr;
    PyRef array_type_;
    PyRef typecode_i_;
    PyRef fixed_types_[7];
    NativeEpoch epoch_;
    bool epoch_set_ = false;
    bool new_sheet_ = false;
    const DateTimeApi* datetime_api_ = nullptr;
    std::vector<PyRef> style_args_;  // style id -> ("i", cell_styles[id]), ids < kDenseStyles
    std::unordered_map<std::uint32_t, PyRef> wide_style_args_;
    std::uint32_t cached_row_ = 0;
    PyRef cached_row_int_;

    std::uint64_t version_ = 0;
};

// ---- the Python object ----

// The CellStore inside a CellStore Python object (which must be one).
CellStore& store_core(PyObject* store) noexcept;

// The per-object borrow flag. A hold is shared (reads) or exclusive
// (anything that may change the store or call Python code that could).
class StoreHold {
public:
    StoreHold() = default;
    ~StoreHold() { release(); }
    StoreHold(const StoreHold&) = delete;
    StoreHold& operator=(const StoreHold&) = delete;

    // False without raising when the store is held in a conflicting way.
    bool try_exclusive(PyObject* store) noexcept;
    bool try_shared(PyObject* store) noexcept;
    // Same, raising RuntimeError "Already borrowed" / "Already mutably borrowed".
    bool exclusive(PyObject* store) noexcept;
    bool shared(PyObject* store) noexcept;
    void release() noexcept;

private:
    std::atomic<int>* flag_ = nullptr;
    bool exclusive_ = false;
};

}  // namespace tvx
