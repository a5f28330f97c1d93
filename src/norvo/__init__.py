"""norvo: encrypted data containers shared through signed key envelopes.

This package module is a small stand-in: the library's modules are C++ extensions
below it; it only gives the package logger a quiet default handler.
"""
import importlib
import logging

# Every extension module of the library refuses an interpreter other than the main one. One
# is loaded first, so that a sub-interpreter is refused before any module below loads a
# library (SQLAlchemy's compiled parts, say) that the process can then load nowhere else.
importlib.import_module("norvo.utils")

__version__ = "0.1.0"

logging.getLogger(__name__).addHandler(logging.NullHandler())
