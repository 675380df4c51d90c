"""Train a small convolutional network on the handwritten digits that ship
with scikit-learn, forward and backward entirely in quarn.

    python examples/train_cnn.py                      # float32
    python examples/train_cnn.py --dtype bfloat16     # or float16
    python examples/train_cnn.py --plot curves.png    # loss and accuracy per epoch
    python examples/train_cnn.py --compare-torch      # the same run in PyTorch

Needs scikit-learn and tqdm (matplotlib for --plot, torch for --compare-torch);
`make demo` installs the first three.

The network, on 8 x 8 images of one channel:
    conv 1->16 3x3 (padding 1), relu, 2x2 max pool    -> 16 x 4 x 4
    conv 16->32 3x3 (padding 1), relu, 2x2 max pool   -> 32 x 2 x 2
    flatten, linear 128->10
The training loop is train_mlp.py's: the parameters live in NumPy (float32,
whatever the compute dtype); every step clears this thread's graph, wraps
the parameters as fresh leaves, runs forward and backward in quarn, and
updates the NumPy arrays. The loss, softmax cross-entropy, is part of the
graph: backward() starts from it.
"""

import argparse
import time

import numpy as np

import quarn
from quarn import Tensor
from quarn.nn.functional import conv2d, cross_entropy, max_pool2d, relu


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dtype", choices=["float32", "bfloat16", "float16"], default="float32",
                        help="element type of the forward and backward pass (default float32)")
    parser.add_argument("--epochs", type=int, default=30)
    parser.add_argument("--batch-size", type=int, default=32)
    parser.add_argument("--lr", type=float, default=0.05)
    parser.add_argument("--momentum", type=float, default=0.9)
    parser.add_argument("--channels", type=int, default=16, help="channels of the first convolution (x2 in the second)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--plot", metavar="FILE", help="write loss and accuracy curves to this PNG")
    parser.add_argument("--compare-torch", action="store_true",
                        help="train the same network from the same weights in PyTorch too")
    return parser.parse_args()


def load_data(seed):
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split

    digits = load_digits()  # 1,797 images of 8 x 8 pixels, inside the package
    x = (digits.images / 16.0).astype(np.float32)[:, None, :, :]  # [N, 1, 8, 8]
    return train_test_split(x, digits.target, test_size=0.2, random_state=seed,
                            stratify=digits.target)


def initial_params(channels, rng):
    """He-initialised filters and weights and zero biases, as float32 NumPy
    arrays: w1, b1, w2, b2, w3, b3."""
    def he(shape, fan_in):
        return (rng.standard_normal(shape) * np.sqrt(2.0 / fan_in)).astype(np.float32)

    c1, c2 = channels, 2 * channels
    return [
        he((c1, 1, 3, 3), 9), np.zeros(c1, np.float32),
        he((c2, c1, 3, 3), 9 * c1), np.zeros(c2, np.float32),
        he((4 * c2, 10), 4 * c2), np.zeros(10, np.float32),
    ]


def sum_to_shape(grad, shape):
    """The true gradient of a parameter of `shape` from the broadcast-shaped
    gradient quarn hands back (as train_mlp.py explains)."""
    grad = grad.sum(axis=tuple(range(grad.ndim - len(shape)))) if grad.ndim > len(shape) else grad
    stretched = tuple(i for i, n in enumerate(shape) if n == 1 and grad.shape[i] != 1)
    return grad.sum(axis=stretched, keepdims=True) if stretched else grad


def forward(x, w1, b1, w2, b2, w3, b3):
    h = max_pool2d(relu(conv2d(x, w1, b1, padding=1)), 2)
    h = max_pool2d(relu(conv2d(h, w2, b2, padding=1)), 2)
    return h.reshape([h.shape[0], w3.shape[0]]) @ w3 + b3


def quarn_step(params, xb, yb, dtype):
    # A new graph every step: tensors of the last step are stale now, and
    # the memory their nodes held is given back.
    quarn.clear_graph()
    leaves = [Tensor(p, dtype=dtype, requires_grad=True) for p in params]
    loss = cross_entropy(forward(Tensor(xb, dtype=dtype), *leaves), yb)
    loss.backward()
    return float(loss.to_numpy()), [sum_to_shape(t.grad().astype(np.float32), p.shape)
                                    for t, p in zip(leaves, params)]


def quarn_accuracy(params, x, y, dtype):
    # Tensors without requires_grad record nothing: evaluation needs no graph.
    logits = forward(Tensor(x, dtype=dtype), *(Tensor(p, dtype=dtype) for p in params))
    return float((logits.to_numpy().astype(np.float32).argmax(axis=1) == y).mean())


