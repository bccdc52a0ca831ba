// The index data service: index constituents and weights on one day, through the data gateway.
#include "fast_paths.h"
#include "index_service.h"
#include "module_once.h"

namespace index_service {
corvane::ModuleGlobals globals;
namespace {
corvane::ProcessOnce once;
}
} // namespace index_service

NB_MODULE(index, m) {
    index_service::once.check(m);
    // The index service has no fast path; the attribute and the switch are those of every module.
    corvane::fast::enable(m, {}, [](corvane::fast::Path) { return false; });
    index_service::globals.bind(m);
    index_service::outside_names.bind(m);
    index_service::add_api_functions(m);
    index_service::once.mark();
}
