"""The framework side's drain of the live bridge's `event_queue`.

The ring buffer's `popleft` only moves its read index: the drained slot keeps
referencing its event until a later append overwrites it, so a queue of
1,000,000 slots can keep that many drained events (tick records, deep-copied
orders) alive. `take` and `drain` release each slot as they take its event.

The slot is released before the read index moves. While the queue is not
full an append only writes the slot after the newest event, never the
oldest one, so releasing it cannot race with the bridge's appends on
another thread. (A full queue overwrites its oldest slot by design; the
bridge counts those overwrites in `overwritten_events`.)
"""

__all__ = ["take", "drain"]


def take(queue):
    """Remove and return the oldest event of `queue`, or None when it is empty.

    For a ring buffer the slot is set to None; any other queue (a deque, a
    list) releases its element itself."""
    if len(queue) == 0:
        return None
    slots = getattr(queue, "_arr", None)
    if slots is None:
        return queue.popleft() if hasattr(queue, "popleft") else queue.pop(0)
    i = queue._left_index
    event = slots[i]
    slots[i] = None
    queue.popleft()
    return event


def drain(queue, handler=None, limit=None):
    """Take up to `limit` events (all, when None) oldest first; pass each to
    `handler` when given. Returns the list of events taken when no handler is
    given, else the number handled."""
    taken = [] if handler is None else None
    n = 0
    while limit is None or n < limit:
        if len(queue) == 0:
            break
        event = take(queue)
        n += 1
        if handler is None:
            taken.append(event)
        else:
            handler(event)
    return taken if handler is None else n
