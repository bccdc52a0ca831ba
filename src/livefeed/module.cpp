// Module initialisation of the live trading bridge: outside names, module state, accessors, class.
#include "livefeed.h"

namespace livefeed {
corvane::ModuleGlobals globals;
}

NB_MODULE(livefeed, m) {
    livefeed::globals.bind(m);
    livefeed::bind_imports(m);
    livefeed::create_state(m);
    livefeed::create_queue_counters(m);
    livefeed::add_history_accessors(m);
    livefeed::add_strategy_class(m);
}
