// Shared pieces of the market-data callbacks; see record_intake.h.
#include "record_intake.h"

#include <cstring>

#include "attr_cache.h"
#include "dict_layout.h"
#include "fast_paths.h"
#include "livefeed.h"
#include "python_ops.h"
#include "stamp_division.h"

namespace livefeed {

namespace {

// Market codes made before, one string object per text: a code met again is handed back as the
// same object, whose hash is already known, so the history lookup that follows matches it by
// identity. Direct-mapped on a hash of the text; a slot holds the last code that fell into it.
// Only exact ASCII strings go in, so what is handed back is equal to what would be built (text
// is immutable), whatever functions made its parts; nothing here can run Python code.
class MarketCodeCache {
public:
    static constexpr std::size_t kSlots = 1024;

    // The code whose text is a + "." + b, or null.
    PyObject *find(const Py_UCS1 *a, Py_ssize_t na, const Py_UCS1 *b, Py_ssize_t nb_, std::size_t &slot) const {
        slot = hash(a, na, b, nb_) & (kSlots - 1);
        PyObject *s = codes_[slot];
        if (!s || PyUnicode_GET_LENGTH(s) != na + 1 + nb_)
            return nullptr;
        const Py_UCS1 *t = PyUnicode_1BYTE_DATA(s);
        if (std::memcmp(t, a, (size_t)na) != 0 || t[na] != '.' || std::memcmp(t + na + 1, b, (size_t)nb_) != 0)
            return nullptr;
        return s;
    }

    // Keeps `s` in its slot. The code it replaces is text: releasing it runs no Python code.
    void keep(std::size_t slot, PyObject *s) {
        PyObject *old = codes_[slot];
        codes_[slot] = Py_NewRef(s);
        Py_XDECREF(old);
    }

private:
    static std::size_t hash(const Py_UCS1 *a, Py_ssize_t na, const Py_UCS1 *b, Py_ssize_t nb_) {
        std::size_t h = 2166136261u;
        for (Py_ssize_t i = 0; i < na; ++i)
            h = (h ^ a[i]) * 16777619u;
        for (Py_ssize_t i = 0; i < nb_; ++i)
            h = (h ^ b[i]) * 16777619u;
        return h ^ (h >> 15);
    }

    PyObject *codes_[kSlots] = {};
};

MarketCodeCache market_codes;

} // namespace

nb::object join_market_code(nb::handle security_id, nb::handle suffix) {
    PyObject *a = security_id.ptr(), *b = suffix.ptr();
    // Plain ASCII text on both sides (every real code): one allocation, no intermediate string.
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && PyUnicode_IS_COMPACT_ASCII(a) &&
        PyUnicode_IS_COMPACT_ASCII(b)) {
        const Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb_ = PyUnicode_GET_LENGTH(b);
        const Py_UCS1 *da = PyUnicode_1BYTE_DATA(a), *db = PyUnicode_1BYTE_DATA(b);
        const bool cached = corvane::fast::on(corvane::fast::MarketCodes);
        std::size_t slot = 0;
        if (cached)
            if (PyObject *known = market_codes.find(da, na, db, nb_, slot))
                return nb::borrow(known);
        PyObject *s = PyUnicode_New(na + 1 + nb_, 127);
        if (!s)
            throw nb::python_error();
        Py_UCS1 *out = PyUnicode_1BYTE_DATA(s);
        std::memcpy(out, da, (size_t)na);
        out[na] = '.';
        std::memcpy(out + na + 1, db, (size_t)nb_);
        if (cached)
            market_codes.keep(slot, s);
        return nb::steal(s);
    }
    nb::object head = corvane::checked(PyNumber_Add(a, CORVANE_TEXT(".")));
    return corvane::checked(PyNumber_Add(head.ptr(), b));
}

nb::object market_code_of(nb::handle record, nb::handle exchange_of, nb::object *market_type) {
    nb::object security_id = CORVANE_ATTR(record, security_id);
    // `security_id + "."` runs before the market type is read: a code that is not text fails
    // first, without a market-type read or an exchange lookup. Exact text cannot fail here.
    nb::object head;
    if (!PyUnicode_CheckExact(security_id.ptr()))
        head = corvane::checked(PyNumber_Add(security_id.ptr(), CORVANE_TEXT(".")));
    nb::object type = CORVANE_ATTR(record, market_type);
    nb::object suffix = corvane::call(exchange_of, type);
    if (market_type)
        *market_type = type;
    if (head.is_valid())
        return corvane::checked(PyNumber_Add(head.ptr(), suffix.ptr()));
    return join_market_code(security_id, suffix);
}

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
            return corvane::checked(PyUnicode_FromOrdinal((int)v));
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
    }
    // Anything else goes to the builtin itself, so refusals carry the host's exact errors.
    return corvane::call(corvane::builtin(CORVANE_NAME(chr), PyExc_NameError, "name 'chr' is not defined"), code);
}

RecordLayout::RecordLayout(const char *const *built, std::size_t built_count, const corvane::Field *fields,
                           std::size_t field_count)
    : count_(built_count + field_count) {
    template_ = PyDict_New();
    if (!template_)
        throw nb::python_error();
    for (std::size_t i = 0; i < count_; ++i) {
        keys_[i] = corvane::intern(i < built_count ? built[i] : fields[i - built_count].key);
        if (PyDict_SetItem(template_, keys_[i], Py_None) != 0)
            throw nb::python_error();
    }
}

nb::object RecordLayout::make(PyObject *const *values) const {
    // Copying the template clones its key table. Where the copy's entries are laid out as the
    // template's keys, in order, the values are written in place (as the interpreter builds a
    // dict display); otherwise each store replaces a value through the dict's own insert.
    nb::object d = corvane::checked(PyDict_Copy(template_));
    if (corvane::layout::UnicodeEntry *e = corvane::layout::combined_entries(d.ptr(), (Py_ssize_t)count_)) {
        std::size_t i = 0;
        while (i < count_ && e[i].key == keys_[i])
            ++i;
        if (i == count_) {
            for (i = 0; i < count_; ++i) {
                PyObject *old = e[i].value;
                e[i].value = Py_NewRef(values[i]);
                Py_DECREF(old);
            }
            // The template holds only None, so its copy is not tracked; the values may be
            // containers, which the cycle collector must see.
            if (!PyObject_GC_IsTracked(d.ptr()))
                PyObject_GC_Track(d.ptr());
            return d;
        }
    }
    for (std::size_t i = 0; i < count_; ++i)
        if (PyDict_SetItem(d.ptr(), keys_[i], values[i]) != 0)
            throw nb::python_error();
    return d;
}

void append_to_history(nb::handle history, nb::handle market_code, nb::handle record, nb::object (*new_deque)()) {
    nb::object dq = corvane::lookup(history, market_code);
    if (dq.is_valid()) {
        CORVANE_CALL_METHOD(dq, append, record);
        return;
    }
    dq = new_deque();
    corvane::call_method(dq, CORVANE_NAME(append), record);
    if (PyObject_SetItem(history.ptr(), market_code.ptr(), dq.ptr()) != 0)
        throw nb::python_error();
}

} // namespace livefeed
