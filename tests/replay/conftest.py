"""Fixtures of the replay tests: one generated store for the whole session, and the data
client's dataset put back after each test."""
import pytest

from corvane import harness


@pytest.fixture(scope="session")
def store(tmp_path_factory):
    """The default dataset, written to a store folder once."""
    from corvane.dataset import generate
    path = tmp_path_factory.mktemp("store")
    generate().save(str(path))
    return str(path)


@pytest.fixture(scope="session")
def store_dataset(store):
    from corvane.dataset import load
    return load(store)


@pytest.fixture(autouse=True)
def keep_client_dataset():
    """A replay points the data client at its store; put the previous dataset back."""
    with harness.dataset_restored():
        yield
