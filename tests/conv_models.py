"""Float64 NumPy models of the convolutions and pooling, written from their
definitions (a window loop per output element), for the table test and
tests/ops/test_conv.py."""

import numpy as np


def pair(v):
    return (v, v) if np.isscalar(v) else tuple(v)


def conv2d(x, w, b=None, stride=1, padding=0, dilation=1, groups=1):
    """padding: an int, a pair, or ((top, bottom), (left, right))."""
    (sh, sw), (dh, dw) = pair(stride), pair(dilation)
    if isinstance(padding, str):
        kh, kw = w.shape[2:]
        if padding == "valid":
            padding = ((0, 0), (0, 0))
        else:  # "same": the odd one of an even total after
            th, tw = dh * (kh - 1), dw * (kw - 1)
            padding = ((th // 2, th - th // 2), (tw // 2, tw - tw // 2))
    p = pair(padding)
    p = tuple((q, q) if np.isscalar(q) else q for q in p)
    x = np.pad(x, ((0, 0), (0, 0), p[0], p[1]))
    n, c, h, wd = x.shape
    o, cg, kh, kw = w.shape
    og = o // groups
    oh = (h - dh * (kh - 1) - 1) // sh + 1
    ow = (wd - dw * (kw - 1) - 1) // sw + 1
    y = np.zeros((n, o, oh, ow))
    for i in range(kh):
        for j in range(kw):
            patch = x[:, :, i * dh:i * dh + sh * (oh - 1) + 1:sh, j * dw:j * dw + sw * (ow - 1) + 1:sw]
            for g in range(groups):
                y[:, g * og:(g + 1) * og] += np.einsum(
                    "nchw,oc->nohw", patch[:, g * cg:(g + 1) * cg], w[g * og:(g + 1) * og, :, i, j])
    if b is not None:
        y += b[None, :, None, None]
    return y


def conv1d(x, w, b=None, stride=1, padding=0, dilation=1, groups=1):
    if not isinstance(padding, str):
        padding = (0, padding)
    y = conv2d(x[:, :, None, :], w[:, :, None, :], b, (1, stride), padding, (1, dilation), groups)
    return y[:, :, 0, :]


def conv_transpose2d(x, w, b=None, stride=1, padding=0, output_padding=0, groups=1, dilation=1):
    (sh, sw), (ph, pw), (oph, opw), (dh, dw) = pair(stride), pair(padding), pair(output_padding), pair(dilation)
    n, c, h, wd = x.shape
    _, og, kh, kw = w.shape
    cg = c // groups
    full_h = (h - 1) * sh + dh * (kh - 1) + 1 + oph
    full_w = (wd - 1) * sw + dw * (kw - 1) + 1 + opw
    y = np.zeros((n, og * groups, full_h, full_w))
    for i in range(kh):
        for j in range(kw):
            for g in range(groups):
                part = np.einsum("nchw,co->nohw", x[:, g * cg:(g + 1) * cg], w[g * cg:(g + 1) * cg, :, i, j])
                y[:, g * og:(g + 1) * og, i * dh:i * dh + sh * (h - 1) + 1:sh, j * dw:j * dw + sw * (wd - 1) + 1:sw] += part
    y = y[:, :, ph:full_h - ph, pw:full_w - pw]
    if b is not None:
        y = y + b[None, :, None, None]
    return y


def _pool_extent(size, k, s, p, d, ceil_mode):
    room = size + 2 * p - d * (k - 1) - 1
    out = (-(-room // s) if ceil_mode else room // s) + 1
    if ceil_mode and (out - 1) * s >= size + p:
        out -= 1
    return out


def max_pool2d(x, kernel_size, stride=None, padding=0, dilation=1, ceil_mode=False):
    (kh, kw), (ph, pw), (dh, dw) = pair(kernel_size), pair(padding), pair(dilation)
    sh, sw = pair(kernel_size if stride is None else stride)
    n, c, h, w = x.shape
    oh, ow = _pool_extent(h, kh, sh, ph, dh, ceil_mode), _pool_extent(w, kw, sw, pw, dw, ceil_mode)
    y = np.full((n, c, oh, ow), -np.inf)
    for a in range(oh):
        for b in range(ow):
            rows = [a * sh - ph + i * dh for i in range(kh) if 0 <= a * sh - ph + i * dh < h]
            cols = [b * sw - pw + j * dw for j in range(kw) if 0 <= b * sw - pw + j * dw < w]
            y[:, :, a, b] = x[:, :, rows][:, :, :, cols].max(axis=(2, 3))
    return y


def avg_pool2d(x, kernel_size, stride=None, padding=0, ceil_mode=False, count_include_pad=True):
    (kh, kw), (ph, pw) = pair(kernel_size), pair(padding)
    sh, sw = pair(kernel_size if stride is None else stride)
    n, c, h, w = x.shape
    oh, ow = _pool_extent(h, kh, sh, ph, 1, ceil_mode), _pool_extent(w, kw, sw, pw, 1, ceil_mode)
    y = np.zeros((n, c, oh, ow))
    for a in range(oh):
        for b in range(ow):
            r0, c0 = a * sh - ph, b * sw - pw
            r1, c1 = min(r0 + kh, h + ph), min(c0 + kw, w + pw)
            padded = (r1 - r0) * (c1 - c0)
            rows = range(max(r0, 0), min(r1, h))
            cols = range(max(c0, 0), min(c1, w))
            total = x[:, :, list(rows)][:, :, :, list(cols)].sum(axis=(2, 3))
            y[:, :, a, b] = total / (padded if count_include_pad else len(rows) * len(cols))
    return y


def adaptive_avg_pool2d(x, output_size):
    oh, ow = pair(output_size)
    n, c, h, w = x.shape
    return x.reshape(n, c, oh, h // oh, ow, w // ow).mean(axis=(3, 5))
