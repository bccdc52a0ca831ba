"""A small generated store shared by the dataset tests: made once per session, copied for each
test that writes to it."""
import shutil

import pytest

from corvane.dataset import generate


@pytest.fixture(scope="session")
def base_store(tmp_path_factory):
    path = tmp_path_factory.mktemp("base") / "store"
    generate(start="2024-04-01", end="2024-06-28").save(str(path))
    return path


@pytest.fixture
def store(base_store, tmp_path):
    path = tmp_path / "store"
    shutil.copytree(base_store, path)
    return path
