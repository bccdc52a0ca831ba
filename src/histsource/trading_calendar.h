// The exchange calendar a data source loaded at construction, as sorted day numbers, so that the
// minute path's trading-day arithmetic runs natively; the Timestamps of its positions are boxed
// once and reused (equal and hash-equal to the calendar's own items, so cache keys stay equal).
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "histsource.h"

namespace histsource {

class TradingCalendar {
public:
    explicit TradingCalendar(nb::handle index, std::vector<int64_t> ns)
        : index_(nb::borrow(index)), ns_(std::move(ns)) {
        stamps_.resize(ns_.size());
    }

    bool mirrors(nb::handle index) const { return index_.ptr() == index.ptr(); }
    Py_ssize_t size() const { return (Py_ssize_t)ns_.size(); }

    // Positions [first, last) of the trading days from the day `start_ns` to the day `end_ns`,
    // both at midnight and included: the calendar's searchsorted left and right.
    Py_ssize_t first_not_before(int64_t start_ns) const;
    Py_ssize_t first_after(int64_t end_ns) const;
    // Position of the day `ns` in the calendar, or -1.
    Py_ssize_t find(int64_t ns) const;

    // The calendar's item at position i, made once.
    nb::object at(Py_ssize_t i) const;

private:
    nb::object index_;
    std::vector<int64_t> ns_;
    mutable std::vector<nb::object> stamps_;
};

// Captures, once the class exists, the class's own minute methods (what the native calendar path
// calls directly); the outside objects it keys on are the outside names' pristine expressions.
void remember_own_methods(nb::handle module);

// The calendar `self.get_trading_dates(...)` reads, when that call would be the mixin's own over
// the exchange calendar held in `self.trading_calendars`; nullptr when anything differs (a
// replaced method or mapping, an unsorted or time-zone-aware calendar), and the caller makes the
// Python call instead. Shared: a query keeps its calendar even when outside code run meanwhile
// makes other calendars replace it among those kept.
std::shared_ptr<const TradingCalendar> native_calendar(nb::handle self);

// The nanoseconds of midnight of the day of a naive datetime or Timestamp (exact types only, the
// day within the Timestamp range), as `pd.Timestamp(x).normalize()` gives them; false otherwise.
bool day_of(nb::handle x, int64_t &ns);

// The function behind `getattr(self, name)` is the class's own native method `own` (so calling
// it directly is the call Python would make).
bool is_own_method(nb::handle self, PyObject *name, PyObject *own);

// The class's own _prepare_for and _get_minute_bars_of_day functions.
PyObject *own_prepare_for();
PyObject *own_minute_bars_of_day();

} // namespace histsource
