// Reading the bar time of an index entry: from the index's `orig_time` level where it has one by
// that name (a pandas MultiIndex entry is a plain tuple), otherwise from the entry's own
// `orig_time` attribute (a client may hand a flat index of record-like entries).
#pragma once
#include "histsource.h"

namespace histsource {

// The position of the level named `orig_time` among the index's level names, or -1 (no such
// level, or no level names at all).
Py_ssize_t orig_time_level(nb::handle index);

// The `orig_time` of one entry: its part at `level` (the entry itself when it is no tuple, as in
// a one-level index of that name) when level >= 0, else its `orig_time` attribute. An empty
// object when the entry has no such attribute; other errors of the read propagate.
nb::object entry_orig_time(nb::handle entry, Py_ssize_t level);

// The same, failing with a ValueError that names the index's level names and the entry when the
// entry carries no `orig_time` either way.
nb::object required_orig_time(nb::handle index, nb::handle entry);

// The client's bar frame indexed and sorted by (market_code, orig_time), the order of the day-bar
// and single-day minute fetches: reset_index, set_index, sort_index, each returning a new frame
// (the in-place forms are deprecated by newer pandas, and under copy-on-write an in-place edit is
// no cheaper); the client's own frame is left as it was handed over.
nb::object index_by_code_and_time(nb::handle frame);

} // namespace histsource
