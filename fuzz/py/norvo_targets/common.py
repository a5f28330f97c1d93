"""What every target shares: the modules the targets exercise, the errors of the byte
formats, the little-endian fields, and `Reader`, which takes structured values from the
fuzzer's bytes."""

import struct

import construct

# Every module a target exercises is imported here: a module that does not import fails the
# fuzzer and the tests at once instead of leaving its targets quietly idle.
import norvo.access
import norvo.crypto
import norvo.crypto.aes
import norvo.crypto.container
import norvo.crypto.envelope
import norvo.crypto.hash
import norvo.crypto.hmac
import norvo.crypto.ies
import norvo.crypto.keys
import norvo.crypto.pbkdf2
import norvo.crypto.strongbox
import norvo.event
import norvo.providers
import norvo.providers.ofs
import norvo.providers.ofs.burrow
import norvo.providers.ofs.database
import norvo.providers.ofs.models
import norvo.providers.server
import norvo.providers.server.aws
import norvo.providers.server.client
import norvo.providers.server.events

crypto = norvo.crypto
aes = norvo.crypto.aes
container_mod = norvo.crypto.container
envelope_mod = norvo.crypto.envelope
ies_mod = norvo.crypto.ies
keys_mod = norvo.crypto.keys
strongbox_mod = norvo.crypto.strongbox


class Violation(Exception):
    """The library returned, but what it returned breaks a documented rule."""


def _construct_error():
    return construct.ConstructError


def _format_errors():
    """What a failed parse of one of the byte formats may raise.

    The documents leave the type to the implementation (the format library's own error);
    the C++ codecs raise construct's errors or a ValueError. Both are allowed, nothing else.
    """
    return (_construct_error(), ValueError)


def _u64(v):
    return struct.pack("<Q", v)


def _var(b):
    return _u64(len(b)) + b


class Reader:
    """Takes structured values from the fuzzer's bytes, as atheris' FuzzedDataProvider does,
    so that the targets run without atheris."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def take(self, n):
        b = self.data[self.pos : self.pos + n]
        self.pos += len(b)
        return b

    def chunk(self, limit=512):
        """A length-prefixed piece: one or two bytes of length, then that many bytes."""
        n = self.byte()
        if n & 0x80:
            n = ((n & 0x7F) << 8) | self.byte()
        return self.take(min(n, limit))

    def rest(self):
        b = self.data[self.pos :]
        self.pos = len(self.data)
        return b


def chunk(b):
    """The inverse of `Reader.chunk`, for writing structured seeds."""
    if len(b) < 0x80:
        return bytes([len(b)]) + b
    assert len(b) < 0x8000
    return bytes([0x80 | (len(b) >> 8), len(b) & 0xFF]) + b
