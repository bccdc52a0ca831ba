// Module initialisation of the historical data source: outside names, module functions, class.
#include "bar_array.h"
#include "histsource.h"
#include "trading_calendar.h"

namespace histsource {
corvane::ModuleGlobals globals;
// Remembers numpy.hstack as bound at import (bar_join.cpp).
void remember_numpy_join(nb::handle module);
}

NB_MODULE(histsource, m) {
    histsource::globals.bind(m);
    histsource::bind_imports(m);
    histsource::remember_import_bound(m);
    histsource::remember_numpy_join(m);
    histsource::add_module_functions(m);
    histsource::add_data_source_class(m);
    histsource::remember_calendar_methods(m);
}
