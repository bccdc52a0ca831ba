"""Fixtures for building OstraDataDataSource on a small generated dataset, and a scripted data
client for tests that need exact client answers.

tests/conftest.py offers the fixtures to every test; import the other names where you need them.
"""
import datetime
import types

import pandas as pd
import pytest

import corvane.tessara.datac as datac
from corvane.dataset import generate
from corvane.tessara.environment import Environment
from corvane.tessara.mod.mod_quant_data.data_sources import histsource

# Half a year of data for the default universe: quick to generate, long enough for a few
# hundred day bars of history requests.
SMALL_START = "2024-01-02"
SMALL_END = "2024-06-28"

__all__ = ["histsource", "small_dataset", "datasource_env", "data_source", "ScriptedClient",
           "scripted_client", "SMALL_START", "SMALL_END", "make_table"]


@pytest.fixture(scope="session")
def small_dataset():
    return generate(start=SMALL_START, end=SMALL_END)


@pytest.fixture
def datasource_env(small_dataset):
    """A fresh environment whose data client serves the small dataset, call counts cleared."""
    previous = datac.get_dataset() if datac._state._dataset is not None else None
    datac.set_dataset(small_dataset)
    datac.reset_call_counts()
    env = Environment.install()
    yield env
    Environment.reset()
    datac.set_dataset(previous)


@pytest.fixture
def data_source(datasource_env):
    """An OstraDataDataSource over the small dataset, attached to the environment (so
    `get_instrument` finds its instruments); the data client's call counts start at zero."""
    # The memoised module functions outlive a test; a series fetched through another test's
    # client (a scripted or mutating one) must not answer this one.
    histsource._is_suspended.cache_clear()
    histsource._get_tick_size.cache_clear()
    source = histsource.OstraDataDataSource()
    datasource_env.set_data_source(source)
    datac.reset_call_counts()
    return source


def make_table(rows, index=None, columns=None):
    return pd.DataFrame(rows, index=index, columns=columns)


class ScriptedClient(types.SimpleNamespace):
    """A data client whose operations answer from `answers` (a value, or a callable taking the
    call's arguments) and record every call in `calls` as (name, args, kwargs)."""

    def __init__(self, **answers):
        super().__init__()
        self.calls = []
        for name, answer in answers.items():
            self.answer(name, answer)

    def answer(self, name, answer):
        def operation(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if isinstance(answer, BaseException):
                raise answer
            return answer(*args, **kwargs) if callable(answer) else answer
        setattr(self, name, operation)

    def calls_of(self, name):
        return [c for c in self.calls if c[0] == name]


@pytest.fixture
def scripted_client(monkeypatch):
    """Replaces the module's `ostradatac` with a ScriptedClient (answer with `.answer(...)`)."""
    client = ScriptedClient()
    monkeypatch.setattr(histsource, "ostradatac", client)
    return client


def today():
    return datetime.date.today()
