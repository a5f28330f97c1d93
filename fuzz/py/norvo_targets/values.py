"""Every byte-taking entry point given values of other types and shapes."""

import norvo.crypto.hmac

from .common import aes, container_mod, crypto, envelope_mod, ies_mod, strongbox_mod
from .material import FIXED_CIPHER_KEY, FIXED_MAC_KEY, fixed_container_keys, rings


class _Bytesish(object):
    def __init__(self, b):
        self.b = b

    def __bytes__(self):
        return self.b


class _BytesSub(bytes):
    pass


class _StrSub(str):
    pass


def _resize(buf):
    if isinstance(buf, bytearray):
        try:
            del buf[:]
            buf.extend(b"\xee" * 70000)
        except BufferError:
            pass  # the library holds the buffer while it reads it, as it should


class _ResizingKeys(object):
    def __init__(self, buf):
        self.buf = buf

    @property
    def mac_key(self):
        _resize(self.buf)
        return FIXED_MAC_KEY

    @property
    def cipher_key(self):
        _resize(self.buf)
        return FIXED_CIPHER_KEY


class _ResizingRing(dict):
    def __init__(self, buf, ring):
        dict.__init__(self, ring)
        self.buf = buf

    def __getitem__(self, key):
        _resize(self.buf)
        return dict.__getitem__(self, key)

    def __bool__(self):
        _resize(self.buf)
        return True


def _odd_value(kind, payload):
    import array

    makers = (
        lambda: payload,
        lambda: bytearray(payload),
        lambda: memoryview(payload),
        lambda: memoryview(payload)[::2],  # not contiguous
        lambda: memoryview(bytearray(payload))[1:],
        lambda: payload.decode("latin-1"),
        lambda: payload.decode("utf-8", "surrogateescape"),
        lambda: _BytesSub(payload),
        lambda: _StrSub(payload.decode("latin-1")),
        lambda: _Bytesish(payload),
        lambda: array.array("I", payload[: len(payload) // 4 * 4]),
        lambda: memoryview(payload[: len(payload) // 8 * 8]).cast("Q"),
        lambda: None,
        lambda: int.from_bytes(payload[:16] or b"\x00", "little") - (1 << 64),
        lambda: len(payload) * 1.5,
        lambda: [payload],
        lambda: {"data": payload},
        lambda: True,
        lambda: object(),
        lambda: 2**200,
    )
    return makers[kind % len(makers)]()


def _entry_points():
    def container_data(v):
        return container_mod.Container(data=v)

    def container_keys(v):
        return container_mod.ContainerKeys.from_bytes(v)

    def new_keys(v):
        k = container_mod.ContainerKeys(cipher_key=v, mac_key=v)
        return bytes(k)

    def section(v):
        return container_mod._decrypt(v, fixed_container_keys())

    def payload(v):
        C = container_mod
        p = C.JSONPayload(enc_data=v)
        p.decrypt(fixed_container_keys())
        return p.data

    def container_decrypt_keys(v):
        C = container_mod
        c = C.Container(header={}, content=b"x")
        keys = c.encrypt()
        d = C.Container(data=c.data)
        return d.decrypt(v) if v else d.decrypt(keys)

    def keyfile_version(v):
        return strongbox_mod.KeyFile(enc_data=v).version

    def keyfile_rescue(v):
        return strongbox_mod.KeyFile(enc_data=v).rescue.data

    def rescue_passphrase(v):
        S = strongbox_mod
        r = S.KeyFileRescue(enc_data=b"\x00" * 8, version=v)
        return r.version

    def ies_decrypt(v):
        sender, recipient = rings()
        return ies_mod.decrypt(v, recipient)

    def ies_parse(v):
        return ies_mod.IESStruct.parse(v)

    def kf_parse(v):
        return strongbox_mod.KF.parse(v)

    def kfsection_parse(v):
        return strongbox_mod.KFSection.parse(v)

    def envelope(v):
        e = envelope_mod.Envelope(v)
        return e.b64

    def pem_public(v):
        return crypto.p384.load_pem_public_key(v)

    def pem_private(v):
        return crypto.p384.load_pem_private_key(v)

    def der_public(v):
        return crypto.p384.load_der_public_key(v)

    def hmac_verify(v):
        return norvo.crypto.hmac.verify(v, v, v)

    def aes_decrypt(v):
        return aes.decrypt(iv=v, cipher_key=v, data=v)

    def section_reentrant(v):
        # The keys' attributes resize the caller's buffer while the section is being read.
        buf = bytearray(v) if isinstance(v, (bytes, bytearray)) else v
        return container_mod._decrypt(buf, _ResizingKeys(buf))

    def ies_reentrant(v):
        buf = bytearray(v) if isinstance(v, (bytes, bytearray)) else v
        sender, recipient = rings()
        return ies_mod.decrypt(buf, _ResizingRing(buf, recipient), sender_keys=_ResizingRing(buf, sender))

    return (
        container_data, container_keys, new_keys, section, payload, container_decrypt_keys,
        keyfile_version, keyfile_rescue, rescue_passphrase, ies_decrypt, ies_parse, kf_parse,
        kfsection_parse, envelope, pem_public, pem_private, der_public, hmac_verify, aes_decrypt,
        section_reentrant, ies_reentrant,
    )


def target_value_types(data):
    """Every byte-taking entry point given a value of another type or shape: a buffer that is
    not bytes, not contiguous or of wider items, text, numbers out of range, containers,
    objects. Any Python exception is fine here; the interpreter must not crash, and a
    SystemError (an error raised without being set, a result without a value) is a fault."""
    if len(data) < 2:
        return
    points = _entry_points()
    point = points[data[0] % len(points)]
    value = _odd_value(data[1], data[2:])
    try:
        point(value)
    except SystemError:
        raise
    except Exception:
        pass
