#include "arrow/array.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <utility>

namespace tvx::arrow {

namespace {

constexpr std::size_t kAlign = 64;

std::size_t round_up(std::size_t n) noexcept { return (n + kAlign - 1) & ~(kAlign - 1); }

// What an exported array owns: the array itself (and so its buffers), the
// pointer table the struct points at, and the exported children.
struct ArrayPrivate {
    ArrayPtr data;
    std::vector<const void*> buffers;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_ptrs;
    ArrowArray dictionary{};
    bool has_dictionary = false;
};

void release_array(ArrowArray* a) noexcept {
    if (!a || !a->release) return;
    auto* p = static_cast<ArrayPrivate*>(a->private_data);
    // A consumer may have moved a child out, leaving its release null.
    for (ArrowArray& child : p->children) {
        if (child.release) child.release(&child);
    }
    if (p->has_dictionary && p->dictionary.release) p->dictionary.release(&p->dictionary);
    delete p;
    a->release = nullptr;
}

void fill_array(const ArrayPtr& data, ArrowArray* out) {
    auto p = std::make_unique<ArrayPrivate>();
    p->data = data;
    p->buffers.reserve(data->buffers.size());
    for (const BufferPtr& b : data->buffers) p->buffers.push_back(b ? b->data() : nullptr);
    p->children.resize(data->children.size());
    p->child_ptrs.resize(data->children.size());
    std::size_t done = 0;
    try {
        for (; done < data->children.size(); ++done) {
            fill_array(data->children[done], &p->children[done]);
            p->child_ptrs[done] = &p->children[done];
        }
        if (data->dictionary) {
            fill_array(data->dictionary, &p->dictionary);
            p->has_dictionary = true;
        }
    } catch (...) {
        for (std::size_t i = 0; i < done; ++i) release_array(&p->children[i]);
        throw;
    }
    out->length = data->length;
    out->null_count = data->null_count;
    out->offset = 0;
    out->n_buffers = std::int64_t(p->buffers.size());
    out->n_children = std::int64_t(p->children.size());
    out->buffers = p->buffers.empty() ? nullptr : p->buffers.data();
    out->children = p->child_ptrs.empty() ? nullptr : p->child_ptrs.data();
    out->dictionary = p->has_dictionary ? &p->dictionary : nullptr;
    out->release = release_array;
    out->private_data = p.release();
}

struct SchemaPrivate {
    std::string format, name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_ptrs;
    ArrowSchema dictionary{};
    bool has_dictionary = false;
};

void release_schema(ArrowSchema* s) noexcept {
    if (!s || !s->release) return;
    auto* p = static_cast<SchemaPrivate*>(s->private_data);
    for (ArrowSchema& child : p->children) {
        if (child.release) child.release(&child);
    }
    if (p->has_dictionary && p->dictionary.release) p->dictionary.release(&p->dictionary);
    delete p;
    s->release = nullptr;
}

void fill_schema(const Field& f, ArrowSchema* out) {
    auto p = std::make_unique<SchemaPrivate>();
    p->format = f.format;
    p->name = f.name;
    p->children.resize(f.children.size());
    p->child_ptrs.resize(f.children.size());
    std::size_t done = 0;
    try {
        for (; done < f.children.size(); ++done) {
            fill_schema(f.children[done], &p->children[done]);
            p->child_ptrs[done] = &p->children[done];
        }
        if (f.dictionary) {
            fill_schema(*f.dictionary, &p->dictionary);
            p->has_dictionary = true;
        }
    } catch (...) {
        for (std::size_t i = 0; i < done; ++i) release_schema(&p->children[i]);
        throw;
    }
    out->format = p->format.c_str();
    out->name = p->name.c_str();
    out->metadata = nullptr;
    out->flags = f.nullable ? ARROW_FLAG_NULLABLE : 0;
    out->n_children = std::int64_t(p->children.size());
    out->children = p->child_ptrs.empty() ? nullptr : p->child_ptrs.data();
    out->dictionary = p->has_dictionary ? &p->dictionary : nullptr;
    out->release = release_schema;
    out->private_data = p.release();
}

struct StreamPrivate {
    Field schema;
    std::vector<ArrayPtr> batches;
    std::size_t next = 0;
    std::string error;
};

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) noexcept {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    try {
        fill_schema(p->schema, out);
        return 0;
    } catch (const std::bad_alloc&) {
        p->error = "out of memory";
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) noexcept {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    if (p->next >= p->batches.size()) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        fill_array(p->batches[p->next], out);
        ++p->next;
        return 0;
    } catch (const std::bad_alloc&) {
        p->error = "out of memory";
        return ENOMEM;
    }
}

const char* stream_error(ArrowArrayStream* s) noexcept {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    return p->error.empty() ? nullptr : p->error.c_str();
}

void release_stream(ArrowArrayStream* s) noexcept {
    if (!s || !s->release) return;
    delete static_cast<StreamPrivate*>(s->private_data);
    s->release = nullptr;
}

}  // namespace

Buffer::~Buffer() { std::free(data_); }

void Buffer::grow(std::size_t need) {
    std::size_t cap = cap_ ? cap_ : kAlign;
    while (cap < need) cap = cap < (std::size_t(1) << 62) ? cap * 2 : need;
    cap = round_up(cap);
    auto* fresh = static_cast<std::uint8_t*>(std::aligned_alloc(kAlign, cap));
    if (!fresh) throw std::bad_alloc();
    if (size_) std::memcpy(fresh, data_, size_);
    std::free(data_);
    data_ = fresh;
    cap_ = cap;
}

void Buffer::pad() noexcept {
    if (!data_) return;
    const std::size_t end = round_up(size_);
    if (end > size_ && end <= cap_) std::memset(data_ + size_, 0, end - size_);
}

void export_array(const ArrayPtr& array, ArrowArray* out) { fill_array(array, out); }

void export_schema(const Field& field, ArrowSchema* out) { fill_schema(field, out); }

void export_stream(Field schema, std::vector<ArrayPtr> batches, ArrowArrayStream* out) {
    auto p = std::make_unique<StreamPrivate>();
    p->schema = std::move(schema);
    p->batches = std::move(batches);
    out->get_schema = stream_schema;
    out->get_next = stream_next;
    out->get_last_error = stream_error;
    out->release = release_stream;
    out->private_data = p.release();
}

}  // namespace tvx::arrow
