"""The broker as the stand-ins reach it: JSON requests through the REST client, object transfers
by URL, and the ids and key records that travel in them."""
import importlib
import uuid

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


def broker_call(what, method, path, **kwargs):
    """Sends one request through the REST client; returns the decoded JSON reply, an object.

    A refusal by the broker becomes PermissionError (403) or LookupError (404), with the
    broker's reason; a reply that is no JSON object, ValueError; other failures pass
    unchanged. `what` names the action for the message.
    """
    import requests

    try:
        reply = method(path, **kwargs).json()
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
    # Every reply of the broker is a JSON object; anything else would fail later, unclearly,
    # wherever a member is read from it.
    if not isinstance(reply, dict):
        raise ValueError("{}: the broker's reply is not a JSON object.".format(what))
    return reply


class Broker(object):
    """The configured broker: `call` sends a request of the REST client's (its method named by
    `verb`, "get", "post", "put" or "delete") as `broker_call` does; `upload` and `download`
    move an object's bytes by the URL the broker handed out.

    The server package's functions are looked up on every call, where the library looks them up.
    """

    __slots__ = ()

    def call(self, what, verb, path, **kwargs):
        return broker_call(what, getattr(server_package().client, verb), path, **kwargs)

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
