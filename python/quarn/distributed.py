"""Data-parallel training over MPI: every process runs the same model on its
own part of each batch, and the parameters' gradients are averaged across
processes after backward(), so every process takes the same step.

quarn does not talk over the network itself: it uses MPI through mpi4py
(``pip install quarn[mpi]`` brings mpi4py and an MPI from binary wheels).
Start the processes with the MPI launcher, on one machine or several::

    mpiexec -n 4 python train.py
    mpiexec -f hosts -n 16 python train.py

and in the program::

    from quarn import distributed as dist
    dist.init()
    model = dist.DistributedDataParallel(model)     # rank 0's parameters everywhere
    opt = dist.DistributedOptimizer(quarn.optim.Adam(model.parameters()), model)
    for epoch in range(epochs):
        for idx in dist.batches(dist.shard(len(x), seed=0, epoch=epoch), 64):
            opt.zero_grad()
            loss = F.cross_entropy(model(x[idx]), y[idx])
            loss.backward()
            opt.step()                               # averages, then updates

How the average is formed. Each process's gradient is the gradient of its
own mean loss; the average over equal shards is then the gradient of the
mean loss over the global batch. Gradients travel in float32 buckets of
several parameters (``bucket_cap_mb``, 25 MB by default); each bucket's
reduction starts as soon as the bucket is filled, so it is in flight while
the next buckets are read out of the graph. By default MPI sums the buckets
(``Iallreduce``) in whatever order its algorithm chooses, so the result can
differ from one process's sum of the same gradients by float32 rounding.
With ``deterministic=True`` every process gathers all the buckets and adds
them in rank order, 0 first, and divides by the number of processes: the
same bits on every process, every run, for any MPI, and the same bits as
one process that accumulates the shards' gradients in rank order.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "DistributedDataParallel",
    "DistributedOptimizer",
    "all_reduce_mean",
    "average_gradients",
    "barrier",
    "batches",
    "broadcast_parameters",
    "init",
    "is_initialized",
    "rank",
    "shard",
    "world_size",
]

_comm: Any = None


def _mpi() -> Any:
    try:
        from mpi4py import MPI  # type: ignore[import-not-found, unused-ignore]
    except ImportError as exc:  # the optional dependency is missing
        raise ImportError(
            "quarn.distributed needs mpi4py and an MPI library: pip install 'quarn[mpi]'"
        ) from exc
    return MPI


def init(comm: Any = None) -> None:
    """Joins the MPI world (or the given mpi4py communicator). Safe to call
    again; a program started without a launcher is a world of one."""
    global _comm
    _comm = comm if comm is not None else _mpi().COMM_WORLD


def is_initialized() -> bool:
    return _comm is not None


def _world() -> Any:
    if _comm is None:
        raise RuntimeError("quarn.distributed.init() has not been called")
    return _comm


def rank() -> int:
    """This process's number, 0 to world_size() - 1."""
    return int(_world().Get_rank())


def world_size() -> int:
    """How many processes take part."""
    return int(_world().Get_size())


def barrier() -> None:
    """Returns once every process has called it."""
    _world().Barrier()


