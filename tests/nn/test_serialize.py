"""quarn.save / quarn.load: nested state dicts survive the trip with their
types, the file is plain safetensors, and damaged files are refused."""

import json
import math
import struct

import ml_dtypes
import numpy as np
import pytest

import quarn
from quarn import Tensor, nn, optim


def test_nested_state_round_trips_with_types(tmp_path, rng):
    model = nn.Sequential(nn.Linear(3, 4), nn.ReLU(), nn.Linear(4, 2))
    opt = optim.Adam(model.parameters(), lr=0.01)
    opt.zero_grad()
    model(Tensor(rng.standard_normal((2, 3)).astype(np.float32))).backward()
    opt.step()
    obj = {
        "model": model.state_dict(),
        "optim": opt.state_dict(),
        "epoch": 3, "best": 0.25, "nan": math.nan, "flag": True, "note": "ok", "none": None,
        "half": rng.standard_normal(5).astype(ml_dtypes.bfloat16),
        "tensor": Tensor([[1.5, -2.0]], dtype="bfloat16"),
        "pair": (1, [2.5, np.arange(3, dtype=np.int64)]),
    }
    path = tmp_path / "state.safetensors"
    quarn.save(obj, path)
    back = quarn.load(path)
    assert back["epoch"] == 3 and back["best"] == 0.25 and math.isnan(back["nan"])
    assert back["flag"] is True and back["note"] == "ok" and back["none"] is None
    for k, v in obj["model"].items():
        np.testing.assert_array_equal(back["model"][k], v)
    assert back["half"].dtype == ml_dtypes.bfloat16
    np.testing.assert_array_equal(back["half"], obj["half"])
    assert isinstance(back["tensor"], Tensor) and back["tensor"].dtype == "bf16"
    assert back["tensor"].to_numpy().tolist() == [[1.5, -2.0]]
    assert back["pair"][0] == 1 and isinstance(back["pair"], tuple)
    assert back["pair"][1][1].dtype == np.int64
    assert list(back["optim"]["state"]) == [0, 1, 2, 3]            # int keys stay ints
    restored = optim.Adam(model.parameters(), lr=0.01)
    restored.load_state_dict(back["optim"])
    assert restored.state[next(iter(model.parameters()))]["step"] == 1


def test_file_is_plain_safetensors(tmp_path):
    path = tmp_path / "w.safetensors"
    quarn.save({"w": np.array([[1.0, 2.0]], np.float32), "b": np.array([1.0], ml_dtypes.bfloat16)}, path)
    raw = path.read_bytes()
    (n,) = struct.unpack("<Q", raw[:8])
    header = json.loads(raw[8:8 + n])
    assert header["w"]["dtype"] == "F32" and header["w"]["shape"] == [1, 2]
    assert header["b"]["dtype"] == "BF16"
    begin, end = header["w"]["data_offsets"]
    assert np.frombuffer(raw[8 + n + begin:8 + n + end], "<f4").tolist() == [1.0, 2.0]
    st = pytest.importorskip("safetensors.numpy")
    assert st.load_file(str(path))["w"].tolist() == [[1.0, 2.0]]


@pytest.mark.parametrize("damage", [
    lambda raw: raw[:5],                                    # shorter than the length field
    lambda raw: struct.pack("<Q", 10 ** 9) + raw[8:],        # header past the end
    lambda raw: raw[:8] + b"x" + raw[9:],                    # header not JSON
    lambda raw: raw[:-2],                                    # data cut short
    lambda raw: raw.replace(b'"shape":[4]', b'"shape":[4294967296,4294967296]'),   # a product that wraps
    lambda raw: raw.replace(b'"F32"', b'"X99"'),             # an unknown dtype
])
def test_damaged_files_are_refused(tmp_path, damage):
    path = tmp_path / "x.safetensors"
    quarn.save({"w": np.zeros(4, np.float32)}, path)
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(ValueError):
        quarn.load(path)


@pytest.mark.parametrize("obj, message", [
    ({"f": lambda: 0}, "cannot store function"),
    ({(1, 2): 0}, "dict keys"),
    ({"a/b": 0}, "contains '/'"),
])
def test_unsavable_objects_are_refused(tmp_path, obj, message):
    with pytest.raises((TypeError, ValueError), match=message):
        quarn.save(obj, tmp_path / "x.safetensors")
    assert not list(tmp_path.iterdir())
