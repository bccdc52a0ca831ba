// The index data service: index constituents and weights on one day, through the data gateway.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(index, m) { (void) m; }
