// Byte-level escapers of the writer. Runs without special bytes are copied
// in one piece; only the bytes flagged in a table stop the scan.
#include "writer/xml_out.h"

#include <array>
#include <charconv>
#include <cstdint>

namespace tvx {

namespace {

using Table = std::array<std::uint8_t, 256>;

// Flags: 1 = escaped in lxml text, 2 = in ElementTree text,
// 4 = in lxml attributes, 8 = in ElementTree attributes, 16 = control.
constexpr Table make_table() {
    Table t{};
    for (int c : {'&', '<', '>'}) t[c] = 1 | 2 | 4 | 8;
    t['\r'] = 1 | 4 | 8;  // ElementTree keeps CR in text
    t['\t'] = 4 | 8;
    t['\n'] = 4 | 8;
    t['"'] = 4 | 8;
    for (int c = 0x80; c < 0x100; c++) t[c] = 1 | 4;  // lxml writes ASCII only
    for (int c = 0; c < 32; c++) {
        if (c != '\t' && c != '\n' && c != '\r') t[c] |= 16;
    }
    return t;
}

constexpr Table kFlags = make_table();

// Decodes one code point of valid UTF-8 at s[i]; advances i.
std::uint32_t next_code_point(std::string_view s, std::size_t& i) noexcept {
    auto b = [&](std::size_t k) -> std::uint32_t {
        return k < s.size() ? (std::uint32_t)(unsigned char)s[k] & 0x3F : 0;
    };
    std::uint32_t c = (unsigned char)s[i];
    if (c < 0x80) {
        i += 1;
        return c;
    }
    if (c < 0xE0) {
        std::uint32_t cp = ((c & 0x1F) << 6) | b(i + 1);
        i += 2;
        return cp;
    }
    if (c < 0xF0) {
        std::uint32_t cp = ((c & 0x0F) << 12) | (b(i + 1) << 6) | b(i + 2);
        i += 3;
        return cp;
    }
    std::uint32_t cp = ((c & 0x07) << 18) | (b(i + 1) << 12) | (b(i + 2) << 6) | b(i + 3);
    i += 4;
    return cp;
}

void char_ref(std::string& out, std::uint32_t cp) {
    char tmp[16];
    tmp[0] = '&';
    tmp[1] = '#';
    auto r = std::to_chars(tmp + 2, tmp + sizeof tmp - 1, cp);
    *r.ptr++ = ';';
    out.append(tmp, (std::size_t)(r.ptr - tmp));
}

template <std::uint8_t Flag, bool Lxml>
void escape(std::string& out, std::string_view s) {
    std::size_t i = 0, run = 0, n = s.size();
    while (i < n) {
        unsigned char c = (unsigned char)s[i];
        if (!(kFlags[c] & Flag)) {
            i++;
            continue;
        }
        out.append(s.data() + run, i - run);
        switch (c) {
            case '&':
                out += "&amp;";
                i++;
                break;
            case '<':
                out += "&lt;";
                i++;
                break;
            case '>':
                out += "&gt;";
                i++;
                break;
            case '"':
                out += "&quot;";
                i++;
                break;
            case '\r':
                out += "&#13;";
                i++;
                break;
            case '\n':
                out += "&#10;";
                i++;
                break;
            case '\t':
                out += Lxml ? "&#9;" : "&#09;";
                i++;
                break;
            default:
                char_ref(out, next_code_point(s, i));
                break;  // only lxml flags bytes >= 0x80
        }
        run = i;
    }
    out.append(s.data() + run, n - run);
}

}  // namespace

void escape_text(std::string& out, std::string_view utf8, bool lxml) {
    if (lxml) {
        escape<1, true>(out, utf8);
    } else {
        escape<2, false>(out, utf8);
    }
}

void escape_attribute(std::string& out, std::string_view utf8, bool lxml) {
    if (lxml) {
        escape<4, true>(out, utf8);
    } else {
        escape<8, false>(out, utf8);
    }
}

bool has_control(std::string_view utf8) noexcept {
    for (unsigned char c : utf8) {
        if (kFlags[c] & 16) return true;
    }
    return false;
}

std::size_t first_char_size(std::string_view utf8) noexcept {
    if (utf8.empty()) return 0;
    unsigned char c = (unsigned char)utf8[0];
    std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    return n < utf8.size() ? n : utf8.size();
}

}  // namespace tvx
