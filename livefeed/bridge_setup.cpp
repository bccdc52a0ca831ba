// Construction and start-up of the bridge: channels, order way, bar subscription, day clock.
#include "livefeed.h"

namespace livefeed {

void strategy_init(nb::handle /*self*/, nb::handle /*config*/) { not_built("strategy_init"); }

void initialize(nb::handle /*self*/, nb::handle /*config*/) { not_built("initialize"); }

void on_initialize(nb::handle /*self*/) { not_built("on_initialize"); }

} // namespace livefeed
