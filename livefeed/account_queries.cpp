// Login and account query results to framework events with Asset and Position objects.
#include "livefeed.h"

namespace livefeed {

void on_login(nb::handle /*self*/, nb::handle /*login_res*/) { not_built("on_login"); }

void on_query_asset(nb::handle /*self*/, nb::handle /*asset_res*/, nb::handle /*request_id*/, nb::handle /*code*/, nb::handle /*msg*/) { not_built("on_query_asset"); }

void on_query_position(nb::handle /*self*/, nb::handle /*query_position_res*/, nb::handle /*request_id*/, nb::handle /*code*/, nb::handle /*msg*/) { not_built("on_query_position"); }

} // namespace livefeed
