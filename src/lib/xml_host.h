// What the XML tokenizer takes from and gives to Python: a byte source
// over a Python file object, and the namespace lists handed to the host.
#pragma once

#include "lib/errors.h"
#include "xml/reader.h"

namespace tvx {

// A Python object with read(size) returning bytes; called as read(65536).
// A Source error means its exception is set.
class PySource final : public ByteSource {
public:
    explicit PySource(PyObject* source) noexcept : obj_(PyRef::borrow(source)) {}
    ReadError read(std::string& buf) override;
    // Visits the source object, for the collector of an object keeping it.
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(obj_.get());
        return 0;
    }

private:
    PyRef obj_, name_, size_;
};

// [(prefix, uri)] of the bindings in scope of `reader` (see
// XmlReader::bindings_in_scope). Null with an exception set on failure.
// The list is built once per change of the bindings and shared by every
// caller until the next change: callers must not change it.
PyRef namespaces_in_scope(const XmlReader& reader);

}  // namespace tvx
