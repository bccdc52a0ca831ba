"""A plain-Python module of the same design as the live bridge's hot paths, for same-run
comparisons: the same reads of the terminal records, in the same order, the same outside calls
and the same hand-off to event_queue (with the same overwrite check), written as one would write
it in Python. Its outside names are module globals, bound from the bridge's own namespace by
`bind`, so both sides call the very same stand-ins."""
import copy  # noqa: F401  (rebound by bind, like every outside name)

# Bound by bind(): the bridge's outside names and state containers.
OUTSIDE_NAMES = (
    "convert_int_to_datetime", "convert_int_to_whole_date", "get_exchane_from_vorn_mdtype",
    "get_side_from_vorn_l2_order", "get_order_type_from_vorn_l2_order", "get_l2order_type_from_vorn",
    "get_trade_type_from_vorn", "Environment", "TickObject", "L2Order", "L2Transaction", "Event", "EVENT",
    "SIDE", "ORDER_STATUS", "OrderStatusType", "POSITION_DIRECTION", "Position", "Trade", "copy",
    "system_log", "deque", "AlgoParentOrder", "AlgoChildOrder", "AlgoChildTrade", "orders_dict",
    "algo_parent_id", "algo_parent_orders", "algo_child_orders", "algo_child_trades",
)

history_tick = {}
history_bar = {}
event_queue = None
overwritten_events = 0


def bind(module):
    """Takes every outside name (and the order and algorithmic maps) from `module`."""
    g = globals()
    for name in OUTSIDE_NAMES:
        g[name] = getattr(module, name)


def _append(event):
    global overwritten_events
    q = event_queue
    full = len(q) >= q.maxlen
    q.append(event)
    if full:
        overwritten_events += 1
        system_log.warning("event_queue is full: " + str(overwritten_events) + " overwritten")


