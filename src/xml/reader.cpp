#include "xml/reader.h"

#include "core/seed.h"
#include "xml/byte_classes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace tvx {

namespace {

// Character classes of text and attribute bytes (xml/byte_classes.h).
constexpr const auto& CLASSES = BYTE_CLASSES;

enum : std::uint8_t {
    N_START = 1,
    N_CHAR = 2,
    N_WS = 4,
    N_TAGSTOP = 8,
    N_LETTER = 16,
    // Name bytes of names without a prefix (no ':').
    N_PLAIN_START = 32,
    N_PLAIN = 64,
};

constexpr std::array<std::uint8_t, 256> make_name_table() {
    std::array<std::uint8_t, 256> t{};
    constexpr std::uint8_t letter = N_START | N_CHAR | N_LETTER | N_PLAIN_START | N_PLAIN;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = letter;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = letter;
    for (int c = '0'; c <= '9'; ++c) t[c] = N_CHAR | N_PLAIN;
    t['_'] = N_START | N_CHAR | N_PLAIN_START | N_PLAIN;
    t[':'] = N_START | N_CHAR;
    t['-'] = N_CHAR | N_PLAIN;
    t['.'] = N_CHAR | N_PLAIN;
    t[' '] = N_WS;
    t['\t'] = N_WS;
    t['\n'] = N_WS;
    t['\r'] = N_WS;
    t['>'] |= N_TAGSTOP;
    t['"'] |= N_TAGSTOP;
    t['\''] |= N_TAGSTOP;
    return t;
}
constexpr auto NAMES = make_name_table();

inline std::uint8_t uc(char c) { return static_cast<std::uint8_t>(c); }

// Beyond this many attributes in one tag, duplicates are found by hashing
// or sorting rather than by comparing every pair.
constexpr std::size_t MANY_ATTRIBUTES = 32;
// Tags with more attributes than this go to the general start-tag parser.
constexpr std::size_t PLAIN_ATTRIBUTES = 16;
// Up to this many bindings in scope, prefixes are looked up by a search.
constexpr std::size_t SHORT_SCOPE = 8;

// Equality of short byte strings (names, prefixes) without a library call.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}
inline bool is_ws(char c) { return NAMES[uc(c)] & N_WS; }
inline bool is_letter(char c) { return NAMES[uc(c)] & N_LETTER; }

// The end of a run of name bytes without ':' (letters, digits, `_`, `-`,
// `.`) starting at i; the buffer's terminating NUL stops it.
[[gnu::always_inline]] inline std::size_t plain_name_end(const char* b, std::size_t i) {
    while (NAMES[uc(b[i])] & N_PLAIN) ++i;
    return i;
}

// Byte classes of attribute values (low byte) and, in the high byte, the
// bytes that end a value's scan: bit 0 for `"`, bit 1 for `'`, both for
// NUL (the buffer's terminator, or a fault the general parser reports).
constexpr std::array<std::uint16_t, 256> make_value_table() {
    std::array<std::uint16_t, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = BYTE_CLASSES[c];
    t['"'] |= 0x100;
    t['\''] |= 0x200;
    t[0] |= 0x300;
    return t;
}
constexpr auto VALUE_BYTES = make_value_table();

// The end of an attribute value starting at i and quoted by q, with the
// classes of its bytes OR-ed into `f`: a byte at a time, as values are
// mostly a few bytes long. The result holds q, or NUL (past the buffer or
// inside the value).
[[gnu::always_inline]] inline std::size_t scan_value(const char* b, std::size_t i, char q,
                                                     std::uint8_t& f) {
    const std::uint16_t stop = q == '"' ? 0x100 : 0x200;
    for (;;) {
        const std::uint16_t t = VALUE_BYTES[uc(b[i])];
        if (t & stop) return i;
        f |= std::uint8_t(t);
        ++i;
    }
}

// A qualified name at b[s]: a plain name, or two joined by one ':'. Sets
// `end` and `colon` (end when there is none); false for anything else,
// which the general parser then reads.
[[gnu::always_inline]] inline bool plain_qname(const char* b, std::size_t s, std::size_t& end, std::size_t& colon) {
    if (!(NAMES[uc(b[s])] & N_PLAIN_START)) return false;
    std::size_t i = plain_name_end(b, s + 1);
    colon = i;
    if (b[i] == ':') {
        if (!(NAMES[uc(b[i + 1])] & N_PLAIN_START)) return false;
        i = plain_name_end(b, i + 2);
        if (b[i] == ':') return false;
    }
    end = i;
    return true;
}

inline std::uint8_t classify(const char* p, std::size_t n) {
    std::uint8_t f = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        f |= CLASSES[uc(p[i])] | CLASSES[uc(p[i + 1])] | CLASSES[uc(p[i + 2])] |
             CLASSES[uc(p[i + 3])];
    for (; i < n; ++i) f |= CLASSES[uc(p[i])];
    return f;
}

// Strict UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF);
// U+FFFE and U+FFFF are not XML characters.
ReadError check_utf8(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        auto cont = [&](std::size_t k) { return i + k < n && (p[i + k] & 0xC0) == 0x80; };
        if (c < 0xC2) return ReadError::malformed("invalid utf-8");
        if (c < 0xE0) {
            if (!cont(1)) return ReadError::malformed("invalid utf-8");
            i += 2;
        } else if (c < 0xF0) {
            if (!cont(1) || !cont(2)) return ReadError::malformed("invalid utf-8");
            unsigned char c1 = p[i + 1];
            if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0))
                return ReadError::malformed("invalid utf-8");
            if (c == 0xEF && c1 == 0xBF && (p[i + 2] == 0xBE || p[i + 2] == 0xBF))
                return ReadError::malformed("invalid character");
            i += 3;
        } else if (c < 0xF5) {
            if (!cont(1) || !cont(2) || !cont(3)) return ReadError::malformed("invalid utf-8");
            unsigned char c1 = p[i + 1];
            if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90))
                return ReadError::malformed("invalid utf-8");
            i += 4;
        } else {
            return ReadError::malformed("invalid utf-8");
        }
    }
    return ReadError::ok();
}

// Character check of a run whose classes are `f`.
inline ReadError check_chars(const char* p, std::size_t n, std::uint8_t f) {
    if (f & K_CTRL) return ReadError::malformed("invalid character");
    if (f & K_HIGH) return check_utf8(reinterpret_cast<const unsigned char*>(p), n);
    return ReadError::ok();
}

inline bool is_xml_char(std::uint32_t v) {
    return v == 0x9 || v == 0xA || v == 0xD || (v >= 0x20 && v <= 0xD7FF) ||
           (v >= 0xE000 && v <= 0xFFFD) || (v >= 0x10000 && v <= 0x10FFFF);
}

