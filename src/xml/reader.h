// XmlReader: the streaming, namespace-aware pull tokenizer every native
// reader is built on.
//
// The reader pulls bytes from a ByteSource in 65536-byte reads into one
// growable buffer, checks well-formedness as it goes and reports events.
// Anything well-formed that the engine does not reproduce (UTF-16, a
// doctype, non-ASCII names, XML 1.1, other encodings) is an Unsupported
// error, so the caller can hand the job back to Python.
//
// Positions: every index the reader hands out (tag_start, tag_end, text and
// name ranges, attribute records, pos) is an index into the current buffer.
// When a refill compacts the buffer, the first k bytes are dropped and all
// of the reader's own indices move down by k; `discarded()` grows by k, so
// `discarded() + index` is a stable absolute document offset that callers
// may keep across calls.
#pragma once

#include "core/errors.h"
#include "core/source.h"
#include "xml/flat_index.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tvx {

using NamespaceId = std::uint32_t;
inline constexpr NamespaceId NS_NONE = 0;  // the empty URI
inline constexpr NamespaceId NS_XML = 1;   // bound to the prefix `xml`
inline constexpr NamespaceId NS_MAIN = 2;  // SpreadsheetML main namespace
inline constexpr NamespaceId NS_UNBOUND = 0xFFFFFFFFu;

inline constexpr std::string_view XML_NAMESPACE = "http://www.w3.org/XML/1998/namespace";
inline constexpr std::string_view XMLNS_NAMESPACE = "http://www.w3.org/2000/xmlns/";
inline constexpr std::string_view MAIN_NAMESPACE =
    "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

enum class XmlEvent : std::uint8_t {
    Start = 0,
    EmptyStart = 1,
    End = 2,
    Text = 3,
    EndOfDocument = 4
};

// One attribute of the current start tag (namespace declarations excluded).
// Ranges are buffer indices, valid until the next call of next().
struct AttributeRecord {
    std::size_t qname_start, qname_end;
    std::size_t local_start, local_end;  // equal to the qname range without a prefix
    std::size_t value_start, value_end;  // raw, between the quotes
    std::int32_t ns;                     // resolved NamespaceId; 0 without a prefix
    std::uint8_t needs_decoding;         // value holds `&`, TAB, LF or CR
};

// Which nested elements a caller's own dispatcher owns (inline text and
// captures refuse to read through them).
struct ElementPredicate {
    bool (*fn)(const void* ctx, NamespaceId ns, std::string_view local) = nullptr;
    const void* ctx = nullptr;
    bool operator()(NamespaceId ns, std::string_view local) const {
        return fn != nullptr && fn(ctx, ns, local);
    }
};

// The checks the tokenizer runs over character data between tags
// (characters, references, no "]]>"), for parsers that read text straight
// from the buffer; `needs_decoding` tells whether append_decoded_text must
// be used instead of the raw bytes.
ReadError check_text_run(const char* p, std::size_t n, bool& needs_decoding);
// Appends checked character data decoded as Text events are (CR LF and CR
// to LF, references replaced).
void append_decoded_text(std::string& out, const char* p, std::size_t n);

// The checks the tokenizer runs over one attribute value (no `<`,
// characters, references), for parsers that read tags straight from the
// buffer; `needs_decoding` tells whether append_decoded_attribute must be
// used instead of the raw bytes.
ReadError check_attribute_value(const char* p, std::size_t n, bool& needs_decoding);
// Appends a checked attribute value decoded as decode_attribute_value does.
void append_decoded_attribute(std::string& out, const char* p, std::size_t n);

class XmlReader {
public:
    // Nothing is read until the first next(). `source` must outlive the reader.
    explicit XmlReader(ByteSource& source);
    XmlReader(const XmlReader&) = delete;
    XmlReader& operator=(const XmlReader&) = delete;

