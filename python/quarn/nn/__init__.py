"""Neural-network building blocks: parameters, modules, layers, activations
and losses, and the functions of ``quarn.nn.functional``."""

from . import functional
from .layers import (
    GELU, AvgPool2d, Conv2d, CrossEntropyLoss, Dropout, Embedding, Flatten, LayerNorm, LeakyReLU, Linear,
    LogSoftmax, MaxPool2d, MSELoss, ReLU, SiLU, Sigmoid, Softmax, Tanh,
)
from .module import Module, ModuleList, Sequential
from .parameter import Parameter

__all__ = [
    "AvgPool2d", "Conv2d", "CrossEntropyLoss", "Dropout", "Embedding", "Flatten", "GELU", "LayerNorm",
    "LeakyReLU", "Linear", "LogSoftmax", "MSELoss", "MaxPool2d", "Module", "ModuleList", "Parameter", "ReLU",
    "SiLU", "Sequential", "Sigmoid", "Softmax", "Tanh", "functional",
]