// The character a reference name (between `&` and `;`) stands for.
ReadError resolve_reference(std::string_view name, std::uint32_t& cp) {
    if (name == "lt")
        cp = '<';
    else if (name == "gt")
        cp = '>';
    else if (name == "amp")
        cp = '&';
    else if (name == "apos")
        cp = '\'';
    else if (name == "quot")
        cp = '"';
    else if (name.size() >= 2 && name[0] == '#') {
        bool hex = name[1] == 'x';
        std::string_view digits = name.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 10) return ReadError::malformed("bad char ref");
        std::uint64_t v = 0;
        for (char c : digits) {
            unsigned d;
            if (c >= '0' && c <= '9')
                d = unsigned(c - '0');
            else if (hex && c >= 'a' && c <= 'f')
                d = unsigned(c - 'a' + 10);
            else if (hex && c >= 'A' && c <= 'F')
                d = unsigned(c - 'A' + 10);
            else
                return ReadError::malformed("bad char ref");
            v = v * (hex ? 16 : 10) + d;
        }
        if (v > 0xFFFFFFFFull) return ReadError::malformed("bad char ref");
        if (!is_xml_char(std::uint32_t(v))) return ReadError::malformed("invalid char ref");
        cp = std::uint32_t(v);
    } else {
        return ReadError::malformed("undefined entity");
    }
    return ReadError::ok();
}

ReadError check_references(const char* p, std::size_t n) {
    const char* end = p + n;
    const char* q = p;
    while ((q = static_cast<const char*>(std::memchr(q, '&', std::size_t(end - q))))) {
        const char* semi =
            static_cast<const char*>(std::memchr(q + 1, ';', std::size_t(end - q - 1)));
        if (!semi) return ReadError::malformed("bad reference");
        std::uint32_t cp;
        TVX_TRY(resolve_reference(std::string_view(q + 1, std::size_t(semi - q - 1)), cp));
        q = semi + 1;
    }
    return ReadError::ok();
}

