#include "lib/values.h"

#include <datetime.h>


namespace tvx {

bool object_date_parts(const DateTimeApi* opaque, PyObject* v, DateParts& out) noexcept {
    const PyDateTime_CAPI* api = reinterpret_cast<const PyDateTime_CAPI*>(opaque);
    out = DateParts{};
    PyTypeObject* type = Py_TYPE(v);
    if (type == api->TimeType) {
        out.is_time = true;
        out.hour = (unsigned)PyDateTime_TIME_GET_HOUR(v);
        out.minute = (unsigned)PyDateTime_TIME_GET_MINUTE(v);
        out.second = (unsigned)PyDateTime_TIME_GET_SECOND(v);
        out.microsecond = (unsigned)PyDateTime_TIME_GET_MICROSECOND(v);
        return true;
    }
    if (type == api->DateTimeType) {
        if (PyDateTime_DATE_GET_TZINFO(v) != Py_None) return false;
        out.hour = (unsigned)PyDateTime_DATE_GET_HOUR(v);
        out.minute = (unsigned)PyDateTime_DATE_GET_MINUTE(v);
        out.second = (unsigned)PyDateTime_DATE_GET_SECOND(v);
        out.microsecond = (unsigned)PyDateTime_DATE_GET_MICROSECOND(v);
    } else if (type != api->DateType) {
        return false;
    }
    out.year = PyDateTime_GET_YEAR(v);
    out.month = (unsigned)PyDateTime_GET_MONTH(v);
    out.day = (unsigned)PyDateTime_GET_DAY(v);
    return true;
}

const DateTimeApi* datetime_capi() noexcept {
    return reinterpret_cast<const DateTimeApi*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
}

PyRef date_object(const DateTimeApi* opaque, const DateParts& p) {
    const PyDateTime_CAPI* api = reinterpret_cast<const PyDateTime_CAPI*>(opaque);
    if (p.is_time) {
        return PyRef::steal(api->Time_FromTime((int)p.hour, (int)p.minute, (int)p.second,
                                               (int)p.microsecond, Py_None, api->TimeType));
    }
    return PyRef::steal(api->DateTime_FromDateAndTime(
        (int)p.year, (int)p.month, (int)p.day, (int)p.hour, (int)p.minute, (int)p.second,
        (int)p.microsecond, Py_None, api->DateTimeType));
}

}  // namespace tvx
