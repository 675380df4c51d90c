"""Train the digits MLP data-parallel over MPI: each process takes its own
part of every batch, the gradients are averaged across processes after
backward(), and every process makes the same step.

    mpiexec -n 2 python examples/train_distributed.py
    mpiexec -n 2 python examples/train_distributed.py --deterministic   # rank-order sums
    python examples/train_distributed.py                                # a world of one

Needs the `mpi` extra (pip install "quarn[mpi]": mpi4py and MPICH's wheel)
and scikit-learn. The global batch is --batch-size; each of N processes
works on batch-size / N samples of it.
"""

import argparse
import time

import numpy as np

import quarn
from quarn import distributed as dist
from quarn import nn, optim
from quarn.nn import functional as F


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--epochs", type=int, default=20)
    parser.add_argument("--batch-size", type=int, default=64, help="global batch, over all processes")
    parser.add_argument("--lr", type=float, default=3e-3)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--deterministic", action="store_true",
                        help="add the gradients in rank order: the same bits on every run")
    return parser.parse_args()


def main():
    args = parse_args()
    dist.init()
    world, me = dist.world_size(), dist.rank()
    if args.batch_size % world:
        raise SystemExit(f"--batch-size {args.batch_size} does not divide among {world} processes")

    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split

    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)
    x_train, x_test, y_train, y_test = train_test_split(x, digits.target, test_size=0.2,
                                                        random_state=args.seed, stratify=digits.target)

    quarn.manual_seed(args.seed + me)  # different draws everywhere: the wrap broadcasts rank 0's
    model = dist.DistributedDataParallel(
        nn.Sequential(nn.Linear(64, 128), nn.ReLU(), nn.Linear(128, 10)), deterministic=args.deterministic)
    opt = dist.DistributedOptimizer(optim.Adam(model.parameters(), lr=args.lr), model)

    local = args.batch_size // world
    start = time.perf_counter()
    for epoch in range(args.epochs):
        losses = []
        for idx in dist.batches(dist.shard(len(x_train), seed=args.seed, epoch=epoch, drop_last=True), local):
            if len(idx) < local:  # equal shards every step, so the average is the global batch's
                break
            opt.zero_grad()
            loss = F.cross_entropy(model(quarn.Tensor(x_train[idx])), y_train[idx])
            loss.backward()
            opt.step()
            losses.append(float(loss))
        mean_loss = dist.all_reduce_mean(float(np.mean(losses)))
        with quarn.no_grad():
            pred = np.argmax(model(quarn.Tensor(x_test)).to_numpy(), axis=1)
        accuracy = float(np.mean(pred == y_test))
        if me == 0:
            print(f"epoch {epoch + 1:2d}  loss {mean_loss:.4f}  test accuracy {accuracy:.3f}")
    if me == 0:
        print(f"{world} process(es), {time.perf_counter() - start:.2f} s")


if __name__ == "__main__":
    main()
