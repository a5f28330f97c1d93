"""Key exchange: integrated-encryption messages and the envelopes that carry container keys."""

import base64
import uuid

import norvo.access

from .common import Reader, Violation, _construct_error, _format_errors, envelope_mod, ies_mod
from .material import _ies_message, rings


def _ies_errors():
    from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm

    # The format error; a key index the ring lacks (KeyError); a carried key that is no P-384
    # key in DER, or a counter block AES refuses (ValueError); a bad signature. A carried key
    # of a type or curve the crypto library does not know is its UnsupportedAlgorithm, which
    # the DER loader passes through unchanged.
    return (_construct_error(), KeyError, ValueError, InvalidSignature, UnsupportedAlgorithm)


def target_ies_decrypt(data):
    """`ies.decrypt` on arbitrary bytes, and on fuzzed messages that the fixed sender signed."""
    ies = ies_mod
    if not data:
        return
    sender, recipient = rings()
    mode = data[0]
    sender_keys = sender if mode & 1 else None
    if mode & 2:
        r = Reader(data[1:])
        payload = r.chunk(600)
        msg, sound = _ies_message(r, payload)
        msg += r.rest()
    else:
        msg, sound, payload = data[1:], False, None
    try:
        out = ies.decrypt(msg, recipient, sender_keys=sender_keys)
    except _ies_errors():
        if sound:
            raise
        return
    if sound and out != payload:
        raise Violation("a sound message did not decrypt to its payload")


def target_envelope(data):
    """`Envelope` from base64 text or bytes, then `get_container_keys`."""
    envelope = envelope_mod
    if not data:
        return
    sender, recipient = rings()
    mode = data[0]
    sound = False
    if mode & 2:
        # Structured: a message signed by the fixed sender whose payload is a fuzzed key record.
        r = Reader(data[1:])
        payload = r.chunk(600)
        msg, sound = _ies_message(r, payload)
        text = base64.b64encode(msg)
    else:
        text = data[1:]
        if not text:
            return
    if mode & 4:
        text = text.decode("latin-1")  # text as Access hands it over; non-ASCII is refused
    try:
        if mode & 8:
            # The way the local store hands an envelope back: as an access's key.
            e = norvo.access.Access(uuid.UUID("66666666-7777-4888-9999-aaaaaaaaaaaa"), key=text).key_blob
        else:
            e = envelope.Envelope(envelope_data=text)
    except (ValueError, _construct_error()):
        if sound:
            raise
        return
    raw = e.to_bytes()
    if base64.b64decode(e.b64) != raw or e != envelope.Envelope(e.b64) or repr(e) != repr(raw):
        raise Violation("envelope forms disagree")
    try:
        keys = e.get_container_keys(recipient, sender_keys=sender if mode & 1 else None)
    except _format_errors() + (AssertionError,):
        # A payload too short for a key record or with an empty cipher key, or a record whose
        # indexes are not 0.
        return
    except _ies_errors():
        if sound:
            raise
        return
    if keys.cipher_index != 0 or keys.mac_index != 0:
        raise Violation("container keys with non-zero indexes were handed out")
