// Shared pieces of the market-data callbacks; see record_intake.h.
#include "record_intake.h"

#include <cstring>

#include "attr_cache.h"
#include "livefeed.h"

namespace livefeed {

nb::object join_market_code(nb::handle security_id, nb::handle suffix) {
    PyObject *a = security_id.ptr(), *b = suffix.ptr();
    // Plain ASCII text on both sides (every real code): one allocation, no intermediate string.
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && PyUnicode_IS_COMPACT_ASCII(a) &&
        PyUnicode_IS_COMPACT_ASCII(b)) {
        const Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb_ = PyUnicode_GET_LENGTH(b);
        PyObject *s = PyUnicode_New(na + 1 + nb_, 127);
        if (!s)
            throw nb::python_error();
        Py_UCS1 *out = PyUnicode_1BYTE_DATA(s);
        std::memcpy(out, PyUnicode_1BYTE_DATA(a), (size_t) na);
        out[na] = '.';
        std::memcpy(out + na + 1, PyUnicode_1BYTE_DATA(b), (size_t) nb_);
        return nb::steal(s);
    }
    nb::object head = corvane::checked(PyNumber_Add(a, CORVANE_TEXT(".")));
    return corvane::checked(PyNumber_Add(head.ptr(), b));
}

nb::object market_code_of(nb::handle record, nb::handle exchange_of, nb::object &market_type) {
    nb::object security_id = CORVANE_ATTR(record, security_id);
    // `security_id + "."` runs before the market type is read: a code that is not text fails
    // first, without a market-type read or an exchange lookup. Exact text cannot fail here.
    nb::object head;
    if (!PyUnicode_CheckExact(security_id.ptr()))
        head = corvane::checked(PyNumber_Add(security_id.ptr(), CORVANE_TEXT(".")));
    market_type = CORVANE_ATTR(record, market_type);
    nb::object suffix = corvane::call(exchange_of, market_type);
    if (head.is_valid())
        return corvane::checked(PyNumber_Add(head.ptr(), suffix.ptr()));
    return join_market_code(security_id, suffix);
}

namespace {

// a / 1000 correctly rounded, as Python's int / int gives it; false when |a| / 1000 reaches
// 2**53 (the caller then divides generically). Up to 2**53 both operands are exact doubles and one IEEE division rounds correctly. Above,
// a = 1000 q + r with q < 2**53 exact; the result's unit in the last place is then at least
// 2**-9, and q + r/1000 lies either exactly on a rounding midpoint (r/1000 is then a short
// binary fraction, computed exactly) or at least 2**-10 / 1000 away from one, far more than the
// error of r / 1000.0, so the one rounding of the addition gives the correctly rounded quotient.
bool stamp_quotient(long long a, double &out) {
    const long long exact_limit = 1LL << 53;
    if (a >= -exact_limit && a <= exact_limit) {
        out = (double) a / 1000.0;
        return true;
    }
    const bool negative = a < 0;
    const unsigned long long m = negative ? 0ULL - (unsigned long long) a : (unsigned long long) a;
    if (m / 1000 >= (1ULL << 53))
        return false;
    const double v = (double) (m / 1000) + (double) (m % 1000) / 1000.0;
    out = negative ? -v : v;
    return true;
}

} // namespace

nb::object stamp_seconds(nb::handle stamp) {
    PyObject *s = stamp.ptr();
    if (PyLong_CheckExact(s)) {
        // The terminal's 17-digit stamps exceed 2**53, where the generic big-integer division
        // is slow; an int64 stamp is divided here with the same correctly rounded result.
        int overflow = 0;
        const long long a = PyLong_AsLongLongAndOverflow(s, &overflow);
        double q;
        if (!overflow && !(a == -1 && PyErr_Occurred()) && stamp_quotient(a, q))
            return corvane::checked(PyFloat_FromDouble(q));
        PyErr_Clear();
    }
    static PyObject *const thousand = PyLong_FromLong(1000);
    return corvane::checked(PyNumber_TrueDivide(s, thousand));
}

nb::object char_of(nb::handle code) {
    PyObject *c = code.ptr();
    if (PyLong_CheckExact(c)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(c, &overflow);
        if (!overflow && v >= 0 && v < 0x110000)
            return corvane::checked(PyUnicode_FromOrdinal((int) v));
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
    }
    // Anything else goes to the builtin itself, so refusals carry the host's exact errors.
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *chr = builtins ? PyDict_GetItemWithError(builtins, CORVANE_NAME(chr)) : nullptr;
    if (!chr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_NameError, "name 'chr' is not defined");
        throw nb::python_error();
    }
    return corvane::call(chr, code);
}

RecordLayout::RecordLayout(const char *const *keys, std::size_t count) : count_(count) {
    template_ = PyDict_New();
    if (!template_)
        throw nb::python_error();
    for (std::size_t i = 0; i < count; ++i) {
        keys_[i] = corvane::intern(keys[i]);
        if (PyDict_SetItem(template_, keys_[i], Py_None) != 0)
            throw nb::python_error();
    }
}

nb::object RecordLayout::make(PyObject *const *values) const {
    // Copying the template clones its key table; each store then replaces a value in place.
    nb::object d = corvane::checked(PyDict_Copy(template_));
    for (std::size_t i = 0; i < count_; ++i)
        if (PyDict_SetItem(d.ptr(), keys_[i], values[i]) != 0)
            throw nb::python_error();
    return d;
}

void append_to_history(nb::handle history, nb::handle market_code, nb::handle record,
                       nb::object (*new_deque)()) {
    PyObject *h = history.ptr();
    nb::object dq;
    if (PyDict_CheckExact(h)) {
        PyObject *found = PyDict_GetItemWithError(h, market_code.ptr());
        if (found)
            dq = nb::borrow(found);
        else if (PyErr_Occurred())
            throw nb::python_error();
    } else {
        // A host may put another mapping in place of the dict; keep the membership-test semantics.
        int present = PySequence_Contains(h, market_code.ptr());
        if (present < 0)
            throw nb::python_error();
        if (present)
            dq = corvane::checked(PyObject_GetItem(h, market_code.ptr()));
    }
    if (dq.is_valid()) {
        CORVANE_CALL_METHOD(dq, append, record);
        return;
    }
    dq = new_deque();
    corvane::call_method(dq, CORVANE_NAME(append), record);
    if (PyObject_SetItem(h, market_code.ptr(), dq.ptr()) != 0)
        throw nb::python_error();
}

} // namespace livefeed
