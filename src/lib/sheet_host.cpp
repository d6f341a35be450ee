#include "lib/sheet_host.h"

#include "lib/errors.h"
#include "lib/xml_host.h"

namespace tvx {

namespace {

// A host int as int64. An int too large for the engine means the native
// reader cannot reproduce the sheet: the host reads it in Python.
ReadError to_int64(PyObject* obj, std::int64_t& out) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return ReadError::unsupported("coordinate out of range");
        }
        return ReadError::source();
    }
    out = v;
    return ReadError::ok();
}

PyRef number_object(const CellValue& v) {
    switch (v.form) {
        case ValueForm::Int:
            return PyRef::steal(PyLong_FromLongLong(v.i));
        case ValueForm::Float:
            return PyRef::steal(PyFloat_FromDouble(v.f));
        default:
            return v.obj;
    }
}

constexpr std::string_view kValueError = "#VALUE!";

}  // namespace

template <class Base>
ReadError PyItemHostT<Base>::judge_rpr(const XmlReader& reader, std::string_view raw,
                                       bool& lossless) {
    auto it = cache_.find(raw);
    if (it != cache_.end()) {
        lossless = it->second;
        return ReadError::ok();
    }
    PyRef b = PyRef::steal(PyBytes_FromStringAndSize(raw.data(), Py_ssize_t(raw.size())));
    if (!b) return ReadError::source();
    PyRef ns = namespaces_in_scope(reader);
    if (!ns) return ReadError::source();
    PyRef res = PyRef::steal(
        PyObject_CallFunctionObjArgs(h_.validate_rpr.get(), b.get(), ns.get(), nullptr));
    int t = res ? PyObject_IsTrue(res.get()) : -1;
    if (t < 0) {
        // Raised again once the item has been read to its end.
        pending_ = PyRef::steal(PyErr_GetRaisedException());
        return ReadError::source();
    }
    lossless = t != 0;
    cache_.emplace(std::string(raw), lossless);
    return ReadError::ok();
}

template <class Base>
ReadError PyItemHostT<Base>::take_capture(const XmlReader& reader, std::string_view raw) {
    bytes = PyRef::steal(PyBytes_FromStringAndSize(raw.data(), Py_ssize_t(raw.size())));
    if (!bytes) return ReadError::source();
    namespaces = namespaces_in_scope(reader);
    return namespaces ? ReadError::ok() : ReadError::source();
}

template class PyItemHostT<TextItemHost>;
template class PyItemHostT<SheetHost>;

ReadError PySheetHost::coordinate(std::string_view text, std::int64_t& row, std::int64_t& column) {
    PyRef pair = call_with_text(h_.coordinate_to_tuple.get(), text);
    if (!pair) return ReadError::source();
    PyRef seq = PyRef::steal(PySequence_Tuple(pair.get()));
    if (!seq) return ReadError::source();
    if (PyTuple_GET_SIZE(seq.get()) != 2) {
        PyErr_SetString(PyExc_ValueError, "coordinate_to_tuple must return a pair");
        return ReadError::source();
    }
    TVX_TRY(to_int64(PyTuple_GET_ITEM(seq.get(), 0), row));
    return to_int64(PyTuple_GET_ITEM(seq.get(), 1), column);
}

ReadError PySheetHost::row_number(std::string_view text, std::int64_t& row) {
    PyRef result = call_with_text(h_.row_index.get(), text);
    if (!result) return ReadError::source();
    return to_int64(result.get(), row);
}

ReadError PySheetHost::style_id(std::string_view text, std::int64_t& id, bool& unusual) {
    unusual = false;
    if (text.empty()) {
        unusual_ = PyRef::steal(PyUnicode_FromStringAndSize("", 0));
        if (!unusual_) return ReadError::source();
        unusual = true;
        return ReadError::ok();
    }
    PyRef obj = call_with_text(h_.int_fn.get(), text);
    if (!obj) return ReadError::source();
    int overflow = 0;
    long long v = PyLong_Check(obj.get()) ? PyLong_AsLongLongAndOverflow(obj.get(), &overflow) : 0;
    if (v == -1 && PyErr_Occurred()) return ReadError::source();
    if (PyLong_Check(obj.get()) && !overflow) {
        id = v;
    } else {
        unusual_ = std::move(obj);
        unusual = true;
    }
    return ReadError::ok();
}

ReadError PySheetHost::take_capture(const XmlReader& reader, std::string_view raw) {
    TVX_TRY(PyItemHostT<SheetHost>::take_capture(reader, raw));
    PyObject* fn = o_.sheet.rich_text ? h_.rich_inline.get() : h_.text_content.get();
    PyObject* args[2] = {bytes.get(), namespaces.get()};
    inline_ = PyRef::steal(PyObject_Vectorcall(fn, args, 2, nullptr));
    return inline_ ? ReadError::ok() : ReadError::source();
}

