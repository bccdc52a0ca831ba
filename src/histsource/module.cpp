// Module initialisation of the historical data source: outside names, module functions, class.
#include "bar_array.h"
#include "fast_paths.h"
#include "histsource.h"
#include "module_once.h"
#include "trading_calendar.h"

namespace histsource {
corvane::ModuleGlobals globals;
namespace {
corvane::ProcessOnce once;
}
} // namespace histsource

NB_MODULE(histsource, m) {
    namespace fast = corvane::fast;
    histsource::once.check(m);
    // None of these reads an interpreter layout; each has its generic path (docs/fast-paths.md).
    fast::enable(m, {fast::FrameViews, fast::NativeDates, fast::OwnMethods, fast::ByteJoin},
                 [](fast::Path) { return true; });
    histsource::globals.bind(m);
    histsource::outside_names.bind(m);
    histsource::add_module_functions(m);
    histsource::add_data_source_class(m);
    histsource::remember_own_methods(m);
    histsource::once.mark();
}
