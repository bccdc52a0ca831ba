// The VornStrategy class object built at import, kept so its constructor can reach the next class
// in an instance's MRO exactly as super() does.
#pragma once
#include <nanobind/nanobind.h>

namespace livefeed {
namespace nb = nanobind;

void remember_bridge_class(nb::handle cls);
nb::handle bridge_class();

} // namespace livefeed
