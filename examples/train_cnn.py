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
The loop is train_mlp.py's (whose training and plotting code this example
shares): PyTorch's loop, on quarn's per-step graph.
"""

import argparse

import numpy as np

import quarn
from quarn import Tensor, nn, optim
from train_mlp import plot, summary, train


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


def make_model(lib, c1):
    """The same layers in quarn.nn or torch.nn."""
    c2 = 2 * c1
    return lib.Sequential(
        lib.Conv2d(1, c1, 3, padding=1), lib.ReLU(), lib.MaxPool2d(2),
        lib.Conv2d(c1, c2, 3, padding=1), lib.ReLU(), lib.MaxPool2d(2),
        lib.Flatten(), lib.Linear(4 * c2, 10))


def quarn_trainer(model, args):
    model.to(args.dtype)
    loss_fn = nn.CrossEntropyLoss()
    opt = optim.SGD(model.parameters(), lr=args.lr, momentum=args.momentum)

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
    tmodel = make_model(torch.nn, args.channels)
    tmodel.load_state_dict({k: torch.from_numpy(v) for k, v in model.state_dict().items()})
    opt = torch.optim.SGD(tmodel.parameters(), lr=args.lr, momentum=args.momentum)
    # float32 master weights, computed in the chosen dtype, like quarn's
    cast = torch.autocast("cpu", dtype=getattr(torch, args.dtype), enabled=args.dtype != "float32")

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


def main():
    args = parse_args()
    from tqdm import tqdm

    data = load_data(args.seed)
    quarn.manual_seed(args.seed)
    model = make_model(nn, args.channels)
    c1 = args.channels
    print(f"quarn {quarn.__version__}: CNN conv{c1}-pool-conv{2 * c1}-pool-linear10, {len(data[0])} training and "
          f"{len(data[1])} test images, batch {args.batch_size}, {args.epochs} epochs, {args.dtype}")

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
    summary(runs)
    if args.plot:
        plot(args.plot, runs, args.dtype)


if __name__ == "__main__":
    main()
