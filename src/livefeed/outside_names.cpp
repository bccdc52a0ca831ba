// The outside names of the live bridge: what it binds at import, in this order, and which
// callbacks read each one (the fault-injection tests hold that column true).
#include "livefeed.h"

namespace livefeed {
namespace {

// clang-format off
const corvane::OutsideName rows[] = {
    // name, from, attribute, pristine, used by
    {"Environment", "corvane.tessara.environment", "Environment", "",
     "on_bar on_order on_order_action_error on_snapshot"},
    {"EVENT", "corvane.tessara.core.events", "EVENT", "",
     "on_algo_child_order_trade on_algo_child_order_update on_algo_login on_algo_parent_order_update "
     "on_bar on_cancel_algo_parent_order_res on_control_algo_parent_order_res "
     "on_create_algo_parent_order_res on_login on_order on_order_action_error on_query_asset "
     "on_query_position on_snapshot on_tick_order on_tick_trade send_after_trading_event "
     "send_before_trading_event send_next_day_event send_open_auction_event"},
    {"Event", "corvane.tessara.core.events", "Event", "",
     "on_algo_child_order_trade on_algo_child_order_update on_algo_login on_algo_parent_order_update "
     "on_bar on_cancel_algo_parent_order_res on_control_algo_parent_order_res "
     "on_create_algo_parent_order_res on_login on_order on_order_action_error on_query_asset "
     "on_query_position on_snapshot on_tick_order on_tick_trade send_after_trading_event "
     "send_before_trading_event send_day_event send_next_day_event send_open_auction_event"},
    {"TickObject", "corvane.tessara.model.tick", "TickObject", "", "on_snapshot"},
    {"Trade", "corvane.tessara.model.trade", "Trade", "", "on_order"},
    {"L2Order", "corvane.tessara.model.l2_order", "L2Order", "", "on_tick_order"},
    {"L2Transaction", "corvane.tessara.model.l2_transaction", "L2Transaction", "", "on_tick_trade"},
    {"convert_int_to_whole_date", "corvane.tessara.utils.datetime_func", "convert_int_to_whole_date", "", "on_bar"},
    {"convert_int_to_datetime", "corvane.tessara.utils.datetime_func", "convert_int_to_datetime", "",
     "on_bar on_snapshot on_tick_order on_tick_trade"},
    {"get_exchane_from_vorn_mdtype", "corvane.tessara.utils.trade_func", "get_exchane_from_vorn_mdtype", "",
     "on_bar on_snapshot on_tick_order on_tick_trade"},
    {"get_vorn_tdtype", "corvane.tessara.utils.trade_func", "get_vorn_tdtype", "", "initialize"},
    {"get_side_from_vorn_l2_order", "corvane.tessara.utils.trade_func", "get_side_from_vorn_l2_order", "",
     "on_tick_order"},
    {"get_order_type_from_vorn_l2_order", "corvane.tessara.utils.trade_func", "get_order_type_from_vorn_l2_order", "",
     "on_tick_order"},
    {"get_trade_type_from_vorn", "corvane.tessara.utils.trade_func", "get_trade_type_from_vorn", "", "on_tick_trade"},
    {"get_l2order_type_from_vorn", "corvane.tessara.utils.trade_func", "get_l2order_type_from_vorn", "",
     "on_tick_order"},
    {"system_log", "corvane.tessara.utils.logger", "system_log", "",
     "initialize on_login on_order on_query_asset on_query_position set_timer"},
    {"AlgoParentOrder", "corvane.tessara.model.algo_parent_order", "AlgoParentOrder", "",
     "on_algo_parent_order_update"},
    {"AlgoChildOrder", "corvane.tessara.model.algo_child_order", "AlgoChildOrder", "", "on_algo_child_order_update"},
    {"AlgoChildTrade", "corvane.tessara.model.algo_child_trade", "AlgoChildTrade", "", "on_algo_child_order_trade"},
    {"ORDER_STATUS", "corvane.tessara.const", "ORDER_STATUS", "", "on_order"},
    {"POSITION_DIRECTION", "corvane.tessara.const", "POSITION_DIRECTION", "", "on_query_position"},
    {"SIDE", "corvane.tessara.const", "SIDE", "", "on_tick_trade"},
    {"Asset", "corvane.tessara.portfolio.account", "Asset", "", "on_query_asset"},
    {"Position", "corvane.tessara.portfolio.position", "Position", "", "on_query_position"},
    {"RB", "numpy_ringbuffer", "RingBuffer", "", ""},
    {"np", "numpy", nullptr, "", "initialize set_timer"},
    {"deque", "collections", "deque", "", "on_bar on_snapshot"},
    {"copy", "copy", nullptr, "",
     "on_algo_child_order_trade on_algo_child_order_update on_algo_parent_order_update on_order "
     "on_order_action_error"},
    {"datetime", "datetime", "datetime", "",
     "initialize send_after_trading_event send_before_trading_event send_next_day_event "
     "send_open_auction_event set_timer"},
    {"time", "datetime", "time", "", ""},
    {"timedelta", "datetime", "timedelta", "", "initialize send_next_day_event set_timer"},
    {"strategy", "pyvorn.strategy", nullptr, "", ""},
    // from pyvorn.enums import *: the names the bridge reads among those it binds
    {"MDType", "pyvorn.enums", "*", "", "initialize"},
    {"MarketType", "pyvorn.enums", "*", "", "initialize"},
    {"SubscribeDataType", "pyvorn.enums", "*", "", "initialize"},
    {"AlgoType", "pyvorn.enums", "*", "", "initialize"},
    {"AlgoControlType", "pyvorn.enums", "*", "", ""},
    {"OrderStatusType", "pyvorn.enums", "*", "", "on_order"},
};
// clang-format on

} // namespace

corvane::OutsideNames outside_names(rows);

} // namespace livefeed