    // The next event, or an error; after an error the reader must not be used.
    // Inline, it only dispatches: the usual text run, end tag and start tag
    // each have a function of their own, so that each event pays only for
    // what its own path needs; everything else, and the first call, takes
    // the general loop.
    ReadError next(XmlEvent& ev) {
        if (direct_ && pos_ + 1 < buf_.size()) [[likely]] {
            const char* b = buf_.data();
            if (b[pos_] != '<') {
                if (depth_ != 0) return text_event(ev);
            } else {
                const char d = b[pos_ + 1];
                if (d == '/') return end_event(ev);
                if (d != '!' && d != '?') return start_event(ev);
            }
        }
        return next_general(ev);
    }
    // With fast paths off, every tag goes through the general parser (tests
    // compare the two; results never differ).
    void set_fast_paths(bool on) noexcept {
        fast_paths_ = on;
        direct_ = on && started_ && !pending_end_;
    }

    XmlEvent last_event() const noexcept { return last_; }
    // Open elements: after Start it counts the new element, after End it no
    // longer counts the closed one.
    std::size_t depth() const noexcept { return depth_; }

    // Element data (Start, EmptyStart, End).
    NamespaceId ns() const noexcept { return ev_ns_; }
    std::string_view local_name() const noexcept { return view(ev_local_start_, ev_name_end_); }
    std::string_view qname() const noexcept { return view(ev_qname_start_, ev_name_end_); }
    std::span<const AttributeRecord> attributes() const noexcept {
        return {attrs_.data(), nattrs_};
    }
    std::size_t tag_start() const noexcept { return tag_start_; }
    std::size_t tag_end() const noexcept { return tag_end_; }

    // Text data (Text).
    std::string_view raw_text() const noexcept { return view(text_start_, text_end_); }
    bool is_cdata() const noexcept { return is_cdata_; }
    bool needs_decoding() const noexcept { return text_needs_decoding_; }
    // The decoded text: a view of the raw bytes, or of `scratch` when the
    // text needs decoding (CR LF / CR to LF, references outside CDATA).
    std::string_view decode_text(std::string& scratch) const;
    // Appends the decoded text to `out`.
    void append_text(std::string& out) const;
    // The decoded value of one attribute (TAB, LF, CR and CR LF to a space,
    // references replaced), a view of the raw bytes or of `scratch`.
    std::string_view decode_attribute_value(const AttributeRecord& a, std::string& scratch) const;
    std::string_view attr_local(const AttributeRecord& a) const noexcept {
        return view(a.local_start, a.local_end);
    }
    std::string_view attr_raw_value(const AttributeRecord& a) const noexcept {
        return view(a.value_start, a.value_end);
    }

    // Namespaces.
    NamespaceId intern_namespace(std::string_view uri);
    NamespaceId lookup_prefix(std::string_view prefix) const noexcept {  // NS_UNBOUND if none
        return prefix.empty() ? default_ns_ : lookup_prefixed(prefix);
    }
    // The URI of an interned namespace; valid until the next call of next().
    std::string_view namespace_uri(NamespaceId id) const noexcept {
        const std::size_t s = id ? uri_ends_[id - 1] : 0;
        return std::string_view(uri_bytes_.data() + s, uri_ends_[id] - s);
    }
    // The innermost default-namespace binding (NS_NONE when there is none).
    NamespaceId default_namespace() const noexcept { return default_ns_; }
    // The (prefix, uri) bindings in scope: each prefix once, at its
    // outermost position, with its innermost URI. Views valid until the
    // next call of next().
    void bindings_in_scope(std::vector<std::pair<std::string_view, std::string_view>>& out) const;
    // Names the current state of the bindings: equal numbers mean equal
    // bindings_in_scope() (returning to a scope gives its number again).
    std::uint64_t scope_version() const noexcept { return scope_versions_[bindings_.size()]; }
    // A slot where the layer above keeps what it built from the bindings
    // (the reader only owns it).
    struct ScopeCache {
        virtual ~ScopeCache() = default;
    };
    std::unique_ptr<ScopeCache>& scope_cache() const noexcept { return scope_cache_; }

