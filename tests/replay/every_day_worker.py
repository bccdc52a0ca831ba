"""Replays a list of days of a store in fast mode, in a worker process of the every-day test."""


def replay_days(store, days, out_dir):
    """Replay each day (default instruments, fast mode); returns (day, error line) for
    each day that failed."""
    from corvane import harness
    from tessara_replay import run_replay
    dataset = harness.use_store(store)
    failures = []
    for day in days:
        try:
            run_replay(day=day, dataset=dataset, out_dir=out_dir, fast=True)
        except Exception as exc:
            failures.append((day, "%s: %s" % (type(exc).__name__, exc)))
    return failures
