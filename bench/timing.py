"""Best-of-rounds timing for the benchmarks.

Before each call the garbage of earlier calls is collected, so that a collection
it owes does not land in the call measured; each call's result is released only
after the clock stops, so that freeing it is not counted against either side.
"""

import gc
import time


def best_of(calls, rounds, clock=time.perf_counter):
    """The best time of each call over `rounds` rounds, the calls taken in turn within a
    round so that a busy spell of the machine slows them alike."""
    best = [float("inf")] * len(calls)
    for _ in range(rounds):
        for index, call in enumerate(calls):
            gc.collect()
            started = clock()
            result = call()
            best[index] = min(best[index], clock() - started)
            del result
    return best


def best(call, rounds=5, clock=time.perf_counter):
    """The best time of `rounds` calls."""
    return best_of([call], rounds, clock)[0]


def best_wall_and_cpu(calls, rounds):
    """The best wall time and the best processor time of each call, as in `best_of`."""
    best = [(float("inf"), float("inf")) for _ in calls]
    for _ in range(rounds):
        for index, call in enumerate(calls):
            gc.collect()
            wall, cpu = time.perf_counter(), time.process_time()
            result = call()
            wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
            best[index] = (min(best[index][0], wall), min(best[index][1], cpu))
            del result
    return best
