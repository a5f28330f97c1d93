"""Tokens and signatures as the broker checks them."""
import base64
import binascii
import dataclasses
import datetime
import secrets

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

ECDSA_SHA384 = ec.ECDSA(hashes.SHA384())


class Refused(Exception):
    """A request or login that does not verify; the text says why."""


@dataclasses.dataclass
class Session(object):
    user_id: str
    index: int
    public_key: object
    expires: datetime.datetime


def load_public(key):
    """A public key object from an object, PEM text or PEM bytes."""
    if isinstance(key, str):
        key = key.encode("ascii")
    if isinstance(key, bytes):
        return serialization.load_pem_public_key(key)
    return key


def parse_time(text):
    """ISO 8601 text as an aware date-time; no offset counts as UTC."""
    moment = datetime.datetime.fromisoformat(text)
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment


def _b64(data, what):
    try:
        return base64.b64decode(data, validate=True)
    except (binascii.Error, ValueError):
        raise Refused("{} is not base64".format(what))


def verify(public_key, signature, message):
    try:
        public_key.verify(signature, message, ECDSA_SHA384)
    except InvalidSignature:
        raise Refused("bad signature")


def new_token():
    return secrets.token_urlsafe(24)


def issue_token(ctx, user_id, index, public_key):
    token = ctx.broker.new_token()
    expires = ctx.now() + ctx.broker.token_lifetime
    with ctx.state.lock:
        ctx.state.tokens[token] = Session(user_id, index, public_key, expires)
    return token, expires


def verify_login(ctx):
    """Checks a login request's challenge and verification; returns (user id, index, key)."""
    user_id, index = ctx.arg("userId"), ctx.arg("authKeyIndex")
    challenge, verification = ctx.arg("challenge"), ctx.arg("verification")
    if None in (user_id, index, challenge, verification):
        raise Refused("missing login parameter")
    try:
        index = int(index)
    except ValueError:
        raise Refused("authKeyIndex is not an integer")
    with ctx.state.lock:
        known = ctx.state.public_keys.get((user_id, index))
    if known is None:
        raise Refused("unknown key")
    public_key, active = known
    if not active:
        raise Refused("inactive key")
    try:
        issued = parse_time(challenge)
    except ValueError:
        raise Refused("challenge is not a time")
    age = ctx.now() - issued
    if age > ctx.broker.challenge_window or age < -ctx.broker.challenge_window:
        raise Refused("stale challenge")
    verify(public_key, _b64(verification, "verification"), challenge.encode("utf-8"))
    return user_id, index, public_key


def verify_request(ctx):
    """Checks the signed Basic authorisation of a request; returns (user id, key index).

    The user part is "{token},{base64 of the signed ISO time}"; the password is the base64 of
    the ECDSA-SHA384 signature over the user part followed by the X-Request-Id header.
    """
    headers = ctx.request.headers
    authorization = headers.get("Authorization") or ""
    scheme, _, credentials = authorization.partition(" ")
    if scheme.lower() != "basic" or not credentials:
        raise Refused("no basic authorisation")
    user_part, colon, password = _b64(credentials.strip(), "authorisation").partition(b":")
    if not colon:
        raise Refused("authorisation without a password")
    token, comma, stamp = user_part.rpartition(b",")
    if not comma:
        raise Refused("user part without a signed time")
    with ctx.state.lock:
        session = ctx.state.tokens.get(token.decode("utf-8", "replace"))
    if session is None:
        raise Refused("unknown token")
    now = ctx.now()
    if session.expires <= now:
        raise Refused("token expired")
    try:
        signed_at = parse_time(_b64(stamp, "signed time").decode("ascii"))
    except (UnicodeDecodeError, ValueError):
        raise Refused("signed time is not a time")
    if abs(now - signed_at) > ctx.broker.signature_window:
        raise Refused("signed time outside the window")
    request_id = headers.get("X-Request-Id")
    if not request_id:
        raise Refused("no request id")
    verify(session.public_key, _b64(password, "signature"), user_part + request_id.encode("utf-8"))
    return session.user_id, session.index
