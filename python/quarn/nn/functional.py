"""Functions on tensors, the compiled module's own objects re-exported."""

import quarn_core as _core

relu = _core.nn.functional.relu
log_softmax = _core._functions.log_softmax
softmax = _core._functions.softmax
cross_entropy = _core._functions.cross_entropy
mse_loss = _core._functions.mse_loss
silu = _core._functions.silu
gelu = _core._functions.gelu
leaky_relu = _core._functions.leaky_relu
elu = _core._functions.elu
softplus = _core._functions.softplus
hardtanh = _core._functions.hardtanh
relu6 = _core._functions.relu6

from .._indexing import embedding  # noqa: E402 - after the compiled names, which need nothing

# Convolutions and pooling over NCHW tensors, with PyTorch's argument names.
# float16 and bfloat16 are widened to float32, accumulated in float32 (the
# convolutions through the same GEMM as matmul) and rounded once per output
# element, the bias added before that rounding; so are their gradients.
# max_pool2d sends each window's gradient to its first largest element in
# row-major order (its first NaN, if it holds one).
conv1d = _core._functions.conv1d
conv2d = _core._functions.conv2d
conv_transpose2d = _core._functions.conv_transpose2d
max_pool2d = _core._functions.max_pool2d
avg_pool2d = _core._functions.avg_pool2d
adaptive_avg_pool2d = _core._functions.adaptive_avg_pool2d

__all__ = ["cross_entropy", "log_softmax", "mse_loss", "relu", "softmax"]
__all__ += ["embedding"]
__all__ += ["adaptive_avg_pool2d", "avg_pool2d", "conv1d", "conv2d", "conv_transpose2d", "max_pool2d"]
__all__ += ["elu", "gelu", "hardtanh", "leaky_relu", "relu6", "silu", "softplus"]
