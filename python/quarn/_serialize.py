"""quarn.save and quarn.load: state dicts in the safetensors layout.

The file is an 8-byte little-endian header length, a JSON header naming each
array's dtype, shape and byte range, and the raw little-endian bytes. Other
tools read it as it is, it has a bfloat16 type of its own (NumPy's .npz has
none: a bfloat16 array there needs a pickled dtype or a reinterpretation the
reader must know about), and loading it runs no code: the header is JSON and
the arrays are copied out of bytes.

Arrays are named by their path in the saved object, joined with "/" (so a
model's "fc1.weight" stays readable); the nesting itself, and the numbers,
strings and None between the arrays, go into the header's "__metadata__"
under "quarn.structure", as JSON.
"""

from __future__ import annotations

import json
import math
import os
import struct
from typing import Any

import numpy as np

import quarn_core as _core

_STRUCTURE = "quarn.structure"
_FORMAT = "quarn.format"

# NumPy dtype name -> safetensors dtype tag.
_TAGS = {"float32": "F32", "float16": "F16", "float64": "F64", "bfloat16": "BF16", "int8": "I8",
         "int16": "I16", "int32": "I32", "int64": "I64", "uint8": "U8", "uint16": "U16", "uint32": "U32",
         "uint64": "U64", "bool": "BOOL"}
_NAMES = {tag: name for name, tag in _TAGS.items()}
_TENSOR_DTYPES = {"f32": "float32", "f16": "float16", "bf16": "bfloat16", "bool": "bool"}


def _numpy_dtype(name: str) -> np.dtype:
    if name == "bfloat16":
        import ml_dtypes

        return np.dtype(ml_dtypes.bfloat16)
    return np.dtype(name)


def _flatten(obj: Any, path: str, arrays: dict[str, np.ndarray]) -> Any:
    from .nn.parameter import Parameter

    if isinstance(obj, dict):
        out = {}
        for k, v in obj.items():
            if isinstance(k, bool) or not isinstance(k, (str, int)):
                raise TypeError(f"quarn.save takes dict keys of type str or int, not {type(k).__name__}")
            name = str(k)
            if "/" in name:
                raise ValueError(f"dict key {name!r} contains '/', which quarn.save uses to join paths")
            out[("i:" if isinstance(k, int) else "s:") + name] = _flatten(v, f"{path}/{name}" if path else name,
                                                                          arrays)
        return {"dict": out}
    if isinstance(obj, (list, tuple)):
        items = [_flatten(v, f"{path}/{i}" if path else str(i), arrays) for i, v in enumerate(obj)]
        return {"tuple" if isinstance(obj, tuple) else "list": items}
    if isinstance(obj, _core.Tensor):
        arrays[path] = obj.to_numpy()
        return {"tensor": path, "dtype": _TENSOR_DTYPES[obj.dtype]}
    if isinstance(obj, Parameter):
        arrays[path] = obj.data
        return {"array": path}
    if isinstance(obj, np.ndarray):
        if obj.dtype.name not in _TAGS:
            raise TypeError(f"quarn.save cannot store arrays of dtype {obj.dtype}")
        arrays[path] = obj
        return {"array": path}
    if isinstance(obj, np.generic):
        obj = obj.item()
    if obj is None or isinstance(obj, (bool, int, str)):
        return {"value": obj}
    if isinstance(obj, float):
        # JSON has no NaN or infinity; repr() round-trips every float.
        return {"float": repr(obj)}
    raise TypeError(f"quarn.save cannot store {type(obj).__name__} (only dicts, lists, tuples, tensors, "
                    "arrays, numbers, str and None)")