    // Capture: begin right after a Start/EmptyStart; while it runs,
    // compaction keeps every byte from that tag's `<` on.
    void begin_capture() noexcept;
    // The bytes from the captured tag's `<` to tag_end of the last tag read;
    // valid until the next call of next() or require().
    std::string_view end_capture();
    void abandon_capture() noexcept { capture_active_ = false; }
    bool capture_active() const noexcept { return capture_active_; }
    // Reads from right after a Start/EmptyStart to the element's End and
    // gives its raw bytes (valid as for end_capture). A nested Start or
    // EmptyStart for which `nested` holds is Unsupported "nested element
    // handled by dispatcher".
    ReadError capture_element(std::string_view& bytes, ElementPredicate nested = {});

    // Raw access for parsers that read known elements straight from the
    // bytes. data()[pos()] is the next unread byte; data()[size()-1] the last
    // byte buffered.
    const char* data() const noexcept { return buf_.data(); }
    std::size_t size() const noexcept { return buf_.size(); }
    std::size_t pos() const noexcept { return pos_; }
    std::size_t discarded() const noexcept { return discarded_; }
    // Makes at least n bytes available from pos() (refilling as needed);
    // `available` is false when the input ended first (whatever is left is
    // still buffered). A refill may compact: bytes before
    // min(pos(), tag_start()) (and before a running capture) can be
    // dropped, so re-read data()/pos() afterwards and keep offsets relative
    // to pos() or absolute via discarded().
    ReadError require(std::size_t n, bool& available);
    // Moves pos() forward to buffer index i (pos() <= i <= size()). The
    // caller guarantees that the bytes passed over were checked and form
    // complete, balanced content, so the element stack and the namespace
    // bindings are unchanged. Not allowed while an EmptyStart's End is due.
    void advance_to(std::size_t i) noexcept { pos_ = i; }
    // For a raw scan that went past the current start tag and reads on
    // without events: the tag's bytes may go at the next refill, so that
    // the buffer stays small. The event's name and attribute data are
    // invalid from here until the next event.
    void release_tag() noexcept {
        tag_start_ = tag_end_ = ev_qname_start_ = ev_local_start_ = ev_name_end_ = pos_;
        nattrs_ = 0;
    }

private:
    struct Entry {
        std::uint32_t name_off, name_len, bindings;
        NamespaceId ns;
        std::uint32_t prefix_len;  // 0 without a prefix; else bytes before ':'
    };
    struct Binding {
        std::uint32_t prefix_off, prefix_len;
        NamespaceId id;
        std::uint32_t shadowed;  // earlier binding of the same prefix, or NO_BINDING
    };
    static constexpr std::uint32_t NO_BINDING = 0xFFFFFFFFu;
    struct Range {
        std::size_t start, end;
    };

    std::string_view view(std::size_t s, std::size_t e) const noexcept {
        return std::string_view(buf_.data() + s, e - s);
    }

    ReadError refill(bool& more, std::size_t keep);
    ReadError fill(std::size_t n, std::size_t keep, bool& available);
    void compact(std::size_t keep) noexcept;
    // Finds `delim` at or after pos_ + from; `at` is relative to pos_ (which
    // a refill may move, the bytes from pos_ on stay).
    ReadError find(std::string_view delim, std::size_t from, std::size_t& at, bool& found);

