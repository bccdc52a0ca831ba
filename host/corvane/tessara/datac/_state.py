"""The dataset the client serves from, and the per-operation call counts."""
import collections
import os

call_counts = collections.Counter()
_dataset = None

DATASET_ENV = "CORVANE_DATASET"


def count(operation):
    call_counts[operation] += 1


def reset_call_counts():
    call_counts.clear()


def set_dataset(dataset):
    """Serve from `dataset` (a corvane.dataset.Dataset); None drops it, so the next call
    builds or loads the default again."""
    global _dataset
    _dataset = dataset


def use_store(path):
    """Serve from the dataset stored in the folder `path`."""
    from corvane.dataset import load
    set_dataset(load(path))
    return _dataset


def get_dataset():
    """The dataset in use. Without one set, the store named by $CORVANE_DATASET is loaded,
    or else the default dataset is generated."""
    global _dataset
    if _dataset is None:
        path = os.environ.get(DATASET_ENV)
        if path:
            use_store(path)
        else:
            from corvane.dataset import generate
            _dataset = generate()
    return _dataset
