"""How the benchmark scripts set up and time their contenders."""

import itertools
import statistics
import time

import ml_dtypes
import numpy as np


def median_times(fns, rounds=31):
    """Median time of one call of each function (None entries give None).

    The contenders take turns within every round, so that load from elsewhere
    on the machine hits them alike; the median, not the best, because on large
    operands a lucky round (a result still in cache, no page faults) can be
    several times faster than the usual one. Each round takes the next
    ordering of the contenders, so that no contender always follows the same
    other one: the memory one library frees shapes what the allocator hands
    the next."""
    live = [fn for fn in fns if fn is not None]
    for fn in live:
        fn()
    samples = {id(fn): [] for fn in live}
    orders = list(itertools.permutations(live))
    for r in range(rounds):
        for fn in orders[r % len(orders)]:
            t0 = time.perf_counter()
            fn()
            samples[id(fn)].append(time.perf_counter() - t0)
    return [statistics.median(samples[id(fn)]) if fn is not None else None for fn in fns]


def one_thread(torch):
    """Puts quarn and PyTorch (None when it is not installed) on one thread,
    as NumPy's element-wise operations run, and prints the versions being
    compared."""
    import quarn_core

    quarn_core._functions.set_num_threads(1)
    if torch is not None:
        torch.set_num_threads(1)
        print(f"PyTorch {torch.__version__}, threads={torch.get_num_threads()}")
    print(f"NumPy {np.__version__}, ml_dtypes {ml_dtypes.__version__}")
