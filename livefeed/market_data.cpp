// Snapshot and bar intake: terminal records to tick and bar records, histories and events.
#include "livefeed.h"

namespace livefeed {

void on_snapshot(nb::handle /*self*/, nb::handle /*snapshot*/) { not_built("on_snapshot"); }

void on_bar(nb::handle /*self*/, nb::handle /*bar*/) { not_built("on_bar"); }

} // namespace livefeed
