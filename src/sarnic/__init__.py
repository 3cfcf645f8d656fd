"""sarnic: the native query compiler and row checker of an asynchronous ORM."""

from sarnic._native import *  # noqa: F401,F403
from sarnic._native import __all__ as _native_all

__all__ = list(_native_all)
