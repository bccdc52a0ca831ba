// Array forms of the frames warm queries read again and again (a cached day-bar frame, an
// instrument's suspension series), built on first use and kept while the frame lives (a day view is
// rebuilt when the frame's layout changes), so a warm query is array slicing and copying instead of
// frame work.
#pragma once
#include <cstdint>
#include <vector>

#include "histsource.h"

namespace histsource {

// A cached day-bar frame as the day path reads it: after `reset_index("market_code")` and the
// re-indexing to dates at midnight. The frame's own columns are read through its block arrays, so
// a value written into them in place is seen; `layout` holds the objects the view was read from
// (see walk_layout in frame_views.cpp), compared by identity on every use.
struct DayFrameView {
    nb::object dtypes; // dict: column name -> dtype
    nb::object arrays; // dict: column name -> one-dimensional array of the column's values
    std::vector<nb::object> layout;
    nb::object times;           // uint64 array: orig_time of every row
    std::vector<int64_t> dates; // the re-indexed dates, nanoseconds since the epoch
    bool dates_sorted = true;
    Py_ssize_t nrows = 0;
    Py_ssize_t ncols = 0;
};

// A boolean suspension series indexed by date-times at nanosecond resolution, sorted. Kept while
// the series' layout and flags are those it was built from (both compared on every use).
struct SuspensionView {
    std::vector<int64_t> index;  // every entry's date, nanoseconds
    std::vector<int64_t> active; // the dates of the entries that are false, in order
    nb::object values;           // the series' flag array
    std::vector<uint8_t> flags;  // its flags when the view was built, 0 or 1
    std::vector<nb::object> layout;
};

// The re-indexed day frame of the straightforward path: `reset_index("market_code")`, then the
// index as date-times at midnight (integer YYYYMMDDHHMMSS read with the matching format).
nb::object reindex_day_frame(nb::handle df);

// The view of `df`, built on first use and rebuilt when the frame's layout has changed since;
// nullptr when the frame has no array form (duplicate columns, no weak references, no block
// layout, index not convertible natively), and the caller goes the frame way.
const DayFrameView *day_frame_view(nb::handle df);

// The view of a suspension series, or nullptr when it is not a sorted boolean series over a
// time-zone-free date-time index.
const SuspensionView *suspension_view(nb::handle series);

// A DatetimeIndex of nanosecond dates.
nb::object datetime_index(const std::vector<int64_t> &ns);

} // namespace histsource
