"""Data-parallel training over MPI, and the sampler's arithmetic."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from quarn import distributed as dist


@pytest.mark.parametrize("n", [0, 1, 7, 64, 103])
@pytest.mark.parametrize("world", [1, 2, 3, 8])
@pytest.mark.parametrize("drop_last", [False, True])
def test_shard_parts_are_equal_and_cover_the_data(n, world, drop_last):
    parts = [dist.shard(n, r, world, seed=5, epoch=2, drop_last=drop_last) for r in range(world)]
    assert len({len(p) for p in parts}) == 1
    joined = np.concatenate(parts)
    if drop_last:
        assert len(joined) == n // world * world and len(set(joined)) == len(joined)
    else:
        assert set(joined) == set(range(n)) and len(joined) == -(-n // world) * world
    assert np.array_equal(parts[0], dist.shard(n, 0, world, seed=5, epoch=2, drop_last=drop_last))


def test_shard_draws_a_new_order_each_epoch_and_none_unshuffled():
    assert not np.array_equal(dist.shard(50, 0, 2, seed=1, epoch=0), dist.shard(50, 0, 2, seed=1, epoch=1))
    assert np.array_equal(dist.shard(10, 1, 2, shuffle=False), [1, 3, 5, 7, 9])


@pytest.mark.parametrize(
    ("args", "error"),
    [((10, 2, 2), ValueError), ((10, -1, 2), ValueError), ((10, 0, 0), ValueError), ((10.0, 0, 1), TypeError),
     ((True, 0, 1), TypeError)],
)
def test_shard_refuses_bad_arguments(args, error):
    with pytest.raises(error):
        dist.shard(*args)


def _launcher() -> str | None:
    path = os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", "")
    return shutil.which("mpiexec", path=path)


def test_two_processes_train_as_one():
    pytest.importorskip("mpi4py", reason="MPI tests need mpi4py: pip install 'quarn[mpi]'")
    launcher = _launcher()
    if launcher is None:
        pytest.skip("MPI tests need an mpiexec launcher (the mpich wheel brings one)")
    worker = Path(__file__).with_name("mpi_worker.py")
    env = dict(os.environ, QUARN_NUM_THREADS="1")
    run = subprocess.run(
        [launcher, "-n", "2", sys.executable, str(worker)], capture_output=True, text=True, timeout=300, env=env
    )
    assert run.returncode == 0 and run.stdout.strip().endswith("ok"), run.stdout + run.stderr
