"""Benchmarks of the native modules' hot paths, each measured against the cost it cannot avoid.

Run from the repository root: `.venv/bin/python -m bench` (full run, prints the table) or
`.venv/bin/python -m bench --smoke` (a few iterations: checks that every case runs and gives the
same results as the straightforward path, with no time targets).
"""