ReadError PySheetHost::element(const XmlReader& reader, std::string_view raw) {
    PyRef b = PyRef::steal(PyBytes_FromStringAndSize(raw.data(), (Py_ssize_t)raw.size()));
    if (!b) return ReadError::source();
    PyRef ns = namespaces_in_scope(reader);
    if (!ns) return ReadError::source();
    PyRef entry = PyRef::steal(Py_BuildValue("(sOO)", "element", b.get(), ns.get()));
    if (!entry || PyList_Append(actions_, entry.get()) < 0) return ReadError::source();
    return ReadError::ok();
}

ReadError PySheetHost::row(const RowEvent& row) {
    if (!row.attributes) return ReadError::ok();
    PyRef attrs = PyRef::steal(PyDict_New());
    if (!attrs) return ReadError::source();
    for (const auto& [name, text] : *row.attributes) {
        PyRef key = str_of(name);
        if (!key) return ReadError::source();
        PyRef value = str_of(text);
        if (!value || PyDict_SetItem(attrs.get(), key.get(), value.get()) < 0) {
            return ReadError::source();
        }
    }
    PyRef key = PyRef::steal(PyUnicode_FromFormat("%lld", (long long)row.row));
    if (!key || PyDict_SetItem(row_dimensions_, key.get(), attrs.get()) < 0) {
        return ReadError::source();
    }
    return ReadError::ok();
}

ReadError PySheetHost::cell_values(const CellEvent& cell, CellValue& value, CellValue* cached) {
    if (cell.formula_used) {
        // The <v> value's host steps are taken even when it is not kept.
        const ParsedValue& v = cell.cached;
        if (cached) {
            TVX_TRY(this->value(cell, v, *cached));
        } else if (v.form == ValueForm::Host || v.date != DateStep::None) {
            CellValue dropped;
            TVX_TRY(this->value(cell, v, dropped));
        }
    }
    if (cell.formula.error) {
        raise_formula_error(cell.formula.error, h_.TokenizerError.get(), h_.TranslatorError.get());
        return ReadError::source();
    }
    return this->value(cell, cell.value, value);
}

ReadError PySheetHost::value(const CellEvent& cell, const ParsedValue& in, CellValue& out) {
    static_cast<ParsedValue&>(out) = in;
    out.obj.reset();
    out.data_type_obj.reset();
    if (in.data_type == DT_OTHER) {
        out.data_type_obj = str_of(in.type_text);
        if (!out.data_type_obj) return ReadError::source();
    }
    if (&in == &cell.value && cell.formula.form == FormulaForm::HostMaster) {
        PyRef text = str_of(cell.formula.text);
        PyRef origin = cell.formula.has_origin ? str_of(cell.formula.origin)
                                               : PyRef::borrow(Py_None);
        if (!text || !origin) return ReadError::source();
        PyObject* args[2] = {text.get(), origin.get()};
        PyRef t = PyRef::steal(PyObject_Vectorcall(h_.Translator.get(), args, 2, nullptr));
        if (!t) return ReadError::source();
        if (translators_.size() <= cell.formula.group) translators_.resize(cell.formula.group + 1);
        translators_[cell.formula.group] = std::move(t);
    }
    if (in.form == ValueForm::Host) {
        PyRef obj;
        switch (in.host) {
            case HostStep::Int:
            case HostStep::IsoDate:
                obj = call_with_text(in.host == HostStep::Int ? h_.int_fn.get()
                                                              : h_.from_ISO8601.get(),
                                     in.text);
                break;
            case HostStep::Float:
                obj = call_with_text(h_.float_fn.get(), in.text);
                if (obj && PyFloat_CheckExact(obj.get())) {
                    out.form = ValueForm::Float;
                    out.f = PyFloat_AS_DOUBLE(obj.get());
                    return dates(cell, out);
                }
                break;
            case HostStep::SharedString: {
                PyRef index = in.i_set ? PyRef::steal(PyLong_FromLongLong(in.i))
                                       : call_with_text(h_.int_fn.get(), in.text);
                if (!index) return ReadError::source();
                obj = PyRef::steal(PyObject_GetItem(o_.shared_strings.get(), index.get()));
                break;
            }
            case HostStep::Bool: {
                PyRef r = call_with_text(h_.int_fn.get(), in.text);
                if (!r) return ReadError::source();
                int t = PyObject_IsTrue(r.get());
                if (t < 0) return ReadError::source();
                out.form = ValueForm::Bool;
                out.i = t;
                return ReadError::ok();
            }
            case HostStep::InlineItem:
                obj = std::move(inline_);
                break;
            case HostStep::ArrayFormula:
            case HostStep::DataTable:
            case HostStep::SharedFormula:
                return formula_object(cell, out);
            case HostStep::None:
                return ReadError::ok();
        }
        if (!obj) return ReadError::source();
        out.form = ValueForm::Object;
        out.obj = std::move(obj);
    }
    return dates(cell, out);
}

