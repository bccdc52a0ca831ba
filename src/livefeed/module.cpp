// Module initialisation of the live trading bridge: fast paths, outside names, module state,
// accessors, class.
#include "layout_check.h"
#include "livefeed.h"
#include "module_once.h"

#include <string>

namespace livefeed {
corvane::ModuleGlobals globals;

namespace {
corvane::ProcessOnce once;

// The caches and layout reads the bridge uses (docs/fast-paths.md).
void enable_fast_paths(nb::module_ &m) {
    namespace fast = corvane::fast;
    nb::object name = m.attr("__name__");
    const std::string module_name = nb::borrow<nb::str>(name).c_str();
    fast::enable(m,
                 {fast::AttributeReads, fast::AttributeStores, fast::MethodCalls, fast::ClassAttributes,
                  fast::ClassMethods, fast::ModuleGlobalReads, fast::InstanceValues, fast::DictTemplates,
                  fast::QueueFullness},
                 [&](fast::Path p) { return corvane::layout_check::passes(p, module_name.c_str()); });
    corvane::on_teardown(m, &corvane::release_dict_watch);
}
} // namespace
} // namespace livefeed

NB_MODULE(livefeed, m) {
    livefeed::once.check(m);
    livefeed::enable_fast_paths(m);
    livefeed::globals.bind(m);
    livefeed::bind_imports(m);
    livefeed::create_state(m);
    livefeed::create_queue_counters(m);
    livefeed::add_history_accessors(m);
    livefeed::add_strategy_class(m);
    livefeed::once.mark();
}