    ReadError next_general(XmlEvent& ev);
    ReadError text_event(XmlEvent& ev);
    ReadError end_event(XmlEvent& ev);
    ReadError start_event(XmlEvent& ev);
    ReadError prologue();
    ReadError declaration(std::size_t s, std::size_t e);
    ReadError skip_outside_whitespace();
    ReadError text();
    ReadError markup(bool& is_text);
    ReadError processing_instruction();
    ReadError end_tag();
    ReadError start_tag(XmlEvent& ev);
    ReadError parse_start_tag(bool& need_more, std::size_t& gt, bool& empty, std::size_t& name_end,
                              std::size_t& colon, std::uint32_t& bound);
    bool plain_start_tag(XmlEvent& ev);
    bool plain_end_tag() noexcept;
    bool plain_text() noexcept;
    void open_element(std::size_t name_end, std::size_t colon, std::size_t gt, bool empty,
                      std::uint32_t bound, NamespaceId ns, XmlEvent& ev);
    ReadError tag_is_closed(bool& closed);
    ReadError namespace_declaration(std::size_t prefix_s, std::size_t prefix_e,
                                    const AttributeRecord& a);
    void pop() noexcept;
    void push_binding(std::string_view prefix, NamespaceId id);
    void truncate_bindings(std::size_t n) noexcept;
    NamespaceId lookup_prefixed(std::string_view prefix) const noexcept;
    // The prefix_top_ slot of `prefix` (hashed to h), or null when unbound.
    std::uint32_t* prefix_slot(std::string_view prefix, std::uint32_t h) noexcept;
    const std::uint32_t* prefix_slot(std::string_view prefix, std::uint32_t h) const noexcept {
        return const_cast<XmlReader*>(this)->prefix_slot(prefix, h);
    }

    ByteSource& src_;
    std::string buf_;
    std::size_t pos_ = 0, discarded_ = 0;
    bool eof_ = false;
    bool started_ = false, root_seen_ = false, root_closed_ = false, pending_end_ = false;
    bool capture_active_ = false;
    bool fast_paths_ = true;
    // fast_paths_ && started_ && !pending_end_: next() may dispatch directly.
    bool direct_ = false;
    std::size_t capture_start_ = 0;
    XmlEvent last_ = XmlEvent::EndOfDocument;

    std::vector<Entry> stack_;  // the first depth_ entries are the open elements
    std::size_t depth_ = 0;
    std::vector<char> names_;  // qualified names of the open elements, concatenated
    std::size_t names_len_ = 0;
    std::vector<Binding> bindings_;
    std::string prefixes_;              // prefixes of the bindings, concatenated
    NamespaceId default_ns_ = NS_NONE;  // innermost binding of the empty prefix
    // Innermost binding of each bound prefix, so that neither lookups nor
    // pops search the stack (documents may bind thousands of prefixes).
    FlatIndex prefix_top_;
    // scope_versions_[n] names the state of the first n bindings: a push
    // gives the new state a fresh number, a pop returns to the number the
    // shorter stack had, so returning to a scope finds its list again.
    std::vector<std::uint64_t> scope_versions_{0};
    std::uint64_t last_version_ = 0;
    mutable std::unique_ptr<ScopeCache> scope_cache_;

    std::string uri_bytes_;              // the interned URIs, concatenated
    std::vector<std::size_t> uri_ends_;  // end of each in uri_bytes_, by NamespaceId
    FlatIndex uri_index_;                // URI to its NamespaceId

    std::vector<AttributeRecord> attrs_;  // the first nattrs_ are this tag's
    std::size_t nattrs_ = 0;
    std::vector<Range> seen_;    // qualified names of this tag, declarations included
    bool tag_buffered_ = false;  // the current start tag is known to be wholly buffered
    FlatIndex seen_set_;         // indices into seen_, for tags with many attributes
    std::string scratch_;

    NamespaceId ev_ns_ = NS_NONE;
    std::size_t ev_qname_start_ = 0, ev_local_start_ = 0, ev_name_end_ = 0;
    std::size_t tag_start_ = 0, tag_end_ = 0;
    std::size_t text_start_ = 0, text_end_ = 0;
    bool is_cdata_ = false, text_needs_decoding_ = false;
};

}  // namespace tvx
