#include "table/sheet_out.h"

#include "utils/utils.h"

#include <cmath>
#include <cstring>

namespace tvx::table {

namespace {

constexpr std::int64_t kDayMicros = 86400000000LL;
constexpr std::int64_t kEpochDays = 25569;  // 1899-12-30 to 1970-01-01

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Days of the serial of a day (the 1900 system counts 1900-02-29).
std::int64_t serial_days(std::int64_t unix_days) noexcept {
    std::int64_t days = unix_days + kEpochDays;
    if (days >= 1 && days <= 60) days -= 1;
    return days;
}

// The serial of a time of day, as the package's writer computes it.
double day_fraction(std::int64_t micros_of_day) noexcept {
    return (double(micros_of_day % 1000000) / 1000000.0 + double(micros_of_day / 1000000)) /
           86400.0;
}

void append_int(std::string& out, std::int64_t v) {
    char buf[32];
    out.append(buf, int_text(v, buf));
}

void append_float(std::string& out, double v) {
    char buf[32];
    out.append(buf, float_text(v, buf));
}

std::int64_t code_points(std::string_view s) noexcept {
    std::int64_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace

void append_xml_text(std::string& out, std::string_view s) {
    static const char hex[] = "0123456789ABCDEF";
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const char* rep = nullptr;
        if (c == '&')
            rep = "&amp;";
        else if (c == '<')
            rep = "&lt;";
        else if (c == '>')
            rep = "&gt;";
        else if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r')
            continue;
        out.append(s.data() + run, i - run);
        run = i + 1;
        if (rep) {
            out += rep;
        } else {
            out += "_x00";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
            out.push_back('_');
        }
    }
    out.append(s.data() + run, s.size() - run);
}

SheetOut::SheetOut(const arrow::ImportedStream& in, const SheetOutOptions& options)
    : in_(in), options_(options) {
    names_ = in.names();
    for (std::size_t j = 0; j < in.types().size(); ++j) {
        const arrow::ColumnType& t = in.types()[j];
        Out k = Out::Skip;
        std::uint32_t style = 0;
        switch (t.value) {
            case arrow::Value::Null:
                break;
            case arrow::Value::Bool:
                k = Out::Bool;
                break;
            case arrow::Value::Int:
                k = Out::Int;
                break;
            case arrow::Value::UInt:
                k = Out::UInt;
                break;
            case arrow::Value::Float:
                k = Out::Float;
                break;
            case arrow::Value::String:
                k = Out::String;
                break;
            case arrow::Value::Date:
                k = Out::Date;
                style = options.date_style;
                break;
            case arrow::Value::Timestamp:
                k = Out::DateTime;
                style = options.datetime_style;
                break;
            case arrow::Value::Time:
                k = Out::Time;
                style = options.time_style;
                break;
            case arrow::Value::Duration:
                k = Out::Duration;
                style = options.duration_style;
                break;
        }
        kinds_.push_back(k);
        styles_.push_back(style);
        std::string letters;
        append_column_letters(letters, j + 1);
        refs_.push_back(std::move(letters));
    }
    last_row_ = in.total_rows() + (options.header ? 1 : 0);
    header_done_ = !options.header;
}

std::uint32_t SheetOut::string_index(std::string_view s) {
    ++string_cells_;
    auto [it, fresh] = index_.try_emplace(s, std::uint32_t(strings_.size()));
    if (fresh) strings_.push_back(s);
    return it->second;
}

void SheetOut::write_header(std::string& out) {
    out += "<row r=\"1\">";
    for (std::size_t j = 0; j < names_.size(); ++j) {
        out += "<c t=\"s\"><v>";
        append_int(out, string_index(names_[j]));
        out += "</v></c>";
    }
    out += "</row>";
}

void SheetOut::write_row(std::string& out, std::size_t, std::int64_t i) {
    char number[24];
    const std::size_t number_len = std::size_t(int_text(row_number_, number));
    out += "<row r=\"";
    out.append(number, number_len);
    out += "\">";
    // A cell right after the one before it (or first in its row at A)
    // needs no reference: readers place it in the next column.
    std::size_t next = 0;
    for (std::size_t j = 0; j < kinds_.size(); ++j) {
        const Out k = kinds_[j];
        if (k == Out::Skip) continue;
        const arrow::ColumnView& col = views_[j];
        if (!col.valid(i)) continue;
        const std::size_t mark = out.size();
        if (j == next) {
            out += "<c";
        } else {
            out += "<c r=\"";
            out += refs_[j];
            out.append(number, number_len);
            out.push_back('"');
        }
        if (styles_[j]) {
            out += " s=\"";
            append_int(out, styles_[j]);
            out.push_back('"');
        }
        switch (k) {
            case Out::Bool:
                out += col.boolean(i) ? " t=\"b\"><v>1" : " t=\"b\"><v>0";
                break;
            case Out::Int:
                out += "><v>";
                append_int(out, col.integer(i));
                break;
            case Out::UInt: {
                const std::uint64_t u = col.unsigned_integer(i);
                out += "><v>";
                if (u <= std::uint64_t(INT64_MAX))
                    append_int(out, std::int64_t(u));
                else
                    append_float(out, double(u));
                break;
            }
            case Out::Float: {
                const double d = col.real(i);
                if (!std::isfinite(d)) {  // no number to write: no cell
                    out.resize(mark);
                    continue;
                }
                out += "><v>";
                append_float(out, d);
                break;
            }
            case Out::String:
                out += " t=\"s\"><v>";
                append_int(out, string_index(col.string(i)));
                break;
            case Out::Date:
                out += "><v>";
                append_int(out, serial_days(col.micros(i)));
                break;
            case Out::DateTime: {
                const std::int64_t m = col.micros(i);
                const std::int64_t day = floor_div(m, kDayMicros);
                out += "><v>";
                append_float(out, double(serial_days(day)) + day_fraction(m - day * kDayMicros));
                break;
            }
            case Out::Time:
                out += "><v>";
                append_float(out, day_fraction(col.micros(i)));
                break;
            case Out::Duration:
                out += "><v>";
                append_float(out, double(col.micros(i)) / double(kDayMicros));
                break;
            case Out::Skip:
                break;
        }
        out += "</v></c>";
        next = j + 1;
    }
    out += "</row>";
}

bool SheetOut::next_rows(std::string& out, std::size_t chunk) {
    if (!header_done_) {
        write_header(out);
        header_done_ = true;
        row_number_ = 1;
    }
    while (batch_ < in_.batches()) {
        if (row_in_batch_ == 0) {
            views_.clear();
            for (std::size_t j = 0; j < kinds_.size(); ++j) views_.push_back(in_.column(batch_, j));
        }
        const std::int64_t rows = in_.rows(batch_);
        while (row_in_batch_ < rows) {
            ++row_number_;
            write_row(out, batch_, row_in_batch_++);
            if (out.size() >= chunk) return true;
        }
        ++batch_;
        row_in_batch_ = 0;
    }
    return !out.empty();
}

bool SheetOut::next_strings(std::string& out, std::size_t chunk) {
    while (next_string_ < strings_.size()) {
        const std::string_view s = strings_[next_string_++];
        const bool spaced = !s.empty() && (s.front() == ' ' || s.back() == ' ' || s.front() == '\t' ||
                                           s.back() == '\t' || s.front() == '\n' || s.back() == '\n');
        out += spaced ? "<si><t xml:space=\"preserve\">" : "<si><t>";
        append_xml_text(out, s);
        out += "</t></si>";
        if (out.size() >= chunk) return true;
    }
    return !out.empty();
}

std::vector<std::int64_t> SheetOut::text_widths(std::int64_t date_chars,
                                                std::int64_t datetime_chars,
                                                std::int64_t time_chars) const {
    std::vector<std::int64_t> widths(kinds_.size(), 0);
    char buf[32];
    for (std::size_t j = 0; j < kinds_.size(); ++j) {
        std::int64_t w = options_.header ? code_points(names_[j]) : 0;
        const Out k = kinds_[j];
        for (std::size_t b = 0; b < in_.batches() && k != Out::Skip; ++b) {
            const arrow::ColumnView col = in_.column(b, j);
            const std::int64_t rows = in_.rows(b);
            switch (k) {
                case Out::Date:
                    w = std::max(w, date_chars);
                    break;
                case Out::DateTime:
                    w = std::max(w, datetime_chars);
                    break;
                case Out::Time:
                    w = std::max(w, time_chars);
                    break;
                case Out::Bool:
                    w = std::max<std::int64_t>(w, 5);
                    break;
                case Out::Duration:
                    w = std::max<std::int64_t>(w, 10);
                    break;
                default:
                    for (std::int64_t i = 0; i < rows; ++i) {
                        if (!col.valid(i)) continue;
                        std::int64_t n = 0;
                        if (k == Out::String) {
                            n = code_points(col.string(i));
                        } else if (k == Out::Int || k == Out::UInt) {
                            n = std::int64_t(int_text(col.integer(i), buf));
                        } else if (k == Out::Float) {
                            const double d = col.real(i);
                            // General shows at most eleven characters of a number
                            n = std::isfinite(d) ? std::min<std::int64_t>(11, std::int64_t(
                                                                                  float_text(d, buf)))
                                                 : 0;
                        }
                        w = std::max(w, n);
                    }
                    break;
            }
        }
        widths[j] = w;
    }
    return widths;
}

}  // namespace tvx::table
