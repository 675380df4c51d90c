"""Run under `mpiexec -n N`: trains the same small model data-parallel and,
on rank 0, as one process, and exits non-zero with a message on any
difference. tests/distributed/test_mpi.py starts it."""

import sys

import numpy as np

import quarn
from quarn import distributed as dist
from quarn import nn, optim
from quarn.nn import functional as F

STEPS = 6
SHARD = 12  # samples per process per step


def make_model() -> nn.Module:
    quarn.manual_seed(1234)
    return nn.Sequential(nn.Linear(5, 7), nn.ReLU(), nn.Linear(7, 3))


def data(world: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(7)
    n = STEPS * SHARD * world
    return rng.standard_normal((n, 5)).astype(np.float32), rng.integers(0, 3, n)


def params(model: nn.Module) -> list[np.ndarray]:
    return [p.data.copy() for p in model.parameters()]


def distributed_run(kind: str, deterministic: bool, world: int, me: int) -> list[np.ndarray]:
    model = make_model()
    if me != 0:  # a different start everywhere else: the wrap must broadcast rank 0's
        for p in model.parameters():
            p.copy_(p.data + 1.0)
    model = dist.DistributedDataParallel(model, deterministic=deterministic, bucket_cap_mb=1e-4)
    opt = dist.DistributedOptimizer(make_optimizer(kind, model.parameters()), model)
    x, y = data(world)
    for step in range(STEPS):
        lo = (step * world + me) * SHARD
        opt.zero_grad()
        loss = F.cross_entropy(model(quarn.Tensor(x[lo : lo + SHARD])), y[lo : lo + SHARD])
        loss.backward()
        opt.step()
    return params(model.module)


def make_optimizer(kind: str, parameters) -> optim.Optimizer:
    if kind == "sgd":
        return optim.SGD(parameters, lr=0.1, momentum=0.9)
    return optim.Adam(parameters, lr=0.01)


def one_process(kind: str, world: int, accumulate: bool) -> list[np.ndarray]:
    """The same steps in one process: the whole global batch at once, or
    (accumulate) each process's shard in rank order, summed and divided as
    the deterministic reduction does."""
    model = make_model()
    opt = make_optimizer(kind, model.parameters())
    x, y = data(world)
    plist = list(model.parameters())
    for step in range(STEPS):
        lo = step * world * SHARD
        if not accumulate:
            opt.zero_grad()
            F.cross_entropy(model(quarn.Tensor(x[lo : lo + world * SHARD])), y[lo : lo + world * SHARD]).backward()
            opt.step()
            continue
        total = None
        for r in range(world):
            a = lo + r * SHARD
            opt.zero_grad()
            F.cross_entropy(model(quarn.Tensor(x[a : a + SHARD])), y[a : a + SHARD]).backward()
            grads = [p.grad.copy() for p in plist]
            total = grads if total is None else [t + g for t, g in zip(total, grads)]
        for p, t in zip(plist, total):
            p.grad = t / np.float32(world)
        opt.step()
    return params(model)


def main() -> int:
    dist.init()
    world, me = dist.world_size(), dist.rank()
    failures = []
    for kind in ("sgd", "adam"):
        for deterministic in (True, False):
            got = distributed_run(kind, deterministic, world, me)
            everyone = dist._world().gather(got, root=0)
            if me != 0:
                continue
            for r, other in enumerate(everyone):
                if not all(np.array_equal(a, b) for a, b in zip(got, other)):
                    failures.append(f"{kind} deterministic={deterministic}: rank {r} differs from rank 0")
            whole = one_process(kind, world, accumulate=False)
            if not all(np.allclose(a, b, rtol=2e-5, atol=2e-6) for a, b in zip(got, whole)):
                failures.append(f"{kind} deterministic={deterministic}: not within rounding of one process")
            if deterministic:
                acc = one_process(kind, world, accumulate=True)
                if not all(np.array_equal(a, b) for a, b in zip(got, acc)):
                    failures.append(f"{kind}: deterministic run is not bit-identical to rank-order accumulation")
    mean = dist.all_reduce_mean(float(me))
    if mean != (world - 1) / 2:
        failures.append(f"all_reduce_mean of the ranks gave {mean}")
    parts = dist._world().allgather(dist.shard(103, seed=3, epoch=1))
    if me == 0 and sorted(set(np.concatenate(parts))) != list(range(103)):
        failures.append("the shards do not cover the data set")
    dist.barrier()
    if me == 0:
        print("\n".join(failures) if failures else "ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
