"""Functions on tensors, the compiled module's own objects re-exported."""

import quarn_core as _core

relu = _core.nn.functional.relu

__all__ = ["relu"]