def shard(
    n_samples: int,
    rank: int | None = None,
    world_size: int | None = None,
    *,
    shuffle: bool = True,
    seed: int = 0,
    epoch: int = 0,
    drop_last: bool = False,
) -> NDArray[np.int64]:
    """This process's sample indices for one epoch: equal parts of a
    permutation that every process draws alike from ``seed + epoch``.

    Every part has ``ceil(n_samples / world_size)`` indices: the permutation
    is padded with its own first indices so that it divides evenly (a few
    samples then count twice in the epoch, as the known samplers do), or,
    with ``drop_last``, cut to ``floor(n_samples / world_size)`` each, and
    the parts are then disjoint.
    """
    # The arguments shadow rank() and world_size(): ask the world directly.
    r = int(_world().Get_rank()) if rank is None else _count(rank, "rank")
    w = int(_world().Get_size()) if world_size is None else _count(world_size, "world_size")
    n = _count(n_samples, "n_samples")
    if w < 1:
        raise ValueError(f"world_size must be at least 1, not {w}")
    if not 0 <= r < w:
        raise ValueError(f"rank {r} is out of range for a world of {w}")
    order = np.random.default_rng((int(seed), int(epoch))).permutation(n) if shuffle else np.arange(n)
    if drop_last:
        per = n // w
        order = order[: per * w]
    else:
        per = -(-n // w)
        if n == 0:
            return np.zeros(0, dtype=np.int64)
        order = np.resize(order, per * w)  # repeats from the start
    return order[r::w].astype(np.int64, copy=False)


def _count(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, not {value}")
    return int(value)


def all_reduce_mean(value: Any) -> Any:
    """The mean over processes of a number, array or tensor (a loss, an
    accuracy): a float for a number, a float64 array otherwise. The sum is
    taken in float64 in rank order, so every process gets the same value."""
    comm = _world()
    arr = np.asarray(value.to_numpy() if hasattr(value, "to_numpy") else value, dtype=np.float64)
    parts = comm.allgather(arr)
    shapes = {p.shape for p in parts}
    if len(shapes) != 1:
        raise ValueError(f"all_reduce_mean got values of different shapes on different processes: {sorted(shapes)}")
    total = parts[0].copy()
    for p in parts[1:]:
        total += p
    mean = total / len(parts)
    return float(mean) if mean.ndim == 0 else mean


def _parameters(model: Any) -> list[Any]:
    params = model.parameters() if hasattr(model, "parameters") else model
    out: list[Any] = []
    seen: set[int] = set()
    for p in params:
        if id(p) not in seen:  # a parameter shared by two layers travels once
            seen.add(id(p))
            out.append(p)
    return out


def broadcast_parameters(model: Any, root: int = 0) -> None:
    """Overwrites every process's parameters with those of ``root``."""
    _broadcast_on(_world(), model, root)


def _buckets(params: Sequence[Any], cap_bytes: int) -> list[list[Any]]:
    """Parameters in order, cut into runs of at most cap_bytes of float32
    (a parameter larger than the cap is a bucket of its own)."""
    buckets: list[list[Any]] = []
    current: list[Any] = []
    size = 0
    for p in params:
        nbytes = 4 * int(p.data.size)
        if current and size + nbytes > cap_bytes:
            buckets.append(current)
            current, size = [], 0
        current.append(p)
        size += nbytes
    if current:
        buckets.append(current)
    return buckets


def average_gradients(
    model: Any, *, bucket_cap_mb: float = 25.0, deterministic: bool = False, comm: Any = None
) -> None:
    """Replaces each parameter's gradient with its mean over processes.

    A parameter without a gradient on this process (unused in this step)
    counts as zeros, so that every process sends the same buckets; it gets
    the average too. Every process must call this with the same parameters
    in the same order, as the model's definition guarantees.
    """
    comm = comm if comm is not None else _world()
    params = [p for p in _parameters(model) if p.requires_grad]
    if not params:
        return
    if not (bucket_cap_mb > 0 and math.isfinite(bucket_cap_mb)):
        raise ValueError(f"bucket_cap_mb must be a positive number, not {bucket_cap_mb}")
    size = comm.Get_size()
    MPI = _mpi()
    pending: list[tuple[list[Any], NDArray[np.float32], Any, Any]] = []
    for bucket in _buckets(params, int(bucket_cap_mb * 2**20)):
        flat = np.empty(sum(int(p.data.size) for p in bucket), dtype=np.float32)
        at = 0
        for p in bucket:
            n = int(p.data.size)
            g = p.grad
            if g is None:
                flat[at : at + n] = 0.0
            else:
                flat[at : at + n] = np.ravel(g)
            at += n
        if deterministic:
            gathered = np.empty((size, flat.size), dtype=np.float32)
            request = comm.Iallgather(flat, gathered)
            pending.append((bucket, flat, gathered, request))
        else:
            request = comm.Iallreduce(MPI.IN_PLACE, flat, op=MPI.SUM)
            pending.append((bucket, flat, None, request))
    divisor = np.float32(size)
    for bucket, flat, gathered, request in pending:
        request.Wait()
        if gathered is not None:
            # Rank order, 0 first: the same sum on every process.
            flat = gathered[0].copy()
            for r in range(1, size):
                flat += gathered[r]
        flat /= divisor
        at = 0
        for p in bucket:
            n = int(p.data.size)
            p.grad = flat[at : at + n].reshape(p.data.shape)
            at += n


class DistributedDataParallel:
    """A model whose gradients are averaged across processes.

    Wrapping broadcasts rank 0's parameters to every process, so all start
    equal. Calling the wrapper calls the model; attributes not its own are
    the model's. After ``loss.backward()``, ``synchronize()`` averages the
    gradients (``DistributedOptimizer`` calls it before every step).
    """

    def __init__(
        self,
        module: Any,
        *,
        bucket_cap_mb: float = 25.0,
        deterministic: bool = False,
        broadcast: bool = True,
        comm: Any = None,
    ) -> None:
        if not (bucket_cap_mb > 0 and math.isfinite(bucket_cap_mb)):
            raise ValueError(f"bucket_cap_mb must be a positive number, not {bucket_cap_mb}")
        self.module = module
        self.bucket_cap_mb = float(bucket_cap_mb)
        self.deterministic = bool(deterministic)
        self.comm = comm if comm is not None else _world()
        if broadcast:
            _broadcast_on(self.comm, module, 0)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self.module(*args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        if name == "module":  # not yet set: a half-built object
            raise AttributeError(name)
        return getattr(self.module, name)

    def parameters(self) -> Iterator[Any]:
        return iter(_parameters(self.module))

    def synchronize(self) -> None:
        """Averages every parameter's gradient across processes."""
        average_gradients(
            self.module, bucket_cap_mb=self.bucket_cap_mb, deterministic=self.deterministic, comm=self.comm
        )


def _broadcast_on(comm: Any, model: Any, root: int) -> None:
    for p in _parameters(model):
        data = p.data
        if not (data.dtype == np.float32 and data.flags.c_contiguous):
            raise TypeError("a parameter's master copy must be a contiguous float32 array")
        comm.Bcast(data, root=root)
        p._changed()  # the next use makes a leaf of the new values


class DistributedOptimizer:
    """An optimiser whose ``step()`` first averages the gradients of the
    wrapped model across processes; everything else is the optimiser's."""

    def __init__(self, optimizer: Any, model: DistributedDataParallel) -> None:
        if not isinstance(model, DistributedDataParallel):
            raise TypeError("DistributedOptimizer needs the DistributedDataParallel model it updates")
        self.optimizer = optimizer
        self.model = model

    def step(self, *args: Any, **kwargs: Any) -> Any:
        self.model.synchronize()
        return self.optimizer.step(*args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        if name == "optimizer":
            raise AttributeError(name)
        return getattr(self.optimizer, name)


def batches(indices: NDArray[np.int64], batch_size: int) -> Iterable[NDArray[np.int64]]:
    """The consecutive batches of ``indices`` (the last may be shorter)."""
    for start in range(0, len(indices), batch_size):
        yield indices[start : start + batch_size]
