"""Train a 64-128-10 MLP on the handwritten digits that ship with scikit-learn,
forward and backward entirely in quarn.

    python examples/train_mlp.py                      # float32
    python examples/train_mlp.py --dtype bfloat16     # or float16
    python examples/train_mlp.py --optim adam --lr 1e-3
    python examples/train_mlp.py --plot curves.png    # loss and accuracy per epoch
    python examples/train_mlp.py --compare-torch      # the same run in PyTorch

Needs scikit-learn and tqdm (matplotlib for --plot, torch for --compare-torch);
`make demo` installs the first three.

The loop is PyTorch's: `opt.zero_grad()` begins the step (in quarn it clears
this thread's graph), the model's parameters enter the graph as fresh leaves
on first use, `loss.backward()` fills their gradients and `opt.step()`
updates their float32 master copies, whatever the compute dtype.
"""

import argparse
import time

import numpy as np

import quarn
from quarn import Tensor, nn, optim


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dtype", choices=["float32", "bfloat16", "float16"], default="float32",
                        help="element type of the forward and backward pass (default float32)")
    parser.add_argument("--epochs", type=int, default=30)
    parser.add_argument("--batch-size", type=int, default=32)
    parser.add_argument("--optim", choices=["sgd", "adam"], default="sgd")
    parser.add_argument("--lr", type=float, default=None, help="default 0.05 for SGD, 1e-3 for Adam")
    parser.add_argument("--momentum", type=float, default=0.9)
    parser.add_argument("--hidden", type=int, default=128)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--plot", metavar="FILE", help="write loss and accuracy curves to this PNG")
    parser.add_argument("--compare-torch", action="store_true",
                        help="train the same network from the same weights in PyTorch too")
    args = parser.parse_args()
    if args.lr is None:
        args.lr = 0.05 if args.optim == "sgd" else 1e-3
    return args


def load_data(seed):
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split

    digits = load_digits()  # 1,797 images of 8 x 8 pixels, inside the package
    x = (digits.data / 16.0).astype(np.float32)
    return train_test_split(x, digits.target, test_size=0.2, random_state=seed,
                            stratify=digits.target)


def quarn_trainer(model, args):
    model.to(args.dtype)
    loss_fn = nn.CrossEntropyLoss()
    if args.optim == "sgd":
        opt = optim.SGD(model.parameters(), lr=args.lr, momentum=args.momentum)
    else:
        opt = optim.Adam(model.parameters(), lr=args.lr)

    def step(xb, yb):
        opt.zero_grad()
        loss = loss_fn(model(Tensor(xb, dtype=args.dtype)), yb)
        loss.backward()
        opt.step()
        return loss.item()

    def accuracy(x, y):
        with quarn.no_grad():  # constant parameters: nothing is recorded
            logits = model(Tensor(x, dtype=args.dtype))
        return float((logits.to_numpy().astype(np.float32).argmax(axis=1) == y).mean())

    return step, accuracy


def torch_trainer(model, args):
    import torch

    torch.set_num_threads(1)  # quarn computes on the calling thread here too
    tmodel = torch.nn.Sequential(torch.nn.Linear(model[0].in_features, args.hidden), torch.nn.ReLU(),
                                 torch.nn.Linear(args.hidden, 10))
    tmodel.load_state_dict({k: torch.from_numpy(v) for k, v in model.state_dict().items()})
    if args.optim == "sgd":
        opt = torch.optim.SGD(tmodel.parameters(), lr=args.lr, momentum=args.momentum)
    else:
        opt = torch.optim.Adam(tmodel.parameters(), lr=args.lr)
    # float32 master weights, computed in the chosen dtype, like quarn's
    tdtype = getattr(torch, args.dtype)
    cast = torch.autocast("cpu", dtype=tdtype, enabled=args.dtype != "float32")

    def step(xb, yb):
        opt.zero_grad()
        with cast:
            logits = tmodel(torch.from_numpy(xb))
        loss = torch.nn.functional.cross_entropy(logits.float(), torch.from_numpy(yb))
        loss.backward()
        opt.step()
        return loss.item()

    def accuracy(x, y):
        with torch.no_grad(), cast:
            logits = tmodel(torch.from_numpy(x))
        return float((logits.float().numpy().argmax(axis=1) == y).mean())

    return step, accuracy, torch.__version__


def train(name, step, accuracy, data, args, bar_cls):
    """The batch order depends only on the seed, so two trainers given the
    same initial weights see the same batches."""
    x_train, x_test, y_train, y_test = data
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
                loss = step(x_train[idx], y_train[idx])
                losses.append(loss)
                running = loss if running is None else 0.95 * running + 0.05 * loss
                if i % 8 == 0:
                    bar.set_postfix(epoch=epoch + 1, loss=f"{running:.4f}", refresh=False)
                bar.update()
            history["seconds"].append(time.perf_counter() - t0)
            history["loss"].append(float(np.mean(losses)))
            history["accuracy"].append(accuracy(x_test, y_test))
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
    n_in, n_out = data[0].shape[1], 10
    quarn.manual_seed(args.seed)
    model = nn.Sequential(nn.Linear(n_in, args.hidden), nn.ReLU(), nn.Linear(args.hidden, n_out))
    print(f"quarn {quarn.__version__}: {n_in}-{args.hidden}-{n_out} MLP, {len(data[0])} training and "
          f"{len(data[1])} test images, batch {args.batch_size}, {args.epochs} epochs, {args.dtype}, "
          f"{args.optim} lr {args.lr}")

    runs = {}
    torch_run = None
    if args.compare_torch:
        try:
            torch_run = torch_trainer(model, args)  # copies the initial weights
        except ImportError:
            print("PyTorch is not installed; --compare-torch skipped")
    runs["quarn"] = train("quarn", *quarn_trainer(model, args), data, args, tqdm)
    if torch_run is not None:
        step, accuracy, version = torch_run
        runs[f"PyTorch {version}"] = train("torch", step, accuracy, data, args, tqdm)

    print()
    print(f"{'':<22} {'test accuracy':>14} {'time per epoch':>15}")
    for name, history in runs.items():
        per_epoch = float(np.median(history["seconds"]))
        print(f"{name:<22} {100 * history['accuracy'][-1]:13.1f}% {per_epoch * 1e3:12.1f} ms")
    if args.plot:
        plot(args.plot, runs, args.dtype)


if __name__ == "__main__":
    main()
