"""The P-384 key loaders, on bytes and on text."""

from .common import Violation, crypto

_PEM_PUBLIC_MSG = "Public Key is not an EC P384 key in PEM format."
_PEM_PRIVATE_MSG = "Private Key is not an EC P384 in PEM foramt."
_DER_PUBLIC_MSG = "Public Key is not an EC P384 key in DER format."


def _check_loader(fn, arg, message, private):
    from cryptography.exceptions import UnsupportedAlgorithm
    from cryptography.hazmat.primitives.asymmetric import ec

    try:
        key = fn(arg)
    except UnicodeError:
        return  # text that cannot be encoded as UTF-8 passes through unchanged
    except ValueError as exc:
        if str(exc) != message:
            raise Violation(f"refusal with the wrong message: {exc!r}") from exc
        return
    except UnsupportedAlgorithm:
        return  # a key type or curve the crypto library does not support passes through
    want = ec.EllipticCurvePrivateKey if private else ec.EllipticCurvePublicKey
    if not isinstance(key, want) or not isinstance(key.curve, ec.SECP384R1):
        raise Violation(f"loader accepted {type(key).__name__} on {getattr(key, 'curve', None)!r}")


def _pem_argument(data):
    # First byte chooses bytes or text; text is what key records and key files hand over.
    if not data:
        return data
    body = data[1:]
    if data[0] & 1:
        return body.decode("utf-8", "surrogateescape")
    return body


def target_p384_pem_public(data):
    p384 = crypto.p384
    _check_loader(p384.load_pem_public_key, _pem_argument(data), _PEM_PUBLIC_MSG, private=False)


def target_p384_pem_private(data):
    p384 = crypto.p384
    _check_loader(p384.load_pem_private_key, _pem_argument(data), _PEM_PRIVATE_MSG, private=True)


def target_p384_der_public(data):
    p384 = crypto.p384
    _check_loader(p384.load_der_public_key, data, _DER_PUBLIC_MSG, private=False)
