"""Optimisers that update quarn.nn.Parameter master copies in place, and
learning-rate schedules."""

from . import lr_scheduler
from .adam import Adam, AdamW
from .optimizer import Optimizer
from .sgd import SGD

__all__ = ["Adam", "AdamW", "Optimizer", "SGD", "lr_scheduler"]
