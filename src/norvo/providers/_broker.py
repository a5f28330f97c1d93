"""The broker as the stand-ins reach it: JSON requests through the REST client, object transfers
by URL, and the ids and key records that travel in them."""
import importlib
import urllib.parse
import uuid

from norvo.providers import _operation

DEFAULT_SERVER_URL = "https://broker.norvo.example/api/"


def server_package():
    return importlib.import_module("norvo.providers.server")


def _objects():
    return importlib.import_module("norvo.providers.server.aws")


def as_id(value, name, malformed=None):
    """An id that the caller gave as argument `name`, as a UUID: a UUID or its text.

    Anything else is a TypeError; a text that is no UUID, a ValueError with the `malformed`
    message when one is given.
    """
    from norvo.utils import UUID

    if value is not None and not isinstance(value, (str, uuid.UUID)):
        raise TypeError("{} must be a UUID or its text, not {}".format(name, type(value).__name__))
    try:
        return UUID(value)
    except ValueError:
        import reprlib

        raise ValueError(malformed or "{} must be a UUID or its text, not {}".format(name, reprlib.repr(value))) \
            from None


class UnreadableReply(ValueError):
    """The broker answered a request, but its reply could not be read (no JSON, or no JSON
    object): the request reached the broker, and what it did there is not known from the reply."""


class _NestedTooDeep(UnreadableReply, RecursionError):
    """A reply nested deeper than the decoder goes: unreadable, and the RecursionError that the
    decoder raises for it, as callers know it."""


def broker_call(what, method, path, **kwargs):
    """Sends one request through the REST client; returns the decoded JSON reply, an object.

    A refusal by the broker becomes PermissionError (403) or LookupError (404), with the
    broker's reason; a reply that is no JSON object, UnreadableReply (a ValueError), decoded
    apart from the request so that it is never taken for a failure before sending; other
    failures pass unchanged. `what` names the action for the message.
    """
    import requests

    try:
        response = method(path, **kwargs)
    except requests.HTTPError as error:
        status = getattr(error.response, "status_code", None)
        if status not in (403, 404):
            raise
        try:
            reason = error.response.json()["error"]
        except (ValueError, KeyError, TypeError, RecursionError):
            # A refusal whose body is no JSON object with an "error" (or nests deeper than the
            # decoder goes) is still the refusal.
            reason = "status {}".format(status)
        message = "{}: refused by the broker: {}".format(what, reason)
        raise (PermissionError if status == 403 else LookupError)(message) from error
    message = "{}: the broker's reply cannot be read as JSON.".format(what)
    try:
        reply = response.json()
    except ValueError as error:
        raise UnreadableReply(message) from error
    except RecursionError as error:
        raise _NestedTooDeep(message) from error
    # Every reply of the broker is a JSON object; anything else would fail later, unclearly,
    # wherever a member is read from it.
    if not isinstance(reply, dict):
        raise UnreadableReply("{}: the broker's reply is not a JSON object.".format(what))
    return reply


def reply_lost(error, verb, path):
    """Whether `error`, raised by a broker call of `verb` ("get", "put", ...) on `path`, means that
    the request went out and its reply was lost: a read timeout, the connection dropped once the
    request was sent, a reply cut short or unreadable. Whatever the request did at the broker is
    then unknown. A failure before it went out (nobody logged in any more, no connection made,
    a connect timeout, a new login's own request) or a refusal by the broker is not."""
    import requests
    import urllib3.exceptions

    if isinstance(error, UnreadableReply):
        return True
    if not isinstance(error, (requests.ConnectionError, requests.Timeout, requests.exceptions.ChunkedEncodingError,
                              requests.exceptions.ContentDecodingError)):
        return False
    if isinstance(error, (requests.ConnectTimeout, requests.exceptions.SSLError, requests.exceptions.ProxyError)):
        return False
    reason = error.args[0] if error.args else None
    if isinstance(reason, urllib3.exceptions.MaxRetryError):
        reason = reason.reason
    if isinstance(reason, (urllib3.exceptions.NewConnectionError, urllib3.exceptions.ConnectTimeoutError)):
        return False
    # The HTTP library names the request that failed: one of a new login that the request
    # needed first (its signature could not be made without it) means this one never went out.
    sent = getattr(error, "request", None)
    if sent is None and getattr(error, "response", None) is not None:
        sent = error.response.request
    return sent is None or _is_request(sent, verb, path)


def _is_request(prepared, verb, path):
    method, url = getattr(prepared, "method", None), getattr(prepared, "url", None)
    if not isinstance(method, str) or not isinstance(url, str):
        return True  # nothing tells it apart: taken for this one, the cautious answer
    tail = "/{}/".format(str(path).strip("/"))
    return method.upper() == verb.upper() and urllib.parse.urlsplit(url).path.endswith(tail)


class Broker(object):
    """The configured broker: `call` sends a request of the REST client's (its method named by
    `verb`, "get", "post", "put" or "delete") as `broker_call` does; `upload` and `download`
    move an object's bytes by the URL the broker handed out.

    The server package's functions are looked up on every call, where the library looks them up.
    """

    __slots__ = ()

    def call(self, what, verb, path, **kwargs):
        import requests

        try:
            return broker_call(what, getattr(server_package().client, verb), path, **kwargs)
        except requests.HTTPError as error:
            # Signed just before a logout or another login ended the session's token, and
            # refused by the broker for that: the operation's user is gone, as the session
            # says of a request it would sign later.
            operation = _operation.current()
            if getattr(error.response, "status_code", None) == 401 and operation is not None and operation.ended:
                raise RuntimeError(_operation.NO_LONGER_LOGGED_IN.format(operation.user)) from error
            raise

    def upload(self, url, data):
        _objects().put(url, data=data)

    def download(self, url, length=None):
        """The object's bytes; a store that sends more than `length` is refused as it sends."""
        return _objects().get(url, length=length).content


def public_records(keys, user_id=None):
    """Public-key records, as the broker keeps them, of (key type, index, key) triples; without
    a `user_id` they carry no "userId" (the broker fills it in when it registers an account)."""
    from norvo import crypto
    from norvo.crypto.keys import KeyType

    records = []
    for key_type, index, key in keys:
        pem = crypto.to_pem_public(key.public)
        record = {"index": index, "keyType": "auth" if key_type == KeyType.AUTH else "derivation",
                  "pubKey": pem.decode("ascii") if isinstance(pem, bytes) else pem, "active": bool(key.active)}
        if user_id is not None:
            record["userId"] = str(user_id)
        records.append(record)
    return records