def make_torch_trainer(dtype):
    import torch
    import torch.nn.functional as tf

    torch.set_num_threads(1)  # as quarn's benchmarks compare them: one thread each
    tdtype = getattr(torch, dtype)

    def run(x, p):
        h = tf.max_pool2d(torch.relu(tf.conv2d(x, p[0], p[1], padding=1)), 2)
        h = tf.max_pool2d(torch.relu(tf.conv2d(h, p[2], p[3], padding=1)), 2)
        return h.reshape(h.shape[0], -1) @ p[4] + p[5]

    def step(params, xb, yb):
        # float32 master weights, computed in the chosen dtype, like quarn's loop
        cast = [t.to(tdtype) for t in params]
        logits = run(torch.from_numpy(xb).to(tdtype), cast).float()
        loss = tf.cross_entropy(logits, torch.from_numpy(yb))
        for t in params:
            t.grad = None
        loss.backward()
        return loss.item(), [t.grad.numpy() for t in params]

    def accuracy(params, x, y):
        with torch.no_grad():
            logits = run(torch.from_numpy(x).to(tdtype), [t.to(tdtype) for t in params])
        return float((logits.float().numpy().argmax(axis=1) == y).mean())

    def leaves(params):
        return [torch.from_numpy(p.copy()).requires_grad_() for p in params]

    return torch, leaves, step, accuracy


def train(name, params, step, accuracy, data, args, bar_cls):
    """SGD with momentum (v = m v + g; p -= lr v) on NumPy views of the
    parameters; the batch order depends only on the seed, so two trainers
    given the same initial weights see the same batches."""
    x_train, x_test, y_train, y_test = data
    arrays = params["arrays"]
    velocity = [np.zeros_like(a) for a in arrays]
    order = np.random.default_rng(args.seed + 1)
    steps = -(-len(x_train) // args.batch_size)
    history = {"loss": [], "accuracy": [], "seconds": []}
    with bar_cls(total=args.epochs * steps, desc=f"{name} {args.dtype}", unit="step",
                 leave=True, dynamic_ncols=True) as bar:
        running = None
        for epoch in range(args.epochs):
            perm = order.permutation(len(x_train))
            losses = []
            t0 = time.perf_counter()
            for i in range(steps):
                idx = perm[i * args.batch_size:(i + 1) * args.batch_size]
                loss, grads = step(params["live"], x_train[idx], y_train[idx])
                for a, v, g in zip(arrays, velocity, grads):
                    v *= args.momentum
                    v += g
                    a -= args.lr * v
                losses.append(loss)
                running = loss if running is None else 0.95 * running + 0.05 * loss
                if i % 8 == 0:
                    bar.set_postfix(epoch=epoch + 1, loss=f"{running:.4f}", refresh=False)
                bar.update()
            history["seconds"].append(time.perf_counter() - t0)
            history["loss"].append(float(np.mean(losses)))
            history["accuracy"].append(accuracy(params["live"], x_test, y_test))
            bar.set_postfix(epoch=epoch + 1, loss=f"{running:.4f}",
                            test_acc=f"{history['accuracy'][-1]:.3f}")
    return history


def plot(path, runs, dtype):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax_loss, ax_acc) = plt.subplots(1, 2, figsize=(10, 4))
    for (name, history), style in zip(runs.items(), ("-", "--")):
        # Dashed second: runs from the same weights can lie on top of each other.
        epochs = range(1, len(history["loss"]) + 1)
        ax_loss.plot(epochs, history["loss"], style, label=name)
        ax_acc.plot(epochs, [100 * a for a in history["accuracy"]], style, label=name)
    ax_loss.set(xlabel="epoch", ylabel="mean training loss", yscale="log",
                title=f"softmax cross-entropy ({dtype})")
    ax_acc.set(xlabel="epoch", ylabel="test accuracy (%)", title="digits, held-out 20%")
    for ax in (ax_loss, ax_acc):
        ax.grid(alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"wrote {path}")


def main():
    args = parse_args()
    from tqdm import tqdm

    data = load_data(args.seed)
    init = initial_params(args.channels, np.random.default_rng(args.seed))
    c1 = args.channels
    print(f"quarn {quarn.__version__}: CNN conv{c1}-pool-conv{2 * c1}-pool-linear10, {len(data[0])} training and "
          f"{len(data[1])} test images, batch {args.batch_size}, {args.epochs} epochs, {args.dtype}")

    runs = {}
    arrays = [a.copy() for a in init]
    runs["quarn"] = train(
        "quarn", {"arrays": arrays, "live": arrays},
        lambda p, xb, yb: quarn_step(p, xb, yb, args.dtype),
        lambda p, x, y: quarn_accuracy(p, x, y, args.dtype), data, args, tqdm)

    if args.compare_torch:
        try:
            torch, leaves, step, accuracy = make_torch_trainer(args.dtype)
        except ImportError:
            print("PyTorch is not installed; --compare-torch skipped")
        else:
            live = leaves(init)
            # The NumPy views share memory with the torch leaves, so the same
            # update code changes both.
            arrays = [t.detach().numpy() for t in live]
            runs[f"PyTorch {torch.__version__}"] = train(
                "torch", {"arrays": arrays, "live": live}, step, accuracy, data, args, tqdm)

    print()
    print(f"{'':<22} {'test accuracy':>14} {'time per epoch':>15}")
    for name, history in runs.items():
        per_epoch = float(np.median(history["seconds"]))
        print(f"{name:<22} {100 * history['accuracy'][-1]:13.1f}% {per_epoch * 1e3:12.1f} ms")
    if args.plot:
        plot(args.plot, runs, args.dtype)


if __name__ == "__main__":
    main()