def save(obj: Any, path: str | os.PathLike[str]) -> None:
    """Writes a state dict (nested dicts, lists and tuples of tensors,
    NumPy arrays, parameters, numbers, strings and None) to `path`."""
    arrays: dict[str, np.ndarray] = {}
    structure = _flatten(obj, "", arrays)
    if "" in arrays:
        arrays["."] = arrays.pop("")
        structure = {"tensor": ".", "dtype": structure["dtype"]} if "tensor" in structure else {"array": "."}
    header: dict[str, Any] = {"__metadata__": {_FORMAT: "1", _STRUCTURE: json.dumps(structure)}}
    offset = 0
    blobs = []
    for name, arr in arrays.items():
        arr = np.ascontiguousarray(arr)
        data = arr.astype(arr.dtype.newbyteorder("<"), copy=False).tobytes()
        header[name] = {"dtype": _TAGS[arr.dtype.name], "shape": list(arr.shape),
                        "data_offsets": [offset, offset + len(data)]}
        offset += len(data)
        blobs.append(data)
    text = json.dumps(header, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 8)  # the data starts 8-byte aligned
    tmp = f"{os.fspath(path)}.tmp{os.getpid()}"
    try:
        with open(tmp, "wb") as f:
            f.write(struct.pack("<Q", len(text)))
            f.write(text)
            for data in blobs:
                f.write(data)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def _rebuild(node: Any, arrays: dict[str, np.ndarray]) -> Any:
    from ._tensor import Tensor

    if not isinstance(node, dict) or len(node) not in (1, 2):
        raise ValueError("not a quarn save file: bad structure entry")
    if "dict" in node:
        out: dict[Any, Any] = {}
        for k, v in node["dict"].items():
            kind, name = k[:2], k[2:]
            out[int(name) if kind == "i:" else name] = _rebuild(v, arrays)
        return out
    if "list" in node:
        return [_rebuild(v, arrays) for v in node["list"]]
    if "tuple" in node:
        return tuple(_rebuild(v, arrays) for v in node["tuple"])
    if "tensor" in node:
        return Tensor(arrays[node["tensor"]], dtype=node["dtype"])
    if "array" in node:
        return arrays[node["array"]]
    if "float" in node:
        return float(node["float"])
    if "value" in node:
        return node["value"]
    raise ValueError("not a quarn save file: unknown structure entry")


def load(path: str | os.PathLike[str]) -> Any:
    """Reads what quarn.save wrote: arrays come back as NumPy arrays (float32
    master copies of parameters included), tensors as quarn.Tensor without
    gradients. A safetensors file from elsewhere loads as a flat dict of
    NumPy arrays."""
    with open(path, "rb") as f:
        raw = f.read()
    if len(raw) < 8:
        raise ValueError(f"{os.fspath(path)!r} is not a safetensors file (too short)")
    (n,) = struct.unpack("<Q", raw[:8])
    if n > len(raw) - 8:
        raise ValueError(f"{os.fspath(path)!r} is not a safetensors file (header past the end)")
    try:
        header = json.loads(raw[8:8 + n])
    except (UnicodeDecodeError, json.JSONDecodeError) as err:
        raise ValueError(f"{os.fspath(path)!r} has an unreadable header: {err}") from None
    if not isinstance(header, dict):
        raise ValueError(f"{os.fspath(path)!r} has an unreadable header")
    meta = header.pop("__metadata__", None) or {}
    body = memoryview(raw)[8 + n:]
    arrays = {}
    for name, info in header.items():
        try:
            dtype = _numpy_dtype(_NAMES[info["dtype"]]).newbyteorder("<")
            shape = tuple(int(e) for e in info["shape"])
            begin, end = (int(e) for e in info["data_offsets"])
        except (KeyError, TypeError, ValueError):
            raise ValueError(f"{os.fspath(path)!r}: bad entry for {name!r}") from None
        count = math.prod(shape)  # Python's ints: a hostile shape cannot wrap around
        if any(e < 0 for e in shape) or not 0 <= begin <= end <= len(body) or end - begin != count * dtype.itemsize:
            raise ValueError(f"{os.fspath(path)!r}: the bytes of {name!r} do not fit its shape or the file")
        arr = np.frombuffer(body[begin:end], dtype=dtype).reshape(shape)
        arrays[name] = arr.astype(dtype.newbyteorder("="), copy=True)
    if _STRUCTURE not in meta:
        return arrays
    try:
        return _rebuild(json.loads(meta[_STRUCTURE]), arrays)
    except (KeyError, json.JSONDecodeError) as err:
        raise ValueError(f"{os.fspath(path)!r}: the structure does not match the arrays ({err})") from None
