"""Functions on tensors, the compiled module's own objects re-exported."""

import quarn_core as _core

relu = _core.nn.functional.relu
log_softmax = _core._functions.log_softmax
softmax = _core._functions.softmax
cross_entropy = _core._functions.cross_entropy
mse_loss = _core._functions.mse_loss

from .._indexing import embedding  # noqa: E402 - after the compiled names, which need nothing

__all__ = ["cross_entropy", "log_softmax", "mse_loss", "relu", "softmax"]
__all__ += ["embedding"]
