"""Harness of the stand-ins: what a tool running the native modules against them may use.

A replay (or any other driver) installs a framework environment whose instruments come from
the data source, points the data client at a dataset or a store folder, resets and reads the
remote-call counts of the data client and the gateway, gives new terminal contexts a
scheduler of its own, and clears the live bridge's per-day state. Everything else of the
stand-ins is private to them.
"""
import contextlib
import os


# framework environment -----------------------------------------------------------------------
def install_environment(universe=(), data_source_factory=None, accounts=None):
    """A fresh current environment with `universe` as its universe.

    `data_source_factory()` is called once the environment exists (a data source subscribes
    to the environment's event bus when it is made); the data source is attached before the
    universe is set, so each of its instruments is the data source's full instrument.
    Returns (environment, data source)."""
    from corvane.tessara.environment import Environment
    env = Environment.install(accounts=accounts)
    data_source = None
    if data_source_factory is not None:
        data_source = data_source_factory()
        env.set_data_source(data_source)
    env.update_universe(universe)
    return env, data_source


@contextlib.contextmanager
def environment_restored():
    """Put back the environment current on entry (or none) on exit."""
    from corvane.tessara.environment import Environment
    saved = Environment._env
    try:
        yield
    finally:
        Environment._env = saved


def forget_data_source_memos():
    """Empty the historical data source module's memoised helpers (suspension series, tick
    sizes): they outlive data sources, and would answer from a dataset no longer served."""
    from corvane.tessara.mod.mod_quant_data.data_sources import histsource
    for name in ("_is_suspended", "_get_tick_size"):
        getattr(histsource, name).cache_clear()


# data client ---------------------------------------------------------------------------------
def use_store(path):
    """Serve the data client from the store folder `path`; returns its dataset. Raises the
    dataset package's StoreError for a folder that does not hold a readable store."""
    from corvane.tessara import datac
    return datac.use_store(path)


def use_dataset(dataset):
    """Serve the data client from `dataset`; None drops it (the next call loads the default)."""
    from corvane.tessara import datac
    datac.set_dataset(dataset)
    return dataset


def dataset_in_use():
    """The dataset the data client serves from, loading or generating the default on first
    use."""
    from corvane.tessara import datac
    return datac.get_dataset()


@contextlib.contextmanager
def dataset_restored():
    """Put back the data client's dataset of entry (or none) on exit."""
    from corvane.tessara.datac import _state
    saved = _state._dataset
    try:
        yield
    finally:
        _state.set_dataset(saved)


def default_store_path():
    """The store folder the data client loads when none is set ($CORVANE_DATASET), or None."""
    from corvane.tessara.datac._state import DATASET_ENV
    return os.environ.get(DATASET_ENV) or None


# remote-call counts ----------------------------------------------------------------------------
def reset_call_counts():
    """Zero the calls counted by the data client and the gateway."""
    import corvane.gid as gid
    from corvane.tessara import datac
    datac.reset_call_counts()
    gid.reset_call_counts()


def data_client_calls():
    """Calls made to the data client since the last reset, by operation (a new dict)."""
    from corvane.tessara import datac
    return dict(datac.call_counts)


def gateway_calls():
    """Calls made to the gateway since the last reset, by operation (a new dict)."""
    import corvane.gid as gid
    return dict(gid.call_counts)


def data_client_call_total():
    """Number of data-client calls since the last reset."""
    from corvane.tessara import datac
    return sum(datac.call_counts.values())


# terminal ------------------------------------------------------------------------------------
@contextlib.contextmanager
def terminal_scheduler(factory):
    """Terminal contexts made inside the block get their timer service from `factory()`."""
    import pyvorn.strategy as strategy
    saved = strategy.scheduler_factory
    strategy.scheduler_factory = factory
    try:
        yield
    finally:
        strategy.scheduler_factory = saved


# framework clock -------------------------------------------------------------------------------
@contextlib.contextmanager
def framework_clock(datetime_class):
    """Framework objects made inside the block that stamp themselves with the current time
    (an order or trade made without a time, such as the trades the live bridge creates)
    read it from `datetime_class.now()`, so a simulated day stamps simulated times."""
    from corvane.tessara.model import order, trade
    saved = order._datetime, trade._datetime
    order._datetime = trade._datetime = datetime_class
    try:
        yield
    finally:
        order._datetime, trade._datetime = saved


# live bridge ---------------------------------------------------------------------------------
BRIDGE_DAY_STATE = ("orders_dict", "history_bar", "history_tick", "algo_parent_orders",
                    "algo_child_orders", "algo_child_trades", "algo_parent_id")


def reset_bridge(bridge):
    """Drop the live bridge module's undrained events and its per-day maps."""
    queue = bridge.event_queue
    while len(queue):
        queue.popleft()
    for name in BRIDGE_DAY_STATE:
        getattr(bridge, name).clear()
