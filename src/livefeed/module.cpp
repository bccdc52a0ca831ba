// Module initialisation of the live trading bridge: fast paths, outside names, module state,
// accessors, class.
#include "layout_check.h"
#include "livefeed.h"
#include "module_once.h"

namespace livefeed {
corvane::ModuleGlobals globals;

namespace {
corvane::ProcessOnce once;

// The caches and layout reads the bridge uses (docs/fast-paths.md); a failed layout check is
// logged through the framework's logger, so this runs once the outside names are bound. Sites
// that run before it (module set-up) learn nothing.
void enable_fast_paths(nb::module_ &m) {
    namespace fast = corvane::fast;
    nb::object logger = m.attr("system_log");
    fast::enable(m,
                 {fast::AttributeReads, fast::AttributeStores, fast::MethodCalls, fast::ClassAttributes,
                  fast::ClassMethods, fast::ModuleGlobalReads, fast::InstanceValues, fast::DictTemplates,
                  fast::QueueFullness, fast::MarketCodes, fast::RecordReads},
                 [&](fast::Path p) { return corvane::layout_check::passes(p, logger); });
    corvane::on_teardown(m, &corvane::release_dict_watch);
}
} // namespace
} // namespace livefeed

NB_MODULE(livefeed, m) {
    livefeed::once.check(m);
    livefeed::globals.bind(m);
    livefeed::outside_names.bind(m);
    livefeed::enable_fast_paths(m);
    livefeed::create_state(m);
    livefeed::create_queue_counters(m);
    livefeed::add_history_accessors(m);
    livefeed::add_strategy_class(m);
    livefeed::once.mark();
}
