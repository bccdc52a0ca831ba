// The native trading calendar of a data source and the checks that it answers exactly what the
// calendar mixin would.
#include "trading_calendar.h"

#include "fast_paths.h"

#include "array_view.h"

#include <algorithm>
#include <cstring>
#include <datetime.h>
#include <memory>

namespace histsource {
namespace {

using corvane::checked;
using corvane::getattr;

constexpr int64_t kNanosPerDay = 86400LL * 1000000000LL;
constexpr Py_ssize_t kKept = 4; // calendars kept: one per live data source, normally one

// The class's own methods at import, kept for the process (the outside names' import-time
// objects are kept with the outside names).
struct Own {
    PyObject *prepare_for = nullptr;        // the class's _prepare_for function
    PyObject *minute_bars_of_day = nullptr; // the class's _get_minute_bars_of_day function
} g;

std::vector<std::shared_ptr<const TradingCalendar>> &kept() {
    static auto *k = new std::vector<std::shared_ptr<const TradingCalendar>>(); // never freed: no decref at exit
    return *k;
}

PyObject *instance_method_function(nb::handle cls, const char *name) {
    nb::object m = getattr(getattr(cls, CORVANE_NAME(__dict__)), CORVANE_NAME(get));
    nb::object f = corvane::call(m, nb::str(name));
    return PyInstanceMethod_Check(f.ptr()) ? nb::borrow(PyInstanceMethod_GET_FUNCTION(f.ptr())).release().ptr()
                                           : nullptr;
}

// The day numbers of a sorted, time-zone-free datetime64[ns] index without NaT; false otherwise.
bool sorted_days(nb::handle index, std::vector<int64_t> &out) {
    nb::object tz = corvane::getattr_or_absent(index, CORVANE_NAME(tz));
    if (!tz.is_valid() || !tz.is_none())
        return false;
    nb::object dtype = corvane::getattr_or_absent(index, CORVANE_NAME(dtype));
    nb::object text = dtype.is_valid() ? nb::steal(PyObject_Str(dtype.ptr())) : nb::object();
    if (!text.is_valid() || PyUnicode_CompareWithASCIIString(text.ptr(), "datetime64[ns]") != 0) {
        PyErr_Clear();
        return false;
    }
    nb::object values = corvane::getattr_or_absent(index, CORVANE_NAME(asi8));
    if (!values.is_valid())
        return false;
    corvane::ArrayView view;
    if (!view.try_open(values) || !view.contiguous() || view.element().kind != corvane::ElementKind::signed_int ||
        view.itemsize() != 8)
        return false;
    out.resize((size_t)view.length());
    if (!out.empty())
        std::memcpy(out.data(), view.at(0), out.size() * sizeof(int64_t));
    for (size_t i = 0; i < out.size(); ++i)
        if (out[i] == INT64_MIN || (i > 0 && out[i] < out[i - 1]))
            return false;
    return true;
}

std::shared_ptr<const TradingCalendar> calendar_of(nb::handle index) {
    auto &k = kept();
    for (auto &c : k)
        if (c->mirrors(index))
            return c;
    std::vector<int64_t> ns;
    if (!sorted_days(index, ns))
        return nullptr;
    if ((Py_ssize_t)k.size() >= kKept)
        k.erase(k.begin());
    k.push_back(std::make_shared<const TradingCalendar>(index, std::move(ns)));
    return k.back();
}

// The import-time object when it is a plain function (what the mixin's methods are), else nullptr.
PyObject *plain_function(PyObject *f) { return f && PyFunction_Check(f) ? f : nullptr; }

bool bound_to(nb::handle self, PyObject *name, PyObject *function) {
    if (!function)
        return false;
    PyObject *m = PyObject_GetAttr(self.ptr(), name);
    if (!m) {
        PyErr_Clear(); // the Python call reports it
        return false;
    }
    const bool same = PyMethod_Check(m) && PyMethod_GET_FUNCTION(m) == function && PyMethod_GET_SELF(m) == self.ptr();
    Py_DECREF(m);
    return same;
}

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t)doe - 719468;
}

} // namespace

Py_ssize_t TradingCalendar::first_not_before(int64_t start_ns) const {
    return std::lower_bound(ns_.begin(), ns_.end(), start_ns) - ns_.begin();
}

Py_ssize_t TradingCalendar::first_after(int64_t end_ns) const {
    return std::upper_bound(ns_.begin(), ns_.end(), end_ns) - ns_.begin();
}

Py_ssize_t TradingCalendar::find(int64_t ns) const {
    const Py_ssize_t i = first_not_before(ns);
    return i < size() && ns_[(size_t)i] == ns ? i : -1;
}

nb::object TradingCalendar::at(Py_ssize_t i) const {
    nb::object &s = stamps_[(size_t)i];
    if (!s.is_valid())
        s = checked(PySequence_GetItem(index_.ptr(), i));
    return s;
}

void remember_own_methods(nb::handle module) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw nb::python_error();
    nb::object cls = getattr(module, CORVANE_NAME(OstraDataDataSource));
    g.prepare_for = instance_method_function(cls, "_prepare_for");
    g.minute_bars_of_day = instance_method_function(cls, "_get_minute_bars_of_day");
    PyErr_Clear();
}

std::shared_ptr<const TradingCalendar> native_calendar(nb::handle self) {
    if (!corvane::fast::on(corvane::fast::OwnMethods))
        return nullptr;
    if (!bound_to(self, CORVANE_NAME(get_trading_dates),
                  plain_function(HS_IMPORT_TIME("TradingDatesMixin.get_trading_dates").object())) ||
        !bound_to(self, CORVANE_NAME(get_trading_calendar),
                  plain_function(HS_IMPORT_TIME("TradingDatesMixin.get_trading_calendar").object())))
        return nullptr;
    nb::object calendars = corvane::getattr_or_absent(self, CORVANE_NAME(trading_calendars));
    if (!calendars.is_valid() || !PyDict_CheckExact(calendars.ptr()))
        return nullptr;
    // The exchange entry found by identity: the lookup the mixin makes finds that same entry.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyObject *exchange = HS_IMPORT_TIME("TRADING_CALENDAR_TYPE.EXCHANGE").object();
    while (PyDict_Next(calendars.ptr(), &pos, &key, &value))
        if (key == exchange)
            return calendar_of(value);
    return nullptr;
}

bool day_of(nb::handle x, int64_t &ns) {
    if (!corvane::fast::on(corvane::fast::NativeDates))
        return false;
    PyObject *o = x.ptr();
    if (!PyDateTime_CheckExact(o) && (PyObject *)Py_TYPE(o) != HS_IMPORT_TIME("pd.Timestamp").object())
        return false;
    if (PyDateTime_DATE_GET_TZINFO(o) != Py_None)
        return false;
    const int y = PyDateTime_GET_YEAR(o);
    if (y < 1679 || y > 2261) // well inside the Timestamp range; the Python call reports the rest
        return false;
    ns = days_from_civil(y, (unsigned)PyDateTime_GET_MONTH(o), (unsigned)PyDateTime_GET_DAY(o)) * kNanosPerDay;
    return true;
}

bool is_own_method(nb::handle self, PyObject *name, PyObject *own) {
    return corvane::fast::on(corvane::fast::OwnMethods) && bound_to(self, name, own);
}

PyObject *own_prepare_for() { return g.prepare_for; }
PyObject *own_minute_bars_of_day() { return g.minute_bars_of_day; }

} // namespace histsource