ReadError PySheetHost::formula_object(const CellEvent& cell, CellValue& out) {
    const FormulaEvent& f = cell.formula;
    PyRef obj;
    if (f.form == FormulaForm::Array) {
        PyRef kwargs = PyRef::steal(PyDict_New());
        if (!kwargs) return ReadError::source();
        PyRef ref = f.has_ref ? str_of(f.ref) : PyRef::borrow(Py_None);
        PyRef text = str_of(f.text);
        if (!ref || !text || PyDict_SetItemString(kwargs.get(), "ref", ref.get()) < 0 ||
            PyDict_SetItemString(kwargs.get(), "text", text.get()) < 0) {
            return ReadError::source();
        }
        PyRef noargs = PyRef::steal(PyTuple_New(0));
        if (!noargs) return ReadError::source();
        obj = PyRef::steal(PyObject_Call(h_.ArrayFormula.get(), noargs.get(), kwargs.get()));
    } else if (f.form == FormulaForm::DataTable) {
        PyRef kwargs = PyRef::steal(PyDict_New());
        if (!kwargs) return ReadError::source();
        for (const auto& [name, text] : *f.attributes) {
            PyRef key = str_of(name);
            if (!key) return ReadError::source();
            PyRef value = str_of(text);
            if (!value || PyDict_SetItem(kwargs.get(), key.get(), value.get()) < 0) {
                return ReadError::source();
            }
        }
        PyRef noargs = PyRef::steal(PyTuple_New(0));
        if (!noargs) return ReadError::source();
        obj = PyRef::steal(PyObject_Call(h_.DataTableFormula.get(), noargs.get(), kwargs.get()));
    } else {
        if (f.group >= translators_.size() || !translators_[f.group]) {
            raise_internal("shared formula without its group");
            return ReadError::source();
        }
        PyRef dest = f.has_dest ? str_of(f.dest) : PyRef::borrow(Py_None);
        if (!dest) return ReadError::source();
        obj = call_method_one(translators_[f.group].get(), "translate_formula", dest.get());
    }
    if (!obj) return ReadError::source();
    out.form = ValueForm::Object;
    out.obj = std::move(obj);
    return ReadError::ok();
}

ReadError PySheetHost::dates(const CellEvent& cell, CellValue& out) {
    if (out.date == DateStep::Rules) date_rule(o_.sheet, cell.style_id, out);
    if (out.date == DateStep::Excel) {
        const bool timedelta = o_.sheet.is_timedelta_style(cell.style_id);
        PyRef number = number_object(out);
        if (!number) return ReadError::source();
        PyRef kwnames = PyRef::steal(Py_BuildValue("(s)", "timedelta"));
        if (!kwnames) return ReadError::source();
        PyObject* args[3] = {number.get(), o_.epoch_obj.get(), timedelta ? Py_True : Py_False};
        PyRef result = PyRef::steal(PyObject_Vectorcall(h_.from_excel.get(), args, 2, kwnames.get()));
        if (result) {
            out.form = ValueForm::Object;
            out.obj = std::move(result);
            out.data_type = DT_D;
            out.date = DateStep::None;
            return ReadError::ok();
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError)) {
            return ReadError::source();
        }
        PyErr_Clear();
        out.date = DateStep::Warning;
    }
    if (out.date == DateStep::Warning) return warning(cell, out);
    return ReadError::ok();
}

// The date warning: the host's message goes to actions (unless a formula
// replaces the value) and the cell becomes the error "#VALUE!".
ReadError PySheetHost::warning(const CellEvent& cell, CellValue& out) {
    PyRef number = number_object(out);
    if (!number) return ReadError::source();
    PyRef coord = cell.has_coordinate ? str_of(cell.coordinate) : PyRef::borrow(Py_None);
    if (!coord) return ReadError::source();
    PyObject* args[2] = {coord.get(), number.get()};
    PyRef message = PyRef::steal(PyObject_Vectorcall(h_.date_warning.get(), args, 2, nullptr));
    if (!message) return ReadError::source();
    if (!cell.formula_used) {
        PyRef entry = PyRef::steal(Py_BuildValue("(sO)", "warn", message.get()));
        if (!entry || PyList_Append(actions_, entry.get()) < 0) return ReadError::source();
    }
    out.obj.reset();
    out.form = ValueForm::Text;
    out.text = kValueError;
    out.data_type = DT_E;
    out.date = DateStep::None;
    return ReadError::ok();
}

int PySheetHost::traverse(visitproc visit, void* arg) const {
    Py_VISIT(unusual_.get());
    Py_VISIT(inline_.get());
    Py_VISIT(bytes.get());
    Py_VISIT(namespaces.get());
    for (const PyRef& t : translators_) Py_VISIT(t.get());
    return 0;
}

}  // namespace tvx
