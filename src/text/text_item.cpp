#include "text/text_item.h"

namespace tvx {

namespace {

constexpr ReadError NESTED = ReadError::unsupported("nested element handled by dispatcher");
constexpr ReadError EOF_INSIDE = ReadError::malformed("unexpected eof");

// Any attribute in no namespace on the current start tag.
bool has_plain_attribute(const XmlReader& r) {
    for (const AttributeRecord& a : r.attributes())
        if (a.ns == 0) return true;
    return false;
}

// Walks an element's content; `on_text` sees every Text event inside it.
template <class OnText>
ReadError walk(XmlReader& r, ElementPredicate nested, OnText&& on_text) {
    XmlEvent ev;
    if (r.last_event() == XmlEvent::EmptyStart) return r.next(ev);
    std::size_t d = r.depth();
    for (;;) {
        TVX_TRY(r.next(ev));
        switch (ev) {
            case XmlEvent::End:
                if (r.depth() < d) return ReadError::ok();
                break;
            case XmlEvent::Text:
                on_text();
                break;
            case XmlEvent::EndOfDocument:
                return EOF_INSIDE;
            default:
                if (nested(r.ns(), r.local_name())) return NESTED;
        }
    }
}

class ItemReader {
public:
    ItemReader(XmlReader& r, ElementPredicate nested, TextItemHost& host, TextItem& out)
        : r_(r), nested_(nested), host_(host), out_(out) {}

    ReadError run() {
        r_.begin_capture();
        ReadError e = body();
        if (e) r_.abandon_capture();
        return e;
    }

private:
    ReadError body() {
        out_.text.clear();
        out_.runs.clear();
        needs_host_ = has_plain_attribute(r_);
        ReadError e = each_child([&](std::string_view name) -> ReadError {
            if (name == "t") {
                out_.text.clear();
                bool present;
                return read_element_text(r_, nested_, out_.text, present);
            }
            if (name == "r") return run_element();
            bool dangerous =
                name == "rPh" || name == "phoneticPr" || name_in(host_.text_dangerous(), name);
            TVX_TRY(skip_element(r_, nested_));
            if (dangerous) needs_host_ = true;
            return ReadError::ok();
        });
        return e ? e : finish();
    }

    // Reads the element just started to its end, calling on_child(local
    // name) at the start of each child element, which reads that child to
    // its end. Text is passed over; a child the dispatcher owns is NESTED.
    template <class F>
    ReadError each_child(F on_child) {
        XmlEvent ev;
        if (r_.last_event() == XmlEvent::EmptyStart) return r_.next(ev);
        std::size_t d = r_.depth();
        for (;;) {
            TVX_TRY(r_.next(ev));
            if (ev == XmlEvent::Text) continue;
            if (ev == XmlEvent::EndOfDocument) return EOF_INSIDE;
            if (ev == XmlEvent::End) {
                if (r_.depth() < d) return ReadError::ok();
                continue;
            }
            if (nested_(r_.ns(), r_.local_name())) return NESTED;
            TVX_TRY(on_child(r_.local_name()));
        }
    }

    ReadError run_element() {
        if (has_plain_attribute(r_)) needs_host_ = true;
        std::size_t run_start = out_.runs.size();
        return each_child([&](std::string_view name) -> ReadError {
            if (name == "rPr") {
                // The capture of the item keeps these bytes buffered.
                std::size_t start = r_.discarded() + r_.tag_start();
                TVX_TRY(skip_element(r_, nested_));
                return judge_rpr(start);
            }
            if (name == "t") {
                out_.runs.resize(run_start);  // a later `t` replaces the run's text
                bool present;
                return read_element_text(r_, nested_, out_.runs, present);
            }
            bool dangerous = name_in(host_.rich_dangerous(), name);
            TVX_TRY(skip_element(r_, nested_));
            if (dangerous) needs_host_ = true;
            return ReadError::ok();
        });
    }

    // Asks the host whether its model reads these run properties without
    // loss; after an error, nothing more is asked.
    ReadError judge_rpr(std::size_t abs_start) {
        if (needs_host_ || pending_) return ReadError::ok();
        std::size_t s = abs_start - r_.discarded();
        std::string_view raw(r_.data() + s, r_.tag_end() - s);
        bool lossless = true;
        if (ReadError e = host_.judge_rpr(r_, raw, lossless)) {
            pending_ = e;  // reported once the item has been read to its end
            return ReadError::ok();
        }
        if (!lossless) needs_host_ = true;
        return ReadError::ok();
    }

    ReadError finish() {
        if (pending_) {
            r_.abandon_capture();
            return pending_;
        }
        if (needs_host_) {
            std::string_view raw = r_.end_capture();
            TVX_TRY(host_.take_capture(r_, raw));
            out_.kind = TextItem::Kind::Capture;
            return ReadError::ok();
        }
        r_.abandon_capture();
        out_.text += out_.runs;
        out_.kind = TextItem::Kind::Text;
        return ReadError::ok();
    }

    XmlReader& r_;
    ElementPredicate nested_;
    TextItemHost& host_;
    TextItem& out_;
    bool needs_host_ = false;
    ReadError pending_;  // the first error of judge_rpr
};

}  // namespace

ReadError read_element_text(XmlReader& r, ElementPredicate nested, std::string& out,
                            bool& present) {
    present = false;
    return walk(r, nested, [&] {
        r.append_text(out);
        present = true;
    });
}

ReadError skip_element(XmlReader& r, ElementPredicate nested) {
    return walk(r, nested, [] {});
}

ReadError read_text_item(XmlReader& reader, ElementPredicate nested, TextItemHost& host,
                         TextItem& out) {
    return ItemReader(reader, nested, host, out).run();
}

}  // namespace tvx
