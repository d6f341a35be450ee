// String items (`si` of the shared-string table, `is` of inline-string
// cells): their plain text built natively, or the whole item captured for
// the host when it holds something only the host's model reads.
#pragma once

#include "lib/host.h"
#include "lib/xml_host.h"
#include "xml/reader.h"

#include <string>
#include <unordered_map>

namespace tvx {

// Verdicts of the host's validate_rpr, keyed by the raw `rPr` bytes; owned
// by the caller and shared by all items of one module-function call.
using RprCache = std::unordered_map<std::string, bool, StringHash, std::equal_to<>>;

// Result of read_text_item. Reuse one object across items: its strings keep
// their capacity, so plain items allocate nothing but the final str.
struct TextItem {
    enum class Kind : std::uint8_t { Text, Capture };
    Kind kind = Kind::Text;
    std::string text;         // Text: the item's text (no "x005F_" removal)
    PyRef bytes, namespaces;  // Capture: the item's raw bytes and inherited namespaces
    std::string runs;         // internal: texts of the runs read so far
};

// Reads one item; the reader stands right after the item's Start or
// EmptyStart and is left right after its End. `nested` names the elements
// the caller's dispatcher owns (refused inside the item). Uses
// validate_rpr, text_dangerous and rich_dangerous of `helpers`.
ReadError read_text_item(XmlReader& reader, ElementPredicate nested, const ReaderHelpers& helpers,
                         RprCache& cache, TextItem& out);

// From right after an element's Start/EmptyStart to its End: appends the
// decoded text of every Text event inside it, at any depth; `present` tells
// whether there was any Text event.
ReadError read_element_text(XmlReader& reader, ElementPredicate nested, std::string& out,
                            bool& present);

// From right after an element's Start/EmptyStart to its End, discarding it.
ReadError skip_element(XmlReader& reader, ElementPredicate nested);

}  // namespace tvx