class ReferenceStrategy:
    def __init__(self):
        self.bar_cnt = 0
        self.current_trade_dt = 0

    def on_snapshot(self, snapshot):
        dt = convert_int_to_datetime(snapshot.orig_time / 1000)
        market_code = snapshot.security_id + "." + get_exchane_from_vorn_mdtype(snapshot.market_type)
        tick = {
            "market_code": market_code,
            "datetime": dt,
            "open_price": snapshot.open_price,
            "close_price": snapshot.close_price,
            "high_price": snapshot.high_price,
            "low_price": snapshot.low_price,
            "total_turnover": snapshot.total_value_trade,
            "volume": snapshot.total_volume_trade,
            "prev_close": snapshot.pre_close_price,
            "ask_vols": snapshot.ask_volume,
            "asks": snapshot.ask_price,
            "bid_vols": snapshot.bid_volume,
            "bids": snapshot.bid_price,
            "high_limited": snapshot.high_limited,
            "last_price": snapshot.last_price,
            "low_limited": snapshot.low_limited,
            "open_interest": snapshot.open_interest,
            "prev_settlement": snapshot.prev_settlement,
            "iopv": snapshot.iopv,
            "trading_phase_code": snapshot.trading_phase_code,
        }
        if market_code not in history_tick:
            history_tick[market_code] = deque(maxlen=60)
        history_tick[market_code].append(tick)
        instrument = Environment.get_instance().data_proxy.instruments(market_code)
        _append(Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt, tick=TickObject(instrument, tick)))

    def on_bar(self, bar):
        market_code = bar.security_id + "." + get_exchane_from_vorn_mdtype(bar.market_type)
        t = bar.end_time / 1000
        record = {
            "market_code": market_code,
            "orig_time": convert_int_to_datetime(t),
            "open_price": bar.open,
            "close_price": bar.close,
            "high_price": bar.high,
            "low_price": bar.low,
            "total_turnover": bar.amount,
            "volume": bar.volume,
            "prev_close": bar.prev_close,
        }
        if market_code not in history_bar:
            history_bar[market_code] = deque()
        history_bar[market_code].append(record)
        if self.current_trade_dt == 0 or self.current_trade_dt == t:
            self.bar_cnt = self.bar_cnt + 1
        else:
            self.bar_cnt = 1
        self.current_trade_dt = t
        if self.bar_cnt == len(Environment.get_instance().get_universe()):
            calendar_dt = convert_int_to_whole_date(int(self.current_trade_dt))
            _append(Event(EVENT.BAR, calendar_dt=calendar_dt, trading_dt=calendar_dt))
            self.bar_cnt = 0

    def on_tick_order(self, tick_order):
        dt = convert_int_to_datetime(tick_order.order_time / 1000)
        market_type = tick_order.market_type
        market_code = tick_order.security_id + "." + get_exchane_from_vorn_mdtype(market_type)
        side = get_side_from_vorn_l2_order(chr(tick_order.side), market_type)
        order_type = chr(tick_order.order_type)
        l2_order = L2Order.__from_create__(
            tick_order.biz_index, market_code, dt, side, tick_order.order_price, tick_order.order_volume,
            get_order_type_from_vorn_l2_order(order_type, market_type), tick_order.orig_order_no,
            get_l2order_type_from_vorn(order_type, market_type))
        _append(Event(EVENT.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=l2_order))

    def on_tick_trade(self, tick_trade):
        dt = convert_int_to_datetime(tick_trade.trade_time / 1000)
        market_code = tick_trade.security_id + "." + get_exchane_from_vorn_mdtype(tick_trade.market_type)
        bid_no, offer_no = tick_trade.bid_appl_seq_num, tick_trade.offer_appl_seq_num
        side = SIDE.BUY if bid_no > offer_no else SIDE.SELL
        l2_trade = L2Transaction.__from_create__(
            tick_trade.biz_index, market_code, dt, side, tick_trade.trade_price, tick_trade.trade_volume,
            tick_trade.value_trade, get_trade_type_from_vorn(chr(tick_trade.trade_type)), bid_no, offer_no)
        _append(Event(EVENT.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt, l2_transaction=l2_trade))

    def on_order(self, order):
        client_order_id = order.client_order_id
        security_id, order_price, status = order.security_id, order.order_price, order.order_status
        order_qty, trade_qty, total_trade_value = order.order_qty, order.trade_qty, order.total_trade_value
        error_msg, last_match_qty = order.error_msg, order.last_match_qty
        system_log.info("on_order:" + str(client_order_id) + ", symbol: " + str(security_id) + ", price:"
                        + str(order_price) + ", status:" + str(status) + ", order_qty:" + str(order_qty)
                        + ", trade_qty:" + str(trade_qty) + ", total_trade_value: " + str(total_trade_value)
                        + ", error_msg:" + str(error_msg) + ", last_match_qty: " + str(last_match_qty))
        fw_order = orders_dict.get(client_order_id)
        if fw_order is None:
            return
        account = Environment.get_instance().get_account(fw_order.market_code)
        if status == OrderStatusType.UnSend or status == OrderStatusType.Sended:
            counter_id = order.counter_order_id
            fw_order.secondary_order_id = counter_id
            fw_order.set_frozen_cash(order.frozen_trade_value)
            if counter_id and counter_id > 0:
                active = ORDER_STATUS.ACTIVE
                if fw_order.status != active:
                    fw_order.status = active
                    _append(Event(EVENT.ORDER_CREATION_PASS, account=account, order=copy.deepcopy(fw_order)))
        elif status == OrderStatusType.PartiallyFilled:
            self._fill(order, fw_order, account, last_match_qty, trade_qty, total_trade_value, order_qty,
                       ORDER_STATUS.PARTIALLY_FILLED)
        elif status == OrderStatusType.Filled:
            self._fill(order, fw_order, account, last_match_qty, trade_qty, total_trade_value, order_qty,
                       ORDER_STATUS.FILLED)

    def _fill(self, order, fw_order, account, last_match_qty, trade_qty, total_trade_value, order_qty, new_status):
        if last_match_qty > 0:
            trade = Trade.__from_create__(
                order_id=fw_order.order_id, price=order.last_match_price, amount=last_match_qty,
                side=fw_order.side, position_effect=fw_order.position_effect, market_code=fw_order.market_code,
                frozen_price=fw_order.price)
            fw_order.avg_price = total_trade_value / trade_qty
            fw_order.filled_quantity = trade_qty
            fw_order.unfilled_quantity = order_qty - trade_qty
            fw_order.status = new_status
            _append(Event(EVENT.TRADE, account=account, trade=trade, order=copy.deepcopy(fw_order)))

    def on_query_position(self, query_position_res, request_id, code, msg):
        system_log.info("on_query_position: code:" + str(code) + ", msg:" + str(msg))
        if code != 0:
            _append(Event(EVENT.QUERY_ACCOUNT, rid=request_id, code=code, msg=msg))
            return
        if type(query_position_res) is not list or not query_position_res:
            return
        positions = []
        long_direction = POSITION_DIRECTION.LONG
        for pos in query_position_res:
            try:
                market_code = pos.security_id + "." + get_exchane_from_vorn_mdtype(pos.market_id)
                position = Position(market_code, long_direction, pos.init_qty)
                position.set_state({
                    "quantity": pos.leaves_qty,
                    "available_qty": pos.available_qty,
                    "avg_price": pos.cost_price,
                    "last_price": pos.last_price,
                    "market_value": pos.market_value,
                    "daily_pnl": pos.profit_loss,
                })
                positions.append(position)
            except Exception as e:
                system_log.warning("on_query_position position do not add: " + str(pos.security_id)
                                   + "  exception: " + str(e))
        _append(Event(EVENT.QUERY_POSITION, rid=request_id, positions=positions))

    def on_algo_parent_order_update(self, parent_order):
        if parent_order.sys_quote_id not in algo_parent_id:
            return
        previous = None
        if parent_order.sys_quote_id in algo_parent_orders:
            previous = algo_parent_orders.get(parent_order.sys_quote_id)
        latest = AlgoParentOrder.from_vorn(parent_order, previous)
        algo_parent_orders[parent_order.sys_quote_id] = latest
        _append(Event(EVENT.PARENT_ORDER_UPDATE, algo_parent_order=copy.deepcopy(latest)))

    def on_algo_child_order_update(self, child_order):
        if child_order.sys_quote_id not in algo_parent_id:
            return
        previous = None
        if child_order.sys_quote_id in algo_child_orders:
            previous = algo_child_orders.get(child_order.sys_quote_id)
        latest = AlgoChildOrder.from_vorn(child_order, previous)
        algo_child_orders[child_order.sys_quote_id] = latest
        _append(Event(EVENT.CHILD_ORDER_UPDATE, algo_child_order=copy.deepcopy(latest)))

    def on_algo_child_order_trade(self, child_trade):
        if child_trade.sys_quote_id not in algo_parent_id:
            return
        previous = None
        if child_trade.sys_quote_id in algo_child_trades:
            previous = algo_child_trades.get(child_trade.sys_quote_id)
        latest = AlgoChildTrade.from_vorn(child_trade, previous)
        algo_child_trades[child_trade.sys_quote_id] = latest
        _append(Event(EVENT.CHILD_ORDER_TRADE, algo_child_trade=copy.deepcopy(latest)))
