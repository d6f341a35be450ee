#include "table/table.h"

#include "utils/utils.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

namespace tvx::table {

namespace {

constexpr std::int64_t kDayMicros = 86400000000LL;
constexpr std::int64_t kOffsetLimit = 0x7FFFFFFF;

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Year, month and day of a day count from 1970-01-01 (proleptic Gregorian).
void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) noexcept {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = std::int64_t(yoe) + era * 400 + (m <= 2);
}

void append_digits(std::string& out, std::uint64_t v, int width) {
    char buf[24];
    int n = 0;
    do {
        buf[n++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    for (int i = n; i < width; ++i) out.push_back('0');
    while (n) out.push_back(buf[--n]);
}

void append_date(std::string& out, std::int64_t days) {
    std::int64_t y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    if (y < 0) out.push_back('-');
    append_digits(out, std::uint64_t(y < 0 ? -y : y), 4);
    out.push_back('-');
    append_digits(out, m, 2);
    out.push_back('-');
    append_digits(out, d, 2);
}

// HH:MM:SS, and .ffffff when there are microseconds (as isoformat writes).
void append_clock(std::string& out, std::int64_t micros) {
    const std::int64_t s = micros / 1000000, us = micros % 1000000;
    append_digits(out, std::uint64_t(s / 3600), 2);
    out.push_back(':');
    append_digits(out, std::uint64_t(s / 60 % 60), 2);
    out.push_back(':');
    append_digits(out, std::uint64_t(s % 60), 2);
    if (us) {
        out.push_back('.');
        append_digits(out, std::uint64_t(us), 6);
    }
}

// Elapsed time as hours:minutes:seconds, "-30:00:00", "1:02:03.5".
void append_duration(std::string& out, std::int64_t micros) {
    if (micros < 0) out.push_back('-');
    const std::uint64_t a = micros < 0 ? std::uint64_t(0) - std::uint64_t(micros)
                                       : std::uint64_t(micros);
    const std::uint64_t s = a / 1000000, us = a % 1000000;
    append_digits(out, s / 3600, 1);
    out.push_back(':');
    append_digits(out, s / 60 % 60, 2);
    out.push_back(':');
    append_digits(out, s % 60, 2);
    if (us) {
        std::string frac;
        append_digits(frac, us, 6);
        while (!frac.empty() && frac.back() == '0') frac.pop_back();
        out.push_back('.');
        out += frac;
    }
}

double as_double(std::uint64_t bits) noexcept {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// A double that is a whole number an int64 holds.
bool integral(double x, std::int64_t& out) noexcept {
    if (!(x >= -9223372036854775808.0 && x < 9223372036854775808.0) || std::trunc(x) != x)
        return false;
    out = std::int64_t(x);
    return true;
}

// Kinds as inference groups them.
enum class Cat : std::uint8_t { None, Bool, IntLike, Float, Str, DateTime, Day, Time, Duration, Mixed };

Cat category(Kind k, std::uint64_t payload) noexcept {
    switch (k) {
        case Kind::Bool:
            return Cat::Bool;
        case Kind::Int:
            return Cat::IntLike;
        case Kind::Float: {
            std::int64_t i;
            return integral(as_double(payload), i) ? Cat::IntLike : Cat::Float;
        }
        case Kind::Shared:
        case Kind::Text:
            return Cat::Str;
        case Kind::DateTime:
            return Cat::DateTime;
        case Kind::DayStart:
        case Kind::Date:
            return Cat::Day;
        case Kind::Time:
            return Cat::Time;
        case Kind::Duration:
            return Cat::Duration;
        case Kind::Empty:
        case Kind::Error:
            break;
    }
    return Cat::None;
}

Cat combine(Cat a, Cat b) noexcept {
    if (a == Cat::None || a == b) return b;
    if ((a == Cat::IntLike && b == Cat::Float) || (a == Cat::Float && b == Cat::IntLike))
        return Cat::Float;
    if ((a == Cat::DateTime && b == Cat::Day) || (a == Cat::Day && b == Cat::DateTime))
        return Cat::DateTime;
    return Cat::Mixed;
}

Type type_of(Cat c) noexcept {
    switch (c) {
        case Cat::None:
            return Type::Null;
        case Cat::Bool:
            return Type::Boolean;
        case Cat::IntLike:
            return Type::Int;
        case Cat::Float:
            return Type::Float;
        case Cat::DateTime:
            return Type::DateTime;
        case Cat::Day:
            return Type::Date;
        case Cat::Time:
            return Type::Time;
        case Cat::Duration:
            return Type::Duration;
        case Cat::Str:
        case Cat::Mixed:
            break;
    }
    return Type::String;
}

const char* kind_name(Kind k) noexcept {
    switch (k) {
        case Kind::Bool:
            return "boolean";
        case Kind::Int:
            return "int";
        case Kind::Float:
            return "float";
        case Kind::Shared:
        case Kind::Text:
            return "string";
        case Kind::DateTime:
        case Kind::DayStart:
            return "datetime";
        case Kind::Date:
            return "date";
        case Kind::Time:
            return "time";
        case Kind::Duration:
            return "duration";
        case Kind::Error:
            return "error";
        case Kind::Empty:
            break;
    }
    return "empty";
}

const char* format_of(Type t, StringMode strings) noexcept {
    switch (t) {
        case Type::Null:
            return "n";
        case Type::Boolean:
            return "b";
        case Type::Int:
            return "l";
        case Type::Float:
            return "g";
        case Type::String:
            return strings == StringMode::View ? "vu" : strings == StringMode::Plain ? "U" : "i";
        case Type::DateTime:
            return "tsu:";
        case Type::Date:
            return "tdD";
        case Type::Time:
            return "ttu";
        case Type::Duration:
            return "tDu";
    }
    return "n";
}

arrow::Field field_of(const std::string& name, Type t, StringMode strings) {
    arrow::Field f;
    f.name = name;
    f.format = format_of(t, strings);
    if (t == Type::String && strings == StringMode::Dictionary) {
        auto values = std::make_shared<arrow::Field>();
        values->format = "u";
        f.dictionary = std::move(values);
    }
    return f;
}

Error strict_error(std::int64_t row, std::int64_t column, const std::string& name,
                   const std::string& what) {
    return {Fail::Value, "cell " + cell_name(row, column) + " in column \"" + name + "\": " + what};
}

// A column's validity bitmap and fixed-width values, nulls until set.
struct Fixed {
    arrow::BufferPtr validity, values;
    std::int64_t set = 0;
    Fixed(std::int64_t n, std::size_t width) {
        validity = arrow::make_buffer(arrow::bitmap_bytes(n));
        validity->resize_zeroed(arrow::bitmap_bytes(n));
        values = arrow::make_buffer(std::size_t(n) * width);
        values->resize_zeroed(std::size_t(n) * width);
    }
    void mark(std::int64_t i) {
        arrow::set_bit(validity->data(), i);
        ++set;
    }
    std::shared_ptr<arrow::ArrayData> array(std::int64_t n) {
        auto a = std::make_shared<arrow::ArrayData>();
        a->length = n;
        a->null_count = n - set;
        validity->pad();
        values->pad();
        a->buffers = {a->null_count ? validity : nullptr, values};
        return a;
    }
};

std::shared_ptr<arrow::ArrayData> null_array(std::int64_t n) {
    auto a = std::make_shared<arrow::ArrayData>();
    a->length = n;
    a->null_count = n;
    return a;
}

// Local strings of dictionary-encoded columns, shared by the columns of
// one table and indexed after the shared strings.
struct LocalDictionary {
    std::unordered_map<std::string, std::int32_t> index;
    arrow::BufferPtr offsets = arrow::make_buffer(), data = arrow::make_buffer();
    std::int64_t count = 0;

    LocalDictionary() { offsets->push<std::int32_t>(0); }
    bool lookup(std::string_view s, std::int64_t base, std::int32_t& out) {
        auto it = index.find(std::string(s));
        if (it != index.end()) {
            out = it->second;
            return true;
        }
        if (base + count + 1 > kOffsetLimit || std::int64_t(data->size() + s.size()) > kOffsetLimit)
            return false;
        out = std::int32_t(base + count);
        index.emplace(std::string(s), out);
        data->append(s.data(), s.size());
        offsets->push<std::int32_t>(std::int32_t(data->size()));
        ++count;
        return true;
    }
};

arrow::ArrayPtr dictionary_array(const StringTable& sst, const LocalDictionary& local) {
    auto a = std::make_shared<arrow::ArrayData>();
    a->length = sst.size() + local.count;
    if (local.count == 0) {
        a->buffers = {nullptr, sst.offsets(), sst.data()};
        return a;
    }
    const std::int64_t base = sst.offset(sst.size());
    auto offsets = arrow::make_buffer(std::size_t(a->length + 1) * 4);
    offsets->append(sst.offsets()->data(), std::size_t(sst.size() + 1) * 4);
    const auto* lo = local.offsets->as<std::int32_t>();
    for (std::int64_t i = 1; i <= local.count; ++i)
        offsets->push<std::int32_t>(std::int32_t(base + lo[i]));
    auto data = arrow::make_buffer(std::size_t(base) + local.data->size());
    data->append(sst.data()->data(), std::size_t(base));
    data->append(local.data->data(), local.data->size());
    offsets->pad();
    data->pad();
    a->buffers = {nullptr, offsets, data};
    return a;
}

}  // namespace

bool type_from_name(std::string_view name, Type& out) noexcept {
    for (std::size_t i = 0; i < std::size(kTypeNames); ++i) {
        if (name == kTypeNames[i]) {
            out = Type(i);
            return true;
        }
    }
    return false;
}

// -- the shared strings

StringTable::StringTable() : offsets_(arrow::make_buffer()), data_(arrow::make_buffer()) {
    offsets_->push<std::int32_t>(0);
}

bool StringTable::fits(std::size_t more) const noexcept {
    return std::int64_t(data_->size() + more) <= kOffsetLimit && count_ < kOffsetLimit - 1;
}

void StringTable::reserve(std::int64_t count, std::size_t bytes) {
    offsets_->reserve(std::size_t(count + 1) * 4);
    data_->reserve(bytes);
}

void StringTable::add(std::string_view s) {
    data_->append(s.data(), s.size());
    offsets_->push<std::int32_t>(std::int32_t(data_->size()));
    ++count_;
}

// -- the rows read

bool RowPlan::skipped(std::int64_t t) const noexcept {
    if (t < skip_count) return true;
    return std::binary_search(skip_list.begin(), skip_list.end(), t);
}

SheetCells::SheetCells(StringTablePtr strings, RowPlan plan, Bounds bounds)
    : strings_(std::move(strings)),
      plan_(std::move(plan)),
      bounds_(bounds),
      by_sheet_column_(std::size_t(kMaxColumn + 1), -1),
      arena_(arrow::make_buffer()) {
    counting_ = plan_.n_rows >= 0 && !plan_.skip_later && !plan_.fill_merged;
    if (bounds_.fixed()) {
        first_row_ = bounds_.first_row;
        last_row_ = bounds_.last_row;
    }
}

std::int64_t SheetCells::Column::find(std::uint32_t row) const noexcept {
    auto it = std::lower_bound(rows.begin(), rows.end(), row);
    return it != rows.end() && *it == row ? it - rows.begin() : -1;
}

SheetCells::Column& SheetCells::column(std::int64_t sheet_column) {
    std::int32_t& at = by_sheet_column_[std::size_t(sheet_column)];
    if (at < 0) {
        at = std::int32_t(columns_.size());
        columns_.emplace_back();
        columns_.back().sheet_column = sheet_column;
    }
    return columns_[std::size_t(at)];
}

std::uint64_t SheetCells::add_text(std::string_view s) {
    spans_.push_back({arena_->size(), std::uint32_t(s.size())});
    arena_->append(s.data(), s.size());
    return spans_.size() - 1;
}

void SheetCells::begin_row(std::int64_t row) {
    if (in_row_ && !commit_row()) {
        in_row_ = false;
        return;
    }
    if (error_) return;
    in_row_ = row >= 1 && row > last_row_element_;
    if (in_row_) {
        last_row_element_ = row;
        row_ = row;
    }
}

bool SheetCells::add(std::int64_t column, Kind kind, std::uint64_t payload,
                     std::string_view text) {
    if (!in_row_) return !error_;
    std::uint64_t span = 0;
    if (kind == Kind::Text || kind == Kind::Error) {
        if (text.size() > 0xFFFFFFFFu) {
            error_ = {Fail::Unsupported, "text too long"};
            return false;
        }
        span = add_text(text);
    }
    pending_.push_back({column, kind, payload, span});
    return true;
}

bool SheetCells::finish() {
    if (in_row_) {
        in_row_ = false;
        if (!commit_row()) return false;
    }
    return !error_;
}

bool SheetCells::commit_row() {
    if (pending_.empty()) return true;
    const std::int64_t width = pending_.back().column;
    // The usual row has its cells in column order, once each; otherwise
    // the last cell of each column counts.
    bool ordered = true;
    for (std::size_t i = 1; i < pending_.size(); ++i) {
        if (pending_[i].column <= pending_[i - 1].column) {
            ordered = false;
            break;
        }
    }
    if (!ordered) {
        std::stable_sort(pending_.begin(), pending_.end(),
                         [](const Pending& a, const Pending& b) { return a.column < b.column; });
        std::size_t out = 0;
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            if (i + 1 < pending_.size() && pending_[i + 1].column == pending_[i].column) continue;
            pending_[out++] = pending_[i];
        }
        pending_.resize(out);
    }
    bool any = false;
    std::int64_t t = 0;
    for (const Pending& p : pending_) {
        if (p.column < 1 || p.column > width || p.kind == Kind::Empty) continue;
        if (row_ > kMaxRow || p.column > kMaxColumn) {
            error_ = {Fail::Grid, "cell " + cell_name(row_, p.column) +
                                      " lies outside the worksheet grid (A1:XFD1048576)"};
            pending_.clear();
            return false;
        }
        if (bounds_.fixed()) {
            if (row_ < bounds_.first_row || row_ > bounds_.last_row ||
                p.column < bounds_.first_column || p.column > bounds_.last_column)
                continue;
        } else {
            if (first_row_ == 0) first_row_ = row_;
            last_row_ = row_;
        }
        if (min_column_ == 0 || p.column < min_column_) min_column_ = p.column;
        if (p.column > max_column_) max_column_ = p.column;
        t = row_ - first_row_;
        Column& c = column(p.column);
        c.rows.push_back(std::uint32_t(t));
        c.kinds.push_back(p.kind);
        c.payload.push_back(p.kind == Kind::Text || p.kind == Kind::Error ? p.text : p.payload);
        any = true;
    }
    pending_.clear();
    if (any && counting_) {
        for (; counted_ < t; ++counted_) count_row(counted_, true);
        count_row(t, false);
        counted_ = t + 1;
    }
    return true;
}

void SheetCells::count_row(std::int64_t t, bool empty) {
    if (plan_.skipped(t)) return;
    const std::int64_t k = kept_++;
    if (plan_.header_row >= 0 && k <= plan_.header_row) {
        if (k == plan_.header_row && plan_.n_rows == 0) enough_ = true;
        return;
    }
    if (plan_.skip_empty_rows && empty) return;
    if (++data_rows_ >= plan_.n_rows) enough_ = true;
}

void SheetCells::fill_merged(const std::vector<std::array<std::int64_t, 4>>& ranges) {
    if (first_row_ == 0 || (!bounds_.fixed() && min_column_ == 0)) return;
    const std::int64_t top = first_row_, bottom = last_row_;
    const std::int64_t left = bounds_.fixed() ? bounds_.first_column : min_column_;
    const std::int64_t right = bounds_.fixed() ? bounds_.last_column : max_column_;
    struct Value {
        Kind kind;
        std::uint64_t payload;
    };
    // Changes made so far, by (column, range row); read before the cells.
    std::unordered_map<std::uint64_t, Value> changed;
    auto key = [](std::int64_t c, std::int64_t t) { return (std::uint64_t(c) << 32) | std::uint64_t(t); };
    auto value_at = [&](std::int64_t r, std::int64_t c) -> Value {
        if (r < top || r > bottom || c < left || c > right) return {Kind::Empty, 0};
        auto it = changed.find(key(c, r - top));
        if (it != changed.end()) return it->second;
        const std::int32_t at = by_sheet_column_[std::size_t(c)];
        if (at < 0) return {Kind::Empty, 0};
        const Column& col = columns_[std::size_t(at)];
        const std::int64_t e = col.find(std::uint32_t(r - top));
        if (e < 0) return {Kind::Empty, 0};
        return {col.kinds[std::size_t(e)], col.payload[std::size_t(e)]};
    };
    for (const auto& rng : ranges) {
        const Value v = value_at(rng[0], rng[1]);
        for (std::int64_t c = std::max(rng[1], left); c <= std::min(rng[3], right); ++c) {
            for (std::int64_t r = std::max(rng[0], top); r <= std::min(rng[2], bottom); ++r)
                changed[key(c, r - top)] = v;
        }
    }
    if (changed.empty()) return;
    // Merged into each column in row order, a change replacing the cell.
    std::unordered_map<std::int64_t, std::vector<std::pair<std::uint32_t, Value>>> by_column;
    for (const auto& [k, v] : changed)
        by_column[std::int64_t(k >> 32)].push_back({std::uint32_t(k & 0xFFFFFFFFu), v});
    for (auto& [c, list] : by_column) {
        std::sort(list.begin(), list.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        Column& col = column(c);
        Column merged;
        merged.sheet_column = c;
        std::size_t i = 0, j = 0;
        while (i < col.rows.size() || j < list.size()) {
            const bool take_change =
                j < list.size() && (i >= col.rows.size() || list[j].first <= col.rows[i]);
            if (take_change) {
                if (i < col.rows.size() && col.rows[i] == list[j].first) ++i;
                const Value& v = list[j].second;
                if (v.kind != Kind::Empty) {
                    merged.rows.push_back(list[j].first);
                    merged.kinds.push_back(v.kind);
                    merged.payload.push_back(v.payload);
                }
                ++j;
            } else {
                merged.rows.push_back(col.rows[i]);
                merged.kinds.push_back(col.kinds[i]);
                merged.payload.push_back(col.payload[i]);
                ++i;
            }
        }
        col = std::move(merged);
    }
}

// -- the layout

Layout lay_out(const SheetCells& cells, const std::vector<std::uint8_t>& skip) {
    Layout out;
    const RowPlan& plan = cells.plan();
    const std::int64_t n = cells.range_rows();
    std::vector<std::uint8_t> has_value(std::size_t(n), 0);
    for (const auto& c : cells.columns()) {
        for (std::uint32_t t : c.rows) has_value[t] = 1;
    }
    std::vector<std::int64_t> kept;
    for (std::int64_t t = 0; t < n; ++t) {
        if (plan.skipped(t) || (!skip.empty() && skip[std::size_t(t)])) continue;
        kept.push_back(t);
    }
    std::size_t first_data = 0;
    if (plan.header_row >= 0) {
        if (std::size_t(plan.header_row) < kept.size()) {
            out.header = kept[std::size_t(plan.header_row)];
            first_data = std::size_t(plan.header_row) + 1;
        } else {
            first_data = kept.size();
        }
    }
    out.row_of.assign(std::size_t(n), -1);
    for (std::size_t i = first_data; i < kept.size(); ++i) {
        const std::int64_t t = kept[i];
        if (plan.skip_empty_rows && !has_value[std::size_t(t)]) continue;
        if (plan.n_rows >= 0 && out.num_rows >= plan.n_rows) break;
        out.row_of[std::size_t(t)] = std::int32_t(out.num_rows++);
    }
    // The columns: the table's own, or those the header and data rows span.
    std::int64_t lo = 0, hi = 0;
    if (cells.bounds().fixed()) {
        lo = cells.bounds().first_column;
        hi = cells.bounds().last_column;
    } else {
        for (const auto& c : cells.columns()) {
            bool used = false;
            for (std::uint32_t t : c.rows) {
                if (out.row_of[t] >= 0 || std::int64_t(t) == out.header) {
                    used = true;
                    break;
                }
            }
            if (!used) continue;
            if (lo == 0 || c.sheet_column < lo) lo = c.sheet_column;
            if (c.sheet_column > hi) hi = c.sheet_column;
        }
    }
    std::vector<std::int32_t> index(std::size_t(kMaxColumn + 1), -1);
    for (std::size_t i = 0; i < cells.columns().size(); ++i)
        index[std::size_t(cells.columns()[i].sheet_column)] = std::int32_t(i);
    std::unordered_set<std::string> used;
    for (std::int64_t c = lo; lo != 0 && c <= hi; ++c) {
        const std::int32_t src = index[std::size_t(c)];
        out.sheet_columns.push_back(c);
        out.source.push_back(src);
        std::string name;
        if (out.header >= 0 && src >= 0) {
            const auto& col = cells.columns()[std::size_t(src)];
            const std::int64_t e = col.find(std::uint32_t(out.header));
            if (e >= 0) {
                const Kind k = col.kinds[std::size_t(e)];
                const std::uint64_t p = col.payload[std::size_t(e)];
                std::string_view text;
                if (k == Kind::Shared)
                    text = cells.strings().at(std::int64_t(p));
                else if (k == Kind::Text || k == Kind::Error)
                    text = cells.text(p);
                append_value_text(name, k, p, text);
            }
        }
        if (name.empty()) name = "column_" + std::to_string(c - lo + 1);
        std::string candidate = name;
        for (std::int64_t k = 1; used.count(candidate); ++k)
            candidate = name + "_" + std::to_string(k);
        used.insert(candidate);
        out.names.push_back(std::move(candidate));
    }
    return out;
}

// -- the columns

namespace {

class ColumnBuilder {
public:
    ColumnBuilder(SheetCells& cells, const Layout& layout, const BuildOptions& options,
                  LocalDictionary& dictionary)
        : cells_(cells), layout_(layout), options_(options), dictionary_(dictionary) {}

    // The column's type from its first rows.
    Error infer(const SheetCells::Column* col, const std::string& name, Type& out) {
        Cat cat = Cat::None;
        if (col) {
            for (std::size_t e = 0; e < col->rows.size(); ++e) {
                const std::int32_t row = layout_.row_of[col->rows[e]];
                if (row < 0) continue;
                if (options_.sample_rows >= 0 && row >= options_.sample_rows) break;
                const Kind k = col->kinds[e];
                if (k == Kind::Error) {
                    if (options_.strict) return error_cell(*col, e, name);
                    continue;
                }
                const Cat next = combine(cat, category(k, col->payload[e]));
                if (next == Cat::Mixed && options_.strict)
                    return strict_error(sheet_row(col->rows[e]), col->sheet_column, name,
                                        std::string(kind_name(k)) + " value does not fit type " +
                                            kTypeNames[int(type_of(cat))]);
                cat = next;
            }
        }
        out = type_of(cat);
        return {};
    }

    Error build(const SheetCells::Column* col, const std::string& name, Type type,
                arrow::ArrayPtr& out) {
        const std::int64_t n = layout_.num_rows;
        name_ = &name;
        col_ = col;
        switch (type) {
            case Type::Null:
                return null_column(n, out);
            case Type::Boolean:
                return fixed<std::uint8_t>(n, type, out);
            case Type::Int:
            case Type::Float:
            case Type::DateTime:
            case Type::Time:
            case Type::Duration:
                return fixed<std::int64_t>(n, type, out);
            case Type::Date:
                return fixed<std::int32_t>(n, type, out);
            case Type::String:
                return strings(n, out);
        }
        return {};
    }

    // Dictionary-encoded columns wait for the dictionary, made once all
    // columns are built.
    std::vector<std::pair<std::size_t, std::shared_ptr<arrow::ArrayData>>> waiting;
    std::size_t position = 0;

private:
    std::int64_t sheet_row(std::uint32_t t) const { return cells_.first_row() + std::int64_t(t); }

    Error error_cell(const SheetCells::Column& col, std::size_t e, const std::string& name) {
        return strict_error(sheet_row(col.rows[e]), col.sheet_column, name,
                            "error value " + std::string(cells_.text(col.payload[e])));
    }

    Error no_fit(std::size_t e, Type type) {
        const Kind k = col_->kinds[e];
        if (k == Kind::Error) return error_cell(*col_, e, *name_);
        return strict_error(sheet_row(col_->rows[e]), col_->sheet_column, *name_,
                            std::string(kind_name(k)) + " value does not fit type " +
                                kTypeNames[int(type)]);
    }

    // Calls fn(entry, output row) for each cell of a data row.
    template <class F>
    Error each(F&& fn) {
        if (!col_) return {};
        for (std::size_t e = 0; e < col_->rows.size(); ++e) {
            const std::int32_t row = layout_.row_of[col_->rows[e]];
            if (row < 0) continue;
            if (Error err = fn(e, row)) return err;
        }
        return {};
    }

    Error null_column(std::int64_t n, arrow::ArrayPtr& out) {
        if (options_.strict) {
            if (Error err = each([&](std::size_t e, std::int32_t) { return no_fit(e, Type::Null); }))
                return err;
        }
        out = null_array(n);
        return {};
    }

    // The value of entry e as type `type` (fixed width), false when it does not fit;
    // `lossy` when it fits only by coercion (a datetime cut to its day).
    bool cast(std::size_t e, Type type, std::int64_t& v, bool& lossy) const {
        const Kind k = col_->kinds[e];
        const std::uint64_t p = col_->payload[e];
        lossy = false;
        switch (type) {
            case Type::Boolean:
                v = std::int64_t(p);
                return k == Kind::Bool;
            case Type::Int:
                if (k == Kind::Int) {
                    v = std::int64_t(p);
                    return true;
                }
                return k == Kind::Float && integral(as_double(p), v);
            case Type::Float: {
                double d;
                if (k == Kind::Int)
                    d = double(std::int64_t(p));
                else if (k == Kind::Float)
                    d = as_double(p);
                else
                    return false;
                std::memcpy(&v, &d, sizeof d);
                return true;
            }
            case Type::DateTime:
                v = std::int64_t(p);
                return k == Kind::DateTime || k == Kind::DayStart || k == Kind::Date;
            case Type::Date:
                if (k != Kind::DateTime && k != Kind::DayStart && k != Kind::Date) return false;
                v = floor_div(std::int64_t(p), kDayMicros);
                lossy = std::int64_t(p) % kDayMicros != 0;
                return true;
            case Type::Time:
                v = std::int64_t(p);
                return k == Kind::Time;
            case Type::Duration:
                v = std::int64_t(p);
                return k == Kind::Duration;
            case Type::Null:
            case Type::String:
                break;
        }
        return false;
    }

    template <class T>
    Error fixed(std::int64_t n, Type type, arrow::ArrayPtr& out) {
        const bool boolean = type == Type::Boolean;
        Fixed buf(n, boolean ? 0 : sizeof(T));
        if (boolean) buf.values->resize_zeroed(arrow::bitmap_bytes(n));
        T* values = buf.values->template as<T>();
        const bool strict = options_.strict;
        Error err = each([&](std::size_t e, std::int32_t row) -> Error {
            std::int64_t v;
            bool lossy;
            if (!cast(e, type, v, lossy) || (lossy && strict)) {
                if (strict) return no_fit(e, type);
                return {};
            }
            if (boolean) {
                if (v) arrow::set_bit(buf.values->data(), row);
            } else {
                values[row] = T(v);
            }
            buf.mark(row);
            return {};
        });
        if (err) return err;
        out = buf.array(n);
        return {};
    }

    // The text of entry e as a string column holds it; false when it
    // does not fit (strict, not a string) or is null (an error).
    bool text_of(std::size_t e, std::string& scratch, std::string_view& text, bool& shared,
                 std::int64_t& index) {
        const Kind k = col_->kinds[e];
        const std::uint64_t p = col_->payload[e];
        shared = false;
        if (k == Kind::Shared) {
            shared = true;
            index = std::int64_t(p);
            text = cells_.strings().at(index);
            return true;
        }
        if (k == Kind::Text) {
            text = cells_.text(p);
            index = std::int64_t(p);
            return true;
        }
        if (k == Kind::Error || options_.strict) return false;
        scratch.clear();
        append_value_text(scratch, k, p, {});
        text = scratch;
        index = -1;
        return true;
    }

    Error strings(std::int64_t n, arrow::ArrayPtr& out) {
        auto validity = arrow::make_buffer(arrow::bitmap_bytes(n));
        validity->resize_zeroed(arrow::bitmap_bytes(n));
        std::int64_t set = 0;
        std::string scratch;
        const StringTable& sst = cells_.strings();
        const StringMode mode = options_.strings;
        arrow::BufferPtr values, data;
        if (mode == StringMode::View) {
            values = arrow::make_buffer(std::size_t(n) * sizeof(arrow::View));
            values->resize_zeroed(std::size_t(n) * sizeof(arrow::View));
        } else if (mode == StringMode::Dictionary) {
            values = arrow::make_buffer(std::size_t(n) * 4);
            values->resize_zeroed(std::size_t(n) * 4);
        } else {
            values = arrow::make_buffer(std::size_t(n + 1) * 8);
            values->resize_zeroed(std::size_t(n + 1) * 8);
            data = arrow::make_buffer();
        }
        std::int64_t next_plain = 0;  // plain: output rows given their offsets so far
        const char* sst_data = reinterpret_cast<const char*>(sst.data()->data());
        const std::int32_t* sst_offsets = sst.offsets()->as<std::int32_t>();
        Error err = each([&](std::size_t e, std::int32_t row) -> Error {
            // The shared strings a column uses lie scattered through their
            // buffer: the text a few cells on is fetched while this one is made.
            constexpr std::size_t kAhead = 16;
            if (e + kAhead < col_->kinds.size() && col_->kinds[e + kAhead] == Kind::Shared)
                __builtin_prefetch(sst_data + sst_offsets[col_->payload[e + kAhead]]);
            std::string_view text;
            bool shared;
            std::int64_t index;
            if (!text_of(e, scratch, text, shared, index)) {
                if (options_.strict) return no_fit(e, Type::String);
                return {};
            }
            if (mode == StringMode::View) {
                arrow::View v;
                if (shared) {
                    v = arrow::make_view(text, 0, sst.offset(index));
                } else {
                    std::uint64_t offset;
                    if (index >= 0) {
                        offset = std::uint64_t(text.data() -
                                               reinterpret_cast<const char*>(cells_.arena()->data()));
                    } else if (text.size() > 12) {
                        offset = cells_.arena()->size();
                        cells_.add_text(text);
                    } else {
                        offset = 0;
                    }
                    if (offset + text.size() > std::uint64_t(kOffsetLimit))
                        return {Fail::Unsupported, "strings over 2 GiB"};
                    v = arrow::make_view(text, 1, std::int64_t(offset));
                }
                values->as<arrow::View>()[row] = v;
            } else if (mode == StringMode::Dictionary) {
                std::int32_t id;
                if (shared) {
                    id = std::int32_t(index);
                } else if (!dictionary_.lookup(text, sst.size(), id)) {
                    return {Fail::Unsupported, "strings over 2 GiB"};
                }
                values->as<std::int32_t>()[row] = id;
            } else {
                auto* offsets = values->as<std::int64_t>();
                for (; next_plain <= row; ++next_plain)
                    offsets[next_plain] = std::int64_t(data->size());
                data->append(text.data(), text.size());
                offsets[row + 1] = std::int64_t(data->size());
                next_plain = row + 1;
            }
            arrow::set_bit(validity->data(), row);
            ++set;
            return {};
        });
        if (err) return err;
        auto a = std::make_shared<arrow::ArrayData>();
        a->length = n;
        a->null_count = n - set;
        validity->pad();
        values->pad();
        arrow::BufferPtr valid = a->null_count ? validity : nullptr;
        if (mode == StringMode::View) {
            auto sizes = arrow::make_buffer(16);
            sizes->push<std::int64_t>(std::int64_t(sst.data()->size()));
            sizes->push<std::int64_t>(std::int64_t(cells_.arena()->size()));
            sizes->pad();
            a->buffers = {valid, values, sst.data(), cells_.arena(), sizes};
        } else if (mode == StringMode::Dictionary) {
            a->buffers = {valid, values};
            waiting.push_back({position, a});
        } else {
            auto* offsets = values->as<std::int64_t>();
            for (; next_plain <= n; ++next_plain) offsets[next_plain] = std::int64_t(data->size());
            data->pad();
            a->buffers = {valid, values, data};
        }
        out = a;
        return {};
    }

    SheetCells& cells_;
    const Layout& layout_;
    const BuildOptions& options_;
    LocalDictionary& dictionary_;
    const SheetCells::Column* col_ = nullptr;
    const std::string* name_ = nullptr;
};

}  // namespace

arrow::ArrayPtr record_batch(std::vector<arrow::ArrayPtr> columns, std::int64_t rows) {
    auto batch = std::make_shared<arrow::ArrayData>();
    batch->length = rows;
    batch->buffers = {nullptr};
    batch->children = std::move(columns);
    return batch;
}

Error build(SheetCells& cells, const Layout& layout, const std::vector<ColumnRequest>& requests,
            const BuildOptions& options, Built& out) {
    LocalDictionary dictionary;
    ColumnBuilder builder(cells, layout, options, dictionary);
    std::vector<arrow::ArrayPtr> columns;
    out.schema = arrow::Field{};
    out.schema.format = "+s";
    out.schema.nullable = false;
    out.types.clear();
    for (const ColumnRequest& req : requests) {
        const std::string& name = layout.names[std::size_t(req.column)];
        const std::int32_t src = layout.source[std::size_t(req.column)];
        const SheetCells::Column* col = src >= 0 ? &cells.columns()[std::size_t(src)] : nullptr;
        Type type = req.type;
        if (req.inferred) {
            if (Error err = builder.infer(col, name, type)) return err;
        }
        builder.position = columns.size();
        arrow::ArrayPtr array;
        if (Error err = builder.build(col, name, type, array)) return err;
        columns.push_back(std::move(array));
        out.types.push_back(type);
        out.schema.children.push_back(field_of(name, type, options.strings));
        // Each column is asked for once: its cells go as soon as it is built.
        if (src >= 0) cells.release_column(std::size_t(src));
    }
    if (!builder.waiting.empty()) {
        const arrow::ArrayPtr dict = dictionary_array(cells.strings(), dictionary);
        for (auto& [position, array] : builder.waiting) array->dictionary = dict;
    }
    out.num_rows = layout.num_rows;
    out.batch = record_batch(std::move(columns), layout.num_rows);
    return {};
}

// -- values given one by one

ColumnPacker::ColumnPacker(Type type, std::int64_t length, StringMode strings)
    : type_(type), length_(length), strings_(strings) {
    validity_ = arrow::make_buffer(arrow::bitmap_bytes(length));
    validity_->resize_zeroed(arrow::bitmap_bytes(length));
    std::size_t width = 8;
    if (type == Type::Boolean) width = 0;
    if (type == Type::Date) width = 4;
    if (type == Type::String) width = 0;
    values_ = arrow::make_buffer(std::size_t(length) * width);
    values_->resize_zeroed(std::size_t(length) * width);
    if (type == Type::Boolean) values_->resize_zeroed(arrow::bitmap_bytes(length));
    if (type == Type::String) texts_.resize(std::size_t(length));
}

void ColumnPacker::set_bool(std::int64_t i, bool v) {
    if (v) arrow::set_bit(values_->data(), i);
    arrow::set_bit(validity_->data(), i);
    ++set_;
}

void ColumnPacker::set_int(std::int64_t i, std::int64_t v) {
    if (type_ == Type::Date)
        values_->as<std::int32_t>()[i] = std::int32_t(v);
    else
        values_->as<std::int64_t>()[i] = v;
    arrow::set_bit(validity_->data(), i);
    ++set_;
}

void ColumnPacker::set_float(std::int64_t i, double v) {
    values_->as<double>()[i] = v;
    arrow::set_bit(validity_->data(), i);
    ++set_;
}

void ColumnPacker::set_text(std::int64_t i, std::string_view s) {
    texts_[std::size_t(i)] = std::string(s);
    arrow::set_bit(validity_->data(), i);
    ++set_;
}

arrow::ArrayPtr ColumnPacker::finish(const std::string& name, arrow::Field& field) {
    field = field_of(name, type_, strings_);
    if (type_ == Type::Null) return null_array(length_);
    auto a = std::make_shared<arrow::ArrayData>();
    a->length = length_;
    a->null_count = length_ - set_;
    validity_->pad();
    arrow::BufferPtr valid = a->null_count ? validity_ : nullptr;
    if (type_ != Type::String) {
        values_->pad();
        a->buffers = {valid, values_};
        return a;
    }
    auto valid_at = [&](std::int64_t i) { return arrow::bit(validity_->data(), i); };
    if (strings_ == StringMode::View) {
        auto views = arrow::make_buffer(std::size_t(length_) * 16);
        auto data = arrow::make_buffer();
        for (std::int64_t i = 0; i < length_; ++i) {
            const std::string& s = texts_[std::size_t(i)];
            std::int64_t offset = 0;
            if (valid_at(i) && s.size() > 12) {
                offset = std::int64_t(data->size());
                data->append(s.data(), s.size());
            }
            views->push(valid_at(i) ? arrow::make_view(s, 0, offset) : arrow::make_view({}, 0, 0));
        }
        auto sizes = arrow::make_buffer(8);
        sizes->push<std::int64_t>(std::int64_t(data->size()));
        views->pad();
        data->pad();
        sizes->pad();
        a->buffers = {valid, views, data, sizes};
    } else if (strings_ == StringMode::Dictionary) {
        std::unordered_map<std::string, std::int32_t> ids;
        auto indices = arrow::make_buffer(std::size_t(length_) * 4);
        auto dict = std::make_shared<arrow::ArrayData>();
        auto offsets = arrow::make_buffer(), data = arrow::make_buffer();
        offsets->push<std::int32_t>(0);
        for (std::int64_t i = 0; i < length_; ++i) {
            std::int32_t id = 0;
            if (valid_at(i)) {
                const std::string& s = texts_[std::size_t(i)];
                auto [it, fresh] = ids.emplace(s, std::int32_t(ids.size()));
                if (fresh) {
                    data->append(s.data(), s.size());
                    offsets->push<std::int32_t>(std::int32_t(data->size()));
                }
                id = it->second;
            }
            indices->push<std::int32_t>(id);
        }
        dict->length = std::int64_t(ids.size());
        offsets->pad();
        data->pad();
        dict->buffers = {nullptr, offsets, data};
        indices->pad();
        a->buffers = {valid, indices};
        a->dictionary = dict;
    } else {
        auto offsets = arrow::make_buffer(std::size_t(length_ + 1) * 8);
        auto data = arrow::make_buffer();
        offsets->push<std::int64_t>(0);
        for (std::int64_t i = 0; i < length_; ++i) {
            const std::string& s = texts_[std::size_t(i)];
            if (valid_at(i)) data->append(s.data(), s.size());
            offsets->push<std::int64_t>(std::int64_t(data->size()));
        }
        offsets->pad();
        data->pad();
        a->buffers = {valid, offsets, data};
    }
    texts_.clear();
    return a;
}

// -- texts

std::string cell_name(std::int64_t row, std::int64_t column) {
    std::string out;
    append_column_letters(out, std::uint64_t(column));
    out += std::to_string(row);
    return out;
}

void append_value_text(std::string& out, Kind kind, std::uint64_t payload,
                       std::string_view text) {
    char buf[32];
    switch (kind) {
        case Kind::Empty:
            return;
        case Kind::Error:
        case Kind::Text:
        case Kind::Shared:
            out += text;
            return;
        case Kind::Bool:
            out += payload ? "TRUE" : "FALSE";
            return;
        case Kind::Int:
            out.append(buf, int_text(std::int64_t(payload), buf));
            return;
        case Kind::Float: {
            const double d = as_double(payload);
            if (std::isfinite(d)) out.append(buf, float_text(d, buf));
            return;
        }
        case Kind::DateTime:
        case Kind::DayStart: {
            const std::int64_t micros = std::int64_t(payload);
            const std::int64_t days = floor_div(micros, kDayMicros);
            append_date(out, days);
            out.push_back('T');
            append_clock(out, micros - days * kDayMicros);
            return;
        }
        case Kind::Date:
            append_date(out, floor_div(std::int64_t(payload), kDayMicros));
            return;
        case Kind::Time:
            append_clock(out, std::int64_t(payload));
            return;
        case Kind::Duration:
            append_duration(out, std::int64_t(payload));
            return;
    }
}

}  // namespace tvx::table
