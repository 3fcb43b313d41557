"""klimora: the radiation that reaches a person outdoors.

The model lives in the native module :mod:`klimora.Strahlkit`.
"""

__version__ = "0.1.0"
