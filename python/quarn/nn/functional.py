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

__all__ = ["cross_entropy", "log_softmax", "mse_loss", "relu", "softmax",
           "elu", "gelu", "hardtanh", "leaky_relu", "relu6", "silu", "softplus"]