void put_utf8(std::string& out, std::uint32_t cp) {
    char b[4];
    std::size_t n;
    if (cp < 0x80) {
        b[0] = char(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = char(0xC0 | (cp >> 6));
        b[1] = char(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = char(0xE0 | (cp >> 12));
        b[1] = char(0x80 | ((cp >> 6) & 0x3F));
        b[2] = char(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        b[0] = char(0xF0 | (cp >> 18));
        b[1] = char(0x80 | ((cp >> 12) & 0x3F));
        b[2] = char(0x80 | ((cp >> 6) & 0x3F));
        b[3] = char(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(b, n);
}

// Decodes an already checked run. Line ends become `eol` (LF in text, a
// space in attribute values); TAB and LF become a space in attribute values.
void decode_into(std::string& out, const char* p, std::size_t n, bool references, bool attribute) {
    std::size_t i = 0, run = 0;
    auto flush = [&] {
        if (i > run) out.append(p + run, i - run);
    };
    while (i < n) {
        char c = p[i];
        if (c == '\r') {
            flush();
            out.push_back(attribute ? ' ' : '\n');
            ++i;
            if (i < n && p[i] == '\n') ++i;
            run = i;
        } else if (attribute && (c == '\t' || c == '\n')) {
            flush();
            out.push_back(' ');
            run = ++i;
        } else if (references && c == '&') {
            flush();
            const char* semi = static_cast<const char*>(std::memchr(p + i + 1, ';', n - i - 1));
            std::size_t e = semi ? std::size_t(semi - p) : n;
            std::uint32_t cp = 0xFFFD;
            (void)resolve_reference(std::string_view(p + i + 1, e - i - 1), cp);  // checked earlier
            put_utf8(out, cp);
            i = semi ? e + 1 : n;
            run = i;
        } else {
            ++i;
        }
    }
    flush();
}

// qname split of [s, e) in `b`: sets `colon` to the index of the ':' or e.
ReadError check_qname(const char* b, std::size_t s, std::size_t e, std::size_t& colon) {
    const void* c = std::memchr(b + s, ':', e - s);
    if (!c) {
        colon = e;
        return ReadError::ok();
    }
    colon = std::size_t(static_cast<const char*>(c) - b);
    if (colon == s || colon + 1 == e || std::memchr(b + colon + 1, ':', e - colon - 1))
        return ReadError::unsupported("bad qname");
    char after = b[colon + 1];
    if (after != '_' && !is_letter(after)) return ReadError::malformed("bad qname");
    return ReadError::ok();
}

// End of a name starting at s within [s, e), with the checks of a name's
// first byte and the non-ASCII rule.
ReadError scan_name(const char* b, std::size_t s, std::size_t e, std::size_t& end) {
    unsigned char c = uc(b[s]);
    if (c >= 0x80) return ReadError::unsupported("non-ascii name");
    if (!(NAMES[c] & N_START)) return ReadError::malformed("bad name");
    std::size_t i = s + 1;
    while (i < e && (NAMES[uc(b[i])] & N_CHAR)) ++i;
    if (i < e && uc(b[i]) >= 0x80) return ReadError::unsupported("non-ascii name");
    end = i;
    return ReadError::ok();
}

}  // namespace

ReadError check_text_run(const char* p, std::size_t n, bool& needs_decoding) {
    std::uint8_t f = classify(p, n);
    TVX_TRY(check_chars(p, n, f));
    if (f & K_AMP) TVX_TRY(check_references(p, n));
    if ((f & K_BRACKET) && memmem(p, n, "]]>", 3)) return ReadError::malformed("]]> in text");
    needs_decoding = (f & (K_AMP | K_CR)) != 0;
    return ReadError::ok();
}

void append_decoded_text(std::string& out, const char* p, std::size_t n) {
    decode_into(out, p, n, true, false);
}

ReadError check_attribute_value(const char* p, std::size_t n, bool& needs_decoding) {
    std::uint8_t f = classify(p, n);
    if (f & K_LT) return ReadError::malformed("< in attribute");
    TVX_TRY(check_chars(p, n, f));
    if (f & K_AMP) TVX_TRY(check_references(p, n));
    needs_decoding = (f & (K_AMP | K_TABLF | K_CR)) != 0;
    return ReadError::ok();
}

void append_decoded_attribute(std::string& out, const char* p, std::size_t n) {
    decode_into(out, p, n, true, true);
}

// ---------------------------------------------------------------- sources

// ---------------------------------------------------------------- buffer

XmlReader::XmlReader(ByteSource& source) : src_(source) {
    const std::uint64_t seed = random_seed();
    prefix_top_ = FlatIndex(seed);
    uri_index_ = FlatIndex(seed);
    seen_set_ = FlatIndex(seed);
    buf_.reserve(READ_CHUNK);
    names_.resize(256);
    uri_ends_.reserve(8);
    stack_.resize(32);
    attrs_.resize(PLAIN_ATTRIBUTES);
    for (std::string_view u : {std::string_view{}, XML_NAMESPACE, MAIN_NAMESPACE})
        intern_namespace(u);
}

void XmlReader::compact(std::size_t keep) noexcept {
    std::size_t k = std::min(pos_, keep);
    if (capture_active_) k = std::min(k, capture_start_);
    if (k < READ_CHUNK || 2 * k < buf_.size()) return;
    buf_.erase(0, k);
    discarded_ += k;
    pos_ -= k;
    if (capture_active_) capture_start_ -= k;
    auto down = [k](std::size_t& i) { i = i >= k ? i - k : 0; };
    down(tag_start_);
    down(tag_end_);
    down(ev_qname_start_);
    down(ev_local_start_);
    down(ev_name_end_);
    down(text_start_);
    down(text_end_);
    for (std::size_t x = 0; x < nattrs_; ++x) {
        AttributeRecord& a = attrs_[x];
        down(a.qname_start), down(a.qname_end), down(a.local_start), down(a.local_end);
        down(a.value_start), down(a.value_end);
    }
}

ReadError XmlReader::refill(bool& more, std::size_t keep) {
    more = false;
    if (eof_) return ReadError::ok();
    compact(keep);
    std::size_t before = buf_.size();
    TVX_TRY(src_.read(buf_));
    if (buf_.size() == before)
        eof_ = true;
    else
        more = true;
    return ReadError::ok();
}

// Makes n bytes available from pos_, refilling with everything from
// `keep` on preserved.
ReadError XmlReader::fill(std::size_t n, std::size_t keep, bool& available) {
    while (buf_.size() - pos_ < n) {
        bool more;
        TVX_TRY(refill(more, keep));
        if (!more) {
            available = false;
            return ReadError::ok();
        }
    }
    available = true;
    return ReadError::ok();
}

ReadError XmlReader::require(std::size_t n, bool& available) {
    return fill(n, tag_start_, available);
}

ReadError XmlReader::find(std::string_view delim, std::size_t from, std::size_t& at, bool& found) {
    for (;;) {
        const char* base = buf_.data() + pos_;
        std::size_t avail = buf_.size() - pos_;
        if (from < avail) {
            const void* hit = delim.size() == 1
                                  ? std::memchr(base + from, delim[0], avail - from)
                                  : memmem(base + from, avail - from, delim.data(), delim.size());
            if (hit) {
                at = std::size_t(static_cast<const char*>(hit) - base);
                found = true;
                return ReadError::ok();
            }
        }
        // A delimiter split across reads starts in the last len-1 bytes.
        std::size_t next_from = avail >= delim.size() - 1 ? avail - (delim.size() - 1) : 0;
        from = std::max(from, next_from);
        bool more;
        TVX_TRY(refill(more, pos_));
        if (!more) {
            found = false;
            return ReadError::ok();
        }
    }
}

// ---------------------------------------------------------------- prologue

ReadError XmlReader::prologue() {
    bool have;
    TVX_TRY(fill(4, pos_, have));
    std::size_t n = buf_.size() - pos_;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(buf_.data() + pos_);
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        pos_ += 3;
    } else if ((n >= 2 && ((p[0] == 0xFE && p[1] == 0xFF) || (p[0] == 0xFF && p[1] == 0xFE))) ||
               (n >= 1 && p[0] == 0) || (n >= 2 && p[1] == 0)) {
        return ReadError::unsupported("utf-16");
    }
    TVX_TRY(fill(6, pos_, have));
    n = buf_.size() - pos_;
    const char* s = buf_.data() + pos_;
    if (n >= 6 && std::memcmp(s, "<?xml", 5) == 0 && (is_ws(s[5]) || s[5] == '?')) {
        std::size_t at;
        bool found;
        TVX_TRY(find("?>", 5, at, found));
        if (!found) return ReadError::malformed("unclosed decl");
        TVX_TRY(declaration(pos_ + 5, pos_ + at));
        pos_ += at + 2;
    }
    return ReadError::ok();
}

ReadError XmlReader::declaration(std::size_t s, std::size_t e) {
    const char* b = buf_.data();
    auto bad = [] { return ReadError::malformed("bad decl"); };
    std::size_t i = s;
    int index = 0;
    bool prev_encoding = false;
    for (;;) {
        std::size_t ws = i;
        while (i < e && is_ws(b[i])) ++i;
        if (i >= e) break;
        if (i == ws) return bad();
        std::size_t ns = i;
        while (i < e && is_letter(b[i])) ++i;
        if (i == ns) return bad();
        std::string_view name(b + ns, i - ns);
        while (i < e && is_ws(b[i])) ++i;
        if (i >= e || b[i] != '=') return bad();
        ++i;
        while (i < e && is_ws(b[i])) ++i;
        if (i >= e || (b[i] != '"' && b[i] != '\'')) return bad();
        char q = b[i++];
        const void* close = std::memchr(b + i, q, e - i);
        if (!close) return bad();
        std::size_t ve = std::size_t(static_cast<const char*>(close) - b);
        std::string_view value(b + i, ve - i);
        i = ve + 1;
        if (index == 0) {
            if (name != "version") return bad();
            if (value != "1.0") return ReadError::unsupported("xml version");
        } else if (name == "encoding") {
            if (index != 1) return bad();
            bool utf8 = value.size() == 5;
            for (std::size_t k = 0; utf8 && k < 5; ++k) {
                char c = value[k];
                if (c >= 'A' && c <= 'Z') c = char(c + 32);
                utf8 = c == "utf-8"[k];
            }
            if (!utf8) return ReadError::unsupported("encoding");
        } else if (name == "standalone") {
            if (!(index == 1 || (index == 2 && prev_encoding))) return bad();
            if (value != "yes" && value != "no") return ReadError::malformed("bad standalone");
        } else {
            return bad();
        }
        prev_encoding = name == "encoding";
        ++index;
    }
    if (index == 0) return bad();
    return ReadError::ok();
}

// ---------------------------------------------------------------- events

[[gnu::always_inline]] inline void XmlReader::pop() noexcept {
    const Entry& top = stack_[depth_ - 1];
    if (top.bindings) truncate_bindings(bindings_.size() - top.bindings);
    names_len_ = top.name_off;
    if (--depth_ == 0) root_closed_ = true;
}

// Pushes the element of the start tag at pos_ (name up to name_end, its
// ':' at colon or name_end, '>' at gt) and reports it.
[[gnu::always_inline]] inline void XmlReader::open_element(std::size_t name_end, std::size_t colon, std::size_t gt,
                                    bool empty, std::uint32_t bound, NamespaceId ns,
                                    XmlEvent& ev) {
    const std::size_t s = pos_ + 1;
    const std::size_t name_len = name_end - s;
    // Room for a whole 16-byte block past the name, so that a short name
    // is copied in one fixed-size move.
    const std::size_t room = names_len_ + std::max<std::size_t>(name_len, 16);
    if (room > names_.size()) names_.resize(std::max(2 * names_.size(), room));
    char* to = names_.data() + names_len_;
    const char* from = buf_.data() + s;
    if (name_len <= 16 && s + 16 <= buf_.size())
        std::memcpy(to, from, 16);
    else
        std::memcpy(to, from, name_len);
    if (depth_ == stack_.size()) stack_.resize(2 * depth_ + 8);
    stack_[depth_++] = {std::uint32_t(names_len_), std::uint32_t(name_len), bound, ns,
                        std::uint32_t(colon == name_end ? 0 : colon - s)};
    names_len_ += name_len;
    root_seen_ = true;
    ev_ns_ = ns;
    ev_qname_start_ = s;
    ev_local_start_ = colon == name_end ? s : colon + 1;
    ev_name_end_ = name_end;
    tag_start_ = pos_;
    tag_end_ = gt + 1;
    pos_ = tag_end_;
    if (empty) {
        pending_end_ = true;
        direct_ = false;
        ev = XmlEvent::EmptyStart;
    } else {
        ev = XmlEvent::Start;
    }
}

// The usual start tag in one pass: wholly buffered, names that are plain
// or have one plain prefix bound outside the tag, no namespace
// declaration, each attribute written name="value" (or with apostrophes),
// at most PLAIN_ATTRIBUTES of them, and no fault anywhere. Any other tag,
// and every faulty one, returns false with nothing changed, and the
// general parser reads it with its own order of checks. Loops need no
// bounds checks: the buffer's terminating NUL is neither a name byte nor
// whitespace.
[[gnu::always_inline]] inline bool XmlReader::plain_start_tag(XmlEvent& ev) {
    const char* b = buf_.data();
    const std::size_t s = pos_ + 1;
    std::size_t i, colon;
    if (!plain_qname(b, s, i, colon)) return false;
    const std::size_t name_end = i;
    NamespaceId ns = default_ns_;
    if (colon != name_end) {
        ns = lookup_prefixed(std::string_view(b + s, colon - s));
        if (ns == NS_UNBOUND) return false;
    }
    std::size_t count = 0;
    bool empty = false;
    for (;;) {
        char c = b[i];
        if (c == '>') break;
        if (c == '/') {
            if (b[i + 1] != '>') return false;
            empty = true;
            ++i;
            break;
        }
        if (!(NAMES[uc(c)] & N_WS)) return false;
        do ++i;
        while (NAMES[uc(b[i])] & N_WS);
        c = b[i];
        if (c == '>' || c == '/') continue;
        const std::size_t qs = i;
        std::size_t qcolon;
        if (!plain_qname(b, qs, i, qcolon)) return false;
        const std::size_t qe = i;
        if (b[i] != '=') return false;
        const char q = b[i + 1];
        if (q != '"' && q != '\'') return false;
        const std::size_t vs = i + 2;
        std::uint8_t f = 0;
        const std::size_t ve = scan_value(b, vs, q, f);
        if (b[ve] != q || (f & (K_LT | K_CTRL))) return false;
        if ((f & K_HIGH) && check_utf8(reinterpret_cast<const unsigned char*>(b + vs), ve - vs))
            return false;
        if ((f & K_AMP) && check_references(b + vs, ve - vs)) return false;
        // Declarations (`xmlns`, `xmlns:p`) are left to the general parser.
        std::size_t ls = qs;
        NamespaceId ans = NS_NONE;
        if (qcolon == qe) {
            if (qe - qs == 5 && same_bytes(b + qs, "xmlns", 5)) return false;
        } else {
            if (qcolon - qs == 5 && same_bytes(b + qs, "xmlns", 5)) return false;
            ans = lookup_prefixed(std::string_view(b + qs, qcolon - qs));
            if (ans == NS_UNBOUND) return false;
            ls = qcolon + 1;
        }
        if (count == PLAIN_ATTRIBUTES) return false;
        // Equal qualified names have equal prefixes, so one comparison of
        // (namespace, local name) finds both kinds of duplicate.
        const std::size_t llen = qe - ls;
        for (std::size_t x = 0; x < count; ++x) {
            const AttributeRecord& r = attrs_[x];
            if (r.ns == std::int32_t(ans) && r.local_end - r.local_start == llen &&
                same_bytes(b + r.local_start, b + ls, llen))
                return false;
        }
        attrs_[count++] = {qs, qe, ls, qe, vs, ve, std::int32_t(ans),
                           std::uint8_t((f & (K_AMP | K_TABLF | K_CR)) != 0)};
        i = ve + 1;
    }
    nattrs_ = count;
    open_element(name_end, colon, i, empty, 0, ns, ev);
    return true;
}

// Character data that ends inside the buffer and passes its checks; false,
// with nothing changed, for a run the buffer cuts or a faulty one, which
// text() then reads.
[[gnu::always_inline]] inline bool XmlReader::plain_text() noexcept {
    const char* p = buf_.data() + pos_;
    const std::size_t avail = buf_.size() - pos_;
    std::uint8_t f = 0;
    const std::size_t len = scan_run<K_BRACKET>(p, 0, avail, '<', f);
    if (len >= avail || (f & K_CTRL)) return false;
    if (f & (K_HIGH | K_AMP | K_BRACKET)) [[unlikely]] {
        if ((f & K_HIGH) && check_utf8(reinterpret_cast<const unsigned char*>(p), len))
            return false;
        if ((f & K_AMP) && check_references(p, len)) return false;
        if ((f & K_BRACKET) && memmem(p, len, "]]>", 3)) return false;
    }
    text_start_ = pos_;
    text_end_ = pos_ + len;
    is_cdata_ = false;
    text_needs_decoding_ = (f & (K_AMP | K_CR)) != 0;
    pos_ += len;
    return true;
}

// The usual end tag: the innermost element's name followed by '>'.
// False, with nothing changed, for anything else.
[[gnu::always_inline]] inline bool XmlReader::plain_end_tag() noexcept {
    if (depth_ == 0) return false;
    const char* b = buf_.data();
    const std::size_t s = pos_ + 2;
    const Entry& top = stack_[depth_ - 1];
    const std::size_t e = s + top.name_len;
    if (e >= buf_.size() || b[e] != '>') return false;
    if (std::endian::native == std::endian::little && top.name_len < 8 &&
        s + 8 <= buf_.size()) {
        // One masked word compare; the name buffer keeps 16 bytes of room
        // past every open element's name.
        std::uint64_t x, y;
        std::memcpy(&x, names_.data() + top.name_off, 8);
        std::memcpy(&y, b + s, 8);
        if ((x ^ y) & ((std::uint64_t(1) << (8 * top.name_len)) - 1)) return false;
    } else if (!same_bytes(names_.data() + top.name_off, b + s, top.name_len)) {
        return false;
    }
    ev_ns_ = top.ns;
    ev_qname_start_ = s;
    ev_local_start_ = top.prefix_len ? s + top.prefix_len + 1 : s;
    ev_name_end_ = e;
    tag_start_ = pos_;
    tag_end_ = e + 1;
    pos_ = tag_end_;
    pop();
    return true;
}


[[gnu::noinline]] ReadError XmlReader::text_event(XmlEvent& ev) {
    if (!plain_text()) TVX_TRY(text());
    last_ = ev = XmlEvent::Text;
    return ReadError::ok();
}

[[gnu::noinline]] ReadError XmlReader::end_event(XmlEvent& ev) {
    if (!plain_end_tag()) TVX_TRY(end_tag());
    last_ = ev = XmlEvent::End;
    return ReadError::ok();
}

[[gnu::noinline]] ReadError XmlReader::start_event(XmlEvent& ev) {
    if (root_closed_ || !plain_start_tag(ev)) TVX_TRY(start_tag(ev));
    last_ = ev;
    return ReadError::ok();
}

[[gnu::noinline]] ReadError XmlReader::next_general(XmlEvent& ev) {
    if (!started_) {
        TVX_TRY(prologue());
        started_ = true;
        direct_ = fast_paths_;
    }
    if (pending_end_) {
        pending_end_ = false;
        direct_ = fast_paths_;
        pop();
        last_ = ev = XmlEvent::End;
        return ReadError::ok();
    }
    for (;;) {
        if (pos_ >= buf_.size()) {
            bool more;
            TVX_TRY(refill(more, pos_));
            if (!more) {
                if (!depth_ == 0) return ReadError::malformed("unclosed element");
                if (!root_seen_) return ReadError::malformed("no element found");
                last_ = ev = XmlEvent::EndOfDocument;
                return ReadError::ok();
            }
            continue;
        }
        if (buf_[pos_] != '<') {
            if (depth_ == 0) {
                TVX_TRY(skip_outside_whitespace());
                continue;
            }
            if (!(fast_paths_ && plain_text())) TVX_TRY(text());
            last_ = ev = XmlEvent::Text;
            return ReadError::ok();
        }
        if (pos_ + 1 >= buf_.size()) {
            bool have;
            TVX_TRY(fill(2, pos_, have));
            if (!have) return ReadError::malformed("unclosed token");
        }
        char d = buf_[pos_ + 1];
        if (d == '!') {
            bool is_text = false;
            TVX_TRY(markup(is_text));
            if (is_text) {
                last_ = ev = XmlEvent::Text;
                return ReadError::ok();
            }
            continue;
        }
        if (d == '?') {
            TVX_TRY(processing_instruction());
            continue;
        }
        if (d == '/') {
            if (!(fast_paths_ && plain_end_tag())) TVX_TRY(end_tag());
            last_ = ev = XmlEvent::End;
            return ReadError::ok();
        }
        if (!(fast_paths_ && !root_closed_ && plain_start_tag(ev))) TVX_TRY(start_tag(ev));
        last_ = ev;
        return ReadError::ok();
    }
}

[[gnu::noinline]] ReadError XmlReader::skip_outside_whitespace() {
    std::size_t i = pos_, n = buf_.size();
    const char* b = buf_.data();
    while (i < n && b[i] != '<') {
        if (!is_ws(b[i])) return ReadError::malformed("junk outside root");
        ++i;
    }
    pos_ = i;
    return ReadError::ok();
}

[[gnu::noinline]] ReadError XmlReader::text() {
    // Classes are gathered while looking for the '<' that ends the run; a
    // run split across reads is scanned on from where it stopped.
    std::size_t len = 0;
    std::uint8_t f = 0;
    for (;;) {
        const char* p = buf_.data() + pos_;
        const std::size_t avail = buf_.size() - pos_;
        len = scan_run<K_BRACKET>(p, len, avail, '<', f);
        if (len < avail) break;
        bool more;
        TVX_TRY(refill(more, pos_));
        if (!more) break;
    }
    const char* p = buf_.data() + pos_;
    TVX_TRY(check_chars(p, len, f));
    if (f & K_AMP) TVX_TRY(check_references(p, len));
    if ((f & K_BRACKET) && memmem(p, len, "]]>", 3)) return ReadError::malformed("]]> in text");
    text_start_ = pos_;
    text_end_ = pos_ + len;
    is_cdata_ = false;
    text_needs_decoding_ = (f & (K_AMP | K_CR)) != 0;
    pos_ += len;
    return ReadError::ok();
}

[[gnu::noinline]] ReadError XmlReader::markup(bool& is_text) {
    bool have;
    TVX_TRY(fill(9, pos_, have));
    std::size_t avail = buf_.size() - pos_;
    const char* s = buf_.data() + pos_;
    if (avail >= 4 && std::memcmp(s, "<!--", 4) == 0) {
        std::size_t at;
        bool found;
        TVX_TRY(find("-->", 4, at, found));
        if (!found) return ReadError::malformed("unclosed comment");
        const char* c = buf_.data() + pos_ + 4;
        std::size_t n = at - 4;
        if ((n > 0 && c[n - 1] == '-') || (n >= 2 && memmem(c, n, "--", 2)))
            return ReadError::malformed("-- in comment");
        TVX_TRY(check_chars(c, n, classify(c, n)));
        pos_ += at + 3;
        return ReadError::ok();
    }
    if (avail >= 9 && std::memcmp(s, "<![CDATA[", 9) == 0) {
        if (depth_ == 0) return ReadError::malformed("cdata outside root");
        std::size_t at;
        bool found;
        TVX_TRY(find("]]>", 9, at, found));
        if (!found) return ReadError::malformed("unclosed cdata");
        const char* c = buf_.data() + pos_ + 9;
        std::size_t n = at - 9;
        std::uint8_t f = classify(c, n);
        TVX_TRY(check_chars(c, n, f));
        text_start_ = pos_ + 9;
        text_end_ = pos_ + at;
        is_cdata_ = true;
        text_needs_decoding_ = (f & K_CR) != 0;
        pos_ += at + 3;
        is_text = true;
        return ReadError::ok();
    }
    if (avail >= 9 && std::memcmp(s, "<!DOCTYPE", 9) == 0) return ReadError::unsupported("doctype");
    return ReadError::malformed("bad markup declaration");
}

[[gnu::noinline]] ReadError XmlReader::processing_instruction() {
    std::size_t at;
    bool found;
    TVX_TRY(find("?>", 2, at, found));
    if (!found) return ReadError::malformed("unclosed pi");
    const char* c = buf_.data() + pos_ + 2;
    std::size_t n = at - 2;
    if (n == 0 || !(NAMES[uc(c[0])] & N_START)) return ReadError::malformed("bad pi");
    std::size_t t = 1;
    while (t < n && (NAMES[uc(c[t])] & N_CHAR)) ++t;
    if (t == 3 && (c[0] | 0x20) == 'x' && (c[1] | 0x20) == 'm' && (c[2] | 0x20) == 'l')
        return ReadError::malformed("misplaced xml declaration");
    if (std::memchr(c, ':', t)) return ReadError::malformed("colon in pi target");
    if (t < n && !is_ws(c[t])) return ReadError::malformed("bad pi");
    TVX_TRY(check_chars(c, n, classify(c, n)));
    pos_ += at + 2;
    return ReadError::ok();
}

[[gnu::noinline]] ReadError XmlReader::end_tag() {
    std::size_t at;
    bool found;
    TVX_TRY(find(">", 2, at, found));
    if (!found) return ReadError::malformed("unclosed end tag");
    const char* b = buf_.data();
    const std::size_t s = pos_ + 2;
    std::size_t e = pos_ + at;
    if (s == e) return ReadError::malformed("expected name");
    std::size_t name_end;
    TVX_TRY(scan_name(b, s, e, name_end));
    for (std::size_t i = name_end; i < e; ++i)
        if (!is_ws(b[i])) return ReadError::malformed("bad end tag");
    std::size_t colon;
    TVX_TRY(check_qname(b, s, name_end, colon));
    if (depth_ == 0) return ReadError::malformed("mismatched tag");
    const Entry& top = stack_[depth_ - 1];
    if (top.name_len != name_end - s ||
        std::memcmp(names_.data() + top.name_off, b + s, top.name_len) != 0)
        return ReadError::malformed("mismatched tag");
    ev_ns_ = top.ns;
    ev_qname_start_ = s;
    ev_local_start_ = colon == name_end ? s : colon + 1;
    ev_name_end_ = name_end;
    tag_start_ = pos_;
    tag_end_ = pos_ + at + 1;
    pos_ = tag_end_;
    pop();
    return ReadError::ok();
}

// Whether the start tag at pos_ has a closing '>' (quoted values may hold
// '>'); used to tell "unclosed tag" from an error inside the tag.
ReadError XmlReader::tag_is_closed(bool& closed) {
    std::size_t rel = 1;
    for (;;) {
        const char* base = buf_.data() + pos_;
        std::size_t avail = buf_.size() - pos_;
        while (rel < avail) {
            char c = base[rel];
            if (!(NAMES[uc(c)] & N_TAGSTOP)) {
                ++rel;
                continue;
            }
            if (c == '>') {
                closed = true;
                return ReadError::ok();
            }
            const void* close = std::memchr(base + rel + 1, c, avail - rel - 1);
            if (!close) break;  // resume at this quote once more bytes came
            rel = std::size_t(static_cast<const char*>(close) - base) + 1;
        }
        bool more;
        TVX_TRY(refill(more, pos_));
        if (!more) {
            closed = false;
            return ReadError::ok();
        }
    }
}

namespace {

// Name at b[i..n): its end and the position of its first ':' (or npos) and
// the number of ':'. need_more when the buffer ends inside it.
struct NameScan {
    std::size_t end, colon;
    unsigned colons;
};

inline bool scan_qname(const char* b, std::size_t i, std::size_t n, NameScan& out, ReadError& err,
                       bool& need_more) {
    unsigned char c = uc(b[i]);
    if (c >= 0x80) {
        err = ReadError::unsupported("non-ascii name");
        return false;
    }
    if (!(NAMES[c] & N_START)) {
        err = ReadError::malformed("bad name");
        return false;
    }
    std::size_t colon = c == ':' ? i : std::string_view::npos;
    unsigned colons = c == ':';
    std::size_t s = i++;
    while (i < n) {
        c = uc(b[i]);
        if (!(NAMES[c] & N_CHAR)) break;
        if (c == ':') {
            if (!colons++) colon = i;
        }
        ++i;
    }
    if (i >= n) {
        need_more = true;
        return false;
    }
    if (c >= 0x80) {
        err = ReadError::unsupported("non-ascii name");
        return false;
    }
    if (colons) {
        if (colon == s || colon + 1 == i || colons > 1) {
            err = ReadError::unsupported("bad qname");
            return false;
        }
        char after = b[colon + 1];
        if (after != '_' && !is_letter(after)) {
            err = ReadError::malformed("bad qname");
            return false;
        }
    }
    out = {i, colons ? colon : i, colons};
    return true;
}

}  // namespace

[[gnu::always_inline]] inline ReadError XmlReader::parse_start_tag(bool& need_more, std::size_t& gt,
                                                                   bool& empty,
                                                                   std::size_t& name_end,
                                                                   std::size_t& colon,
                                                                   std::uint32_t& bound) {
    const char* b = buf_.data();
    const std::size_t n = buf_.size();
    std::size_t s = pos_ + 1;
    nattrs_ = 0;
    seen_.clear();
    if (s >= n) {
        need_more = true;
        return ReadError::ok();
    }
    if (b[s] == '>') return ReadError::malformed("expected name");
    ReadError err;
    NameScan name;
    if (!scan_qname(b, s, n, name, err, need_more)) return err;
    name_end = name.end;
    colon = name.colon;
    std::size_t i = name.end;
    for (;;) {
        std::size_t ws = i;
        while (i < n && is_ws(b[i])) ++i;
        if (i >= n) {
            need_more = true;
            return ReadError::ok();
        }
        char c = b[i];
        if (c == '>') {
            gt = i;
            empty = false;
            return ReadError::ok();
        }
        if (c == '/') {
            if (i + 1 >= n) {
                need_more = true;
                return ReadError::ok();
            }
            if (b[i + 1] == '>') {
                gt = i + 1;
                empty = true;
                return ReadError::ok();
            }
        }
        if (i == ws) return ReadError::malformed("missing whitespace between attributes");
        NameScan an;
        if (!scan_qname(b, i, n, an, err, need_more)) return err;
        std::size_t k = an.end;
        while (k < n && is_ws(b[k])) ++k;
        if (k >= n) {
            need_more = true;
            return ReadError::ok();
        }
        if (b[k] != '=') return ReadError::malformed("expected =");
        ++k;
        while (k < n && is_ws(b[k])) ++k;
        if (k >= n) {
            need_more = true;
            return ReadError::ok();
        }
        if (b[k] != '"' && b[k] != '\'') return ReadError::malformed("expected quote");
        const char q = b[k];
        std::size_t vs = k + 1;
        std::uint8_t f = 0;
        std::size_t ve = scan_run<K_LT>(b, vs, n, q, f);
        if (ve >= n) {
            need_more = true;
            return ReadError::ok();
        }
        if (f & K_LT) return ReadError::malformed("< in attribute");
        TVX_TRY(check_chars(b + vs, ve - vs, f));
        if (f & K_AMP) TVX_TRY(check_references(b + vs, ve - vs));
        std::size_t qlen = an.end - i;
        if (seen_.size() < MANY_ATTRIBUTES) {
            for (const Range& r : seen_)
                if (r.end - r.start == qlen && same_bytes(b + r.start, b + i, qlen))
                    return ReadError::malformed("duplicate attribute");
        } else {
            // Hostile tags with very many attributes: hash instead of comparing pairs.
            auto seen_hash = [this, b](const Range& r) {
                return seen_set_.hash(std::string_view(b + r.start, r.end - r.start));
            };
            if (seen_.size() == MANY_ATTRIBUTES) {
                // Such a tag may run far past the buffer: have all of it
                // buffered before the work on it grows, so that it is
                // parsed once more at most this far.
                if (!tag_buffered_) {
                    need_more = true;
                    return ReadError::ok();
                }
                seen_set_.clear();
                for (std::uint32_t x = 0; x < seen_.size(); ++x)
                    seen_set_.insert(seen_hash(seen_[x]), x);
            }
            const std::uint32_t h = seen_hash({i, an.end});
            auto same = [&](std::uint32_t x) {
                const Range& r = seen_[x];
                return r.end - r.start == qlen && same_bytes(b + r.start, b + i, qlen);
            };
            if (seen_set_.find(h, same)) return ReadError::malformed("duplicate attribute");
            seen_set_.insert(h, std::uint32_t(seen_.size()));
        }
        seen_.push_back({i, an.end});

        if (nattrs_ == attrs_.size()) attrs_.emplace_back();
        AttributeRecord& a = attrs_[nattrs_];
        a = {i,
             an.end,
             an.colon == an.end ? i : an.colon + 1,
             an.end,
             vs,
             ve,
             0,
             std::uint8_t((f & (K_AMP | K_TABLF | K_CR)) != 0)};
        bool is_decl = false;
        std::size_t ps = 0, pe = 0;
        if (an.colon == an.end) {
            is_decl = qlen == 5 && same_bytes(b + i, "xmlns", 5);  // default namespace
        } else if (an.colon - i == 5 && same_bytes(b + i, "xmlns", 5)) {
            is_decl = true;
            ps = an.colon + 1;
            pe = an.end;
        }
        if (is_decl) {
            TVX_TRY(namespace_declaration(ps, pe, a));
            ++bound;
        } else {
            ++nattrs_;  // kept: the record stays in the list
        }
        i = ve + 1;
    }
}

[[gnu::noinline]] ReadError XmlReader::start_tag(XmlEvent& ev) {
    if (root_closed_) return ReadError::malformed("junk after document element");
    std::size_t bindings_before = bindings_.size();
    std::uint32_t bound = 0;
    std::size_t gt = 0, name_end = 0, colon = 0;
    bool empty = false;
    tag_buffered_ = false;
    // One pass over the tag as buffered; when the buffer ends inside it,
    // refill and parse it again. An error found inside the tag is only
    // reported once the tag is known to be closed.
    for (;;) {
        bool need_more = false;
        ReadError err = parse_start_tag(need_more, gt, empty, name_end, colon, bound);
        if (need_more || err) {
            truncate_bindings(bindings_before);
            bound = 0;
        }
        if (need_more) {
            // Buffer the whole tag first (a scan that resumes where it
            // stopped), so the parse is repeated once, not once per read.
            bool closed;
            TVX_TRY(tag_is_closed(closed));
            if (!closed) return ReadError::malformed("unclosed tag");
            tag_buffered_ = true;
            continue;
        }
        if (err) {
            if (err.kind == ErrKind::Source) return err;
            bool closed;
            TVX_TRY(tag_is_closed(closed));
            if (!closed) return ReadError::malformed("unclosed tag");
            return err;
        }
        break;
    }

    // Resolution: the tag's own declarations apply to its name and attributes.
    const char* b = buf_.data();
    std::size_t s = pos_ + 1;
    std::string_view prefix(b + s, colon == name_end ? 0 : colon - s);
    NamespaceId ns = lookup_prefix(prefix);
    if (ns == NS_UNBOUND) return ReadError::malformed("unbound prefix");
    std::size_t prefixed = 0;
    for (std::size_t x = 0; x < nattrs_; ++x) {
        AttributeRecord& a = attrs_[x];
        if (a.local_start == a.qname_start) continue;  // no prefix: NS_NONE
        NamespaceId an =
            lookup_prefix(std::string_view(b + a.qname_start, a.local_start - 1 - a.qname_start));
        if (an == NS_UNBOUND) return ReadError::malformed("unbound prefix");
        a.ns = std::int32_t(an);
        ++prefixed;
    }
    // A prefix is never bound to NS_NONE, so an attribute without a prefix
    // shares its namespace only with others without one, which the check
    // of qualified names already told apart: a (namespace, local name)
    // duplicate needs two prefixed attributes.
    if (prefixed < 2) {
        // nothing more to compare
    } else if (nattrs_ > MANY_ATTRIBUTES) {
        // Sorted by (namespace, local name), duplicates are neighbours.
        std::vector<const AttributeRecord*> order;
        order.reserve(nattrs_);
        for (std::size_t x = 0; x < nattrs_; ++x) order.push_back(&attrs_[x]);
        auto key = [b](const AttributeRecord* a) {
            return std::pair(a->ns,
                             std::string_view(b + a->local_start, a->local_end - a->local_start));
        };
        std::sort(order.begin(), order.end(), [&](auto* x, auto* y) { return key(x) < key(y); });
        for (std::size_t x = 1; x < order.size(); ++x)
            if (key(order[x - 1]) == key(order[x]))
                return ReadError::malformed("duplicate attribute");
    } else {
        for (std::size_t x = 1; x < nattrs_; ++x) {
            const AttributeRecord& ax = attrs_[x];
            std::size_t lx = ax.local_end - ax.local_start;
            for (std::size_t y = 0; y < x; ++y) {
                const AttributeRecord& ay = attrs_[y];
                if (ay.ns == ax.ns && ay.local_end - ay.local_start == lx &&
                    same_bytes(b + ay.local_start, b + ax.local_start, lx))
                    return ReadError::malformed("duplicate attribute");
            }
        }
    }

    open_element(name_end, colon, gt, empty, bound, ns, ev);
    return ReadError::ok();
}


ReadError XmlReader::namespace_declaration(std::size_t ps, std::size_t pe,
                                           const AttributeRecord& a) {
    std::string_view value = decode_attribute_value(a, scratch_);
    const char* b = buf_.data();
    std::string_view prefix(b + ps, pe - ps);
    if (prefix == "xml") {
        if (value != XML_NAMESPACE) return ReadError::malformed("xml prefix");
    } else {
        if (prefix == "xmlns") return ReadError::malformed("xmlns prefix");
        if (value == XMLNS_NAMESPACE || value == XML_NAMESPACE)
            return ReadError::malformed("reserved namespace");
        if (pe > ps && value.empty()) return ReadError::malformed("empty prefixed namespace");
    }
    push_binding(prefix, intern_namespace(value));
    return ReadError::ok();
}

std::uint32_t* XmlReader::prefix_slot(std::string_view prefix, std::uint32_t h) noexcept {
    return prefix_top_.find(h, [&](std::uint32_t k) {
        const Binding& bd = bindings_[k];
        return bd.prefix_len == prefix.size() &&
               same_bytes(prefixes_.data() + bd.prefix_off, prefix.data(), prefix.size());
    });
}

void XmlReader::push_binding(std::string_view prefix, NamespaceId id) {
    const std::uint32_t index = std::uint32_t(bindings_.size());
    const std::uint32_t h = prefix_top_.hash(prefix);
    std::uint32_t shadowed = NO_BINDING;
    if (std::uint32_t* top = prefix_slot(prefix, h)) {
        shadowed = *top;
        *top = index;
    } else {
        prefix_top_.insert(h, index);
    }
    bindings_.push_back(
        {std::uint32_t(prefixes_.size()), std::uint32_t(prefix.size()), id, shadowed});
    prefixes_.append(prefix);
    if (prefix.empty()) default_ns_ = id;
    scope_versions_.push_back(++last_version_);
}

// Pops bindings (innermost first) until n remain; each popped binding
// gives its prefix back to the binding it shadowed.
void XmlReader::truncate_bindings(std::size_t n) noexcept {
    if (bindings_.size() <= n) return;
    while (bindings_.size() > n) {
        const std::uint32_t index = std::uint32_t(bindings_.size() - 1);
        const Binding& bd = bindings_.back();
        std::string_view p(prefixes_.data() + bd.prefix_off, bd.prefix_len);
        const std::uint32_t h = prefix_top_.hash(p);
        // The prefix's slot holds this binding, the innermost of its prefix.
        if (bd.shadowed == NO_BINDING)
            prefix_top_.erase(h, index);
        else
            *prefix_top_.find(h, [index](std::uint32_t k) { return k == index; }) = bd.shadowed;
        if (bd.prefix_len == 0)
            default_ns_ = bd.shadowed == NO_BINDING ? NS_NONE : bindings_[bd.shadowed].id;
        prefixes_.resize(bd.prefix_off);
        bindings_.pop_back();
    }
    scope_versions_.resize(n + 1);
}

// ---------------------------------------------------------------- decoding

std::string_view XmlReader::decode_text(std::string& scratch) const {
    if (!text_needs_decoding_) return raw_text();
    scratch.clear();
    decode_into(scratch, buf_.data() + text_start_, text_end_ - text_start_, !is_cdata_, false);
    return scratch;
}

void XmlReader::append_text(std::string& out) const {
    if (!text_needs_decoding_)
        out.append(buf_.data() + text_start_, text_end_ - text_start_);
    else
        decode_into(out, buf_.data() + text_start_, text_end_ - text_start_, !is_cdata_, false);
}

std::string_view XmlReader::decode_attribute_value(const AttributeRecord& a,
                                                   std::string& scratch) const {
    if (!a.needs_decoding) return attr_raw_value(a);
    scratch.clear();
    decode_into(scratch, buf_.data() + a.value_start, a.value_end - a.value_start, true, true);
    return scratch;
}

// ---------------------------------------------------------------- namespaces

NamespaceId XmlReader::intern_namespace(std::string_view uri) {
    const std::uint32_t h = uri_index_.hash(uri);
    if (const std::uint32_t* found =
            uri_index_.find(h, [&](std::uint32_t k) { return namespace_uri(k) == uri; }))
        return *found;
    NamespaceId id = NamespaceId(uri_ends_.size());
    uri_bytes_.append(uri);
    uri_ends_.push_back(uri_bytes_.size());
    uri_index_.insert(h, id);
    return id;
}

NamespaceId XmlReader::lookup_prefixed(std::string_view prefix) const noexcept {
    if (prefix.size() == 3 && same_bytes(prefix.data(), "xml", 3)) return NS_XML;
    if (bindings_.size() <= SHORT_SCOPE) {
        // The usual few bindings: a search from the innermost beats hashing.
        for (std::size_t k = bindings_.size(); k-- > 0;) {
            const Binding& bd = bindings_[k];
            if (bd.prefix_len == prefix.size() &&
                same_bytes(prefixes_.data() + bd.prefix_off, prefix.data(), prefix.size()))
                return bd.id;
        }
    } else {
        if (const std::uint32_t* top = prefix_slot(prefix, prefix_top_.hash(prefix)))
            return bindings_[*top].id;
    }
    return prefix.empty() ? NS_NONE : NS_UNBOUND;
}

void XmlReader::bindings_in_scope(
    std::vector<std::pair<std::string_view, std::string_view>>& out) const {
    // Each prefix once, at its outermost binding: a binding that shadows
    // nothing opens a new entry, and the entry takes the URI of the
    // prefix's innermost binding (the one prefix_top_ names).
    out.clear();
    for (std::uint32_t k = 0; k < bindings_.size(); ++k) {
        const Binding& outer = bindings_[k];
        if (outer.shadowed != NO_BINDING) continue;
        std::string_view prefix(prefixes_.data() + outer.prefix_off, outer.prefix_len);
        const Binding& inner = bindings_[*prefix_slot(prefix, prefix_top_.hash(prefix))];
        out.emplace_back(prefix, namespace_uri(inner.id));
    }
}

// ---------------------------------------------------------------- capture

void XmlReader::begin_capture() noexcept {
    capture_active_ = true;
    capture_start_ = tag_start_;
}

std::string_view XmlReader::end_capture() {
    if (!capture_active_) throw std::logic_error("capture not started");
    capture_active_ = false;
    return view(capture_start_, tag_end_);
}

ReadError XmlReader::capture_element(std::string_view& bytes, ElementPredicate nested) {
    begin_capture();
    XmlEvent ev;
    if (last_ == XmlEvent::EmptyStart) {
        TVX_TRY(next(ev));
    } else {
        std::size_t d = depth();
        for (;;) {
            TVX_TRY(next(ev));
            if (ev == XmlEvent::End) {
                if (depth() < d) break;
            } else if (ev == XmlEvent::EndOfDocument) {
                capture_active_ = false;
                return ReadError::malformed("unexpected eof");
            } else if (ev != XmlEvent::Text && nested(ev_ns_, local_name())) {
                capture_active_ = false;
                return ReadError::unsupported("nested element handled by dispatcher");
            }
        }
    }
    bytes = end_capture();
    return ReadError::ok();
}

}  // namespace tvx
