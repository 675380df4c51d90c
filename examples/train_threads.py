"""Data-parallel training across threads: each thread runs forward and
backward on its share of the batch in its own graph, the main thread
averages the gradients and steps the optimiser.

    python examples/train_threads.py [--threads 2] [--steps 300]

A model used from several threads gets one leaf per parameter in each
thread's graph; `p.grad` read on a thread is that thread's gradient. Large
operations let other threads run while they compute, so with a model and
shares big enough the threads overlap; this small one shows the pattern.
"""

import argparse
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import quarn
from quarn import Tensor, nn, optim


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--steps", type=int, default=300)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    x_all = rng.standard_normal((2048, 16)).astype(np.float32)
    y_all = (x_all[:, :4].sum(axis=1) > 0).astype(np.int64)   # a class to learn

    quarn.manual_seed(0)
    model = nn.Sequential(nn.Linear(16, 64), nn.ReLU(), nn.Linear(64, 2))
    params = list(model.parameters())
    opt = optim.Adam(params, lr=1e-2)
    loss_fn = nn.CrossEntropyLoss()

    def gradients(xb, yb):
        quarn.clear_graph()                   # this thread's graph only
        loss = loss_fn(model(Tensor(xb)), yb)
        loss.backward()
        return loss.item(), [p.grad for p in params]

    with ThreadPoolExecutor(args.threads) as pool:
        for step in range(args.steps):
            idx = rng.integers(0, len(x_all), 64 * args.threads)
            shares = np.array_split(idx, args.threads)
            results = list(pool.map(lambda s: gradients(x_all[s], y_all[s]), shares))
            opt.zero_grad()                   # the main thread's step begins
            for i, p in enumerate(params):    # equal shares: the mean of the means
                p.grad = np.mean([grads[i] for _, grads in results], axis=0)
            opt.step()
            if step % 100 == 0 or step == args.steps - 1:
                print(f"step {step:4d}  loss {np.mean([loss for loss, _ in results]):.4f}")

    with quarn.no_grad():
        accuracy = (model(Tensor(x_all)).to_numpy().argmax(axis=1) == y_all).mean()
    print(f"training accuracy {100 * accuracy:.1f}% with {args.threads} threads")


if __name__ == "__main__":
    main()
