"""norvo: encrypted data containers shared through signed key envelopes.

This package module is a small stand-in: the library's modules are C++ extensions
below it; it only gives the package logger a quiet default handler.
"""
import logging

__version__ = "0.1.0"

logging.getLogger(__name__).addHandler(logging.NullHandler())
