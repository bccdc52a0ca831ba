// The lazy sequence get_instruments returns: nothing is read from the data source until the first
// item is asked for.
#pragma once
#include <nanobind/nanobind.h>

namespace histsource {
namespace nb = nanobind;

// Creates the iterator type; called once at import.
void init_instrument_iterator_type(nb::handle module);

// A new lazy iterator over the instruments of `self` selected by ids or types.
nb::object make_instrument_iterator(nb::handle self, nb::handle id_or_syms, nb::handle types);

} // namespace histsource
