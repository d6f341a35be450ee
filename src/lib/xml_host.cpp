#include "lib/xml_host.h"

#include <string_view>
#include <utility>
#include <vector>

namespace tvx {

namespace {

// The namespaces list of the scope numbered `version`, kept by the reader.
struct NamespaceList final : XmlReader::ScopeCache {
    std::uint64_t version = 0;
    PyRef list;
};

}  // namespace

ReadError PySource::read(std::string& buf) {
    if (!name_) {
        name_ = PyRef::steal(PyUnicode_InternFromString("read"));
        if (!name_) return ReadError::source();
        size_ = PyRef::steal(PyLong_FromSize_t(READ_CHUNK));
        if (!size_) return ReadError::source();
    }
    PyRef r = PyRef::steal(PyObject_CallMethodOneArg(obj_.get(), name_.get(), size_.get()));
    if (!r) return ReadError::source();
    if (PyBytes_Check(r.get())) {
        buf.append(PyBytes_AS_STRING(r.get()), std::size_t(PyBytes_GET_SIZE(r.get())));
        return ReadError::ok();
    }
    // Any other bytes-like object (bytearray, memoryview, array, ...) is
    // taken as its bytes in order, whatever its shape or item format.
    if (!PyObject_CheckBuffer(r.get())) {
        PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.200s'",
                     Py_TYPE(r.get())->tp_name);
        return ReadError::source();
    }
    Py_buffer view;
    if (PyObject_GetBuffer(r.get(), &view, PyBUF_FULL_RO) < 0) return ReadError::source();
    const std::size_t old = buf.size(), n = std::size_t(view.len);
    int rc = 0;
    try {
        buf.resize(old + n);
        rc = PyBuffer_ToContiguous(buf.data() + old, &view, view.len, 'C');
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    if (rc < 0) {
        buf.resize(old);
        return ReadError::source();
    }
    return ReadError::ok();
}

PyRef namespaces_in_scope(const XmlReader& reader) {
    auto& slot = reader.scope_cache();
    auto* cached = static_cast<NamespaceList*>(slot.get());
    const std::uint64_t version = reader.scope_version();
    if (cached && cached->list && cached->version == version) return cached->list;
    std::vector<std::pair<std::string_view, std::string_view>> bindings;
    reader.bindings_in_scope(bindings);
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(bindings.size())));
    if (!list) return {};
    for (std::size_t k = 0; k < bindings.size(); ++k) {
        const auto& [prefix, uri] = bindings[k];
        PyRef t = PyRef::steal(Py_BuildValue("(s#s#)", prefix.data(), Py_ssize_t(prefix.size()),
                                             uri.data(), Py_ssize_t(uri.size())));
        if (!t) return {};
        PyList_SET_ITEM(list.get(), Py_ssize_t(k), t.release());
    }
    if (!cached) {
        slot = std::make_unique<NamespaceList>();
        cached = static_cast<NamespaceList*>(slot.get());
    }
    cached->list = list;
    cached->version = version;
    return list;
}

}  // namespace tvx
