// String items (`si` of the shared-string table, `is` of inline-string
// cells): their plain text built here, or the whole item handed to the
// host when it holds something only the host's model reads. Plain C++:
// whatever needs the host goes through a TextItemHost.
#pragma once

#include "xml/reader.h"

#include <string>
#include <string_view>
#include <unordered_set>

namespace tvx {

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

// A set of element local names.
using NameSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;

inline bool name_in(const NameSet& set, std::string_view name) {
    return set.find(name) != set.end();
}

// What the reader of string items asks of its caller.
class TextItemHost {
public:
    virtual ~TextItemHost() = default;
    // Children of an item (`text`) and of a run (`rich`) that only the
    // host's model reads: an item holding one is handed over whole.
    virtual const NameSet& text_dangerous() const noexcept = 0;
    virtual const NameSet& rich_dangerous() const noexcept = 0;
    // Whether the host's model reads a run's properties (`raw`: the whole
    // `rPr` element; the reader stands right after it) without loss. An
    // error is reported once the item has been read to its end; no further
    // properties are judged after it.
    virtual ReadError judge_rpr(const XmlReader& reader, std::string_view raw, bool& lossless) = 0;
    // The raw bytes of an item handed over, called with the reader right
    // after the item's end (its namespaces still in scope).
    virtual ReadError take_capture(const XmlReader& reader, std::string_view raw) = 0;
};

// Result of read_text_item. Reuse one object across items: its strings keep
// their capacity, so plain items allocate nothing.
struct TextItem {
    enum class Kind : std::uint8_t { Text, Capture };
    Kind kind = Kind::Text;
    std::string text;  // Text: the item's text (no "x005F_" removal)
    std::string runs;  // internal: texts of the runs read so far
};

// Reads one item; the reader stands right after the item's Start or
// EmptyStart and is left right after its End. `nested` names the elements
// the caller's dispatcher owns (refused inside the item). A Capture item
// has been given to host.take_capture.
ReadError read_text_item(XmlReader& reader, ElementPredicate nested, TextItemHost& host,
                         TextItem& out);

// From right after an element's Start/EmptyStart to its End: appends the
// decoded text of every Text event inside it, at any depth; `present` tells
// whether there was any Text event.
ReadError read_element_text(XmlReader& reader, ElementPredicate nested, std::string& out,
                            bool& present);

// From right after an element's Start/EmptyStart to its End, discarding it.
ReadError skip_element(XmlReader& reader, ElementPredicate nested);

}  // namespace tvx
