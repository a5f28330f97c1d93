"""Accounts: registration with public keys, key files with their reminders, deletion, logout.

Paths below "v1.0/":

- POST   accounts/                     unsigned: {"keys": [public-key records]} -> {"userId"}
- GET    accounts/<user_id>/keys/      public-key records of any account
- DELETE accounts/<user_id>/           one's own account, with its key file and containers
- GET    accounts/<user_id>/keyfile/   unsigned: {"keyFile": base64}; the owner sees an event
- PUT    accounts/<user_id>/keyfile/   one's own: {"keyFile": base64, "reminder": any JSON value}
- GET    accounts/<user_id>/reminder/  unsigned: {"reminder": the value stored}
- DELETE login/                        ends the session whose token signed the request

A public-key record is {"index", "userId", "keyType" ("auth" or "derivation"), "pubKey" (PEM),
"active"}. Refusals are JSON objects {"error": reason} with 400, 403, 404 or 409.
"""
import base64
import binascii
import functools
import uuid

from cryptography.hazmat.primitives.asymmetric import ec

from . import signing
from .core import Reply, route

KEY_FILE_EVENTS = "keysFile"

# Shortest key-file bytes: three 8-byte header fields and two sections' own headers.
_MIN_KEY_FILE = 24


class Refusal(Exception):
    """A request the broker turns down; becomes a JSON error reply with `status`."""

    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status
        self.reason = reason


def api(method, pattern, name, signed=True):
    """`route`, with Refusal turned into its error reply and the reason kept as the verdict."""

    def add(handler):
        @functools.wraps(handler)
        def run(ctx):
            try:
                return handler(ctx)
            except Refusal as refusal:
                ctx.verdict = "{}: {}".format(refusal.status, refusal.reason)
                return Reply.json({"error": refusal.reason}, refusal.status)

        return route(method, pattern, name=name, signed=signed)(run)

    return add


def canonical_id(value, what="id"):
    """A user or container id as lower-case hyphenated text; 400 for anything else."""
    try:
        return str(uuid.UUID(str(value)))
    except (TypeError, ValueError, AttributeError):
        raise Refusal(400, "{} is not a UUID".format(what))


def body(ctx):
    try:
        data = ctx.request.json()
    except (ValueError, UnicodeDecodeError):
        raise Refusal(400, "body is not JSON")
    if not isinstance(data, dict):
        raise Refusal(400, "body is not a JSON object")
    return data


def b64_bytes(text, what):
    if not isinstance(text, str) or not text:
        raise Refusal(400, "{} is missing".format(what))
    try:
        return base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        raise Refusal(400, "{} is not base64".format(what))


def caller(ctx):
    return ctx.user[0]


def app_name(ctx):
    return ctx.request.headers.get("X-Norvo-App-Name")


def record_event(ctx, action, kind, audience, **fields):
    """Adds an event to the feed that only the users in `audience` read (others never see it)."""
    with ctx.state.lock:
        event = ctx.broker.add_event(action=action, type=kind, clientAppName=app_name(ctx), **fields)
        ctx.state.table("event_audience")[event["eventId"]] = set(audience)
    return event


def account(ctx, user_id):
    found = ctx.state.table("accounts").get(user_id)
    if found is None:
        raise Refusal(404, "no such account")
    return found


def _own(ctx):
    user_id = canonical_id(ctx.params["user_id"], "user id")
    if user_id != caller(ctx):
        raise Refusal(403, "only the account's owner may do this")
    return user_id


def _public_record(item, user_id):
    if not isinstance(item, dict):
        raise Refusal(400, "a key record is not an object")
    index, kind, pem, active = item.get("index"), item.get("keyType"), item.get("pubKey"), item.get("active", True)
    if not isinstance(index, int) or isinstance(index, bool) or index < 0:
        raise Refusal(400, "key index is not a non-negative integer")
    if kind not in ("auth", "derivation"):
        raise Refusal(400, "keyType must be auth or derivation")
    if not isinstance(active, bool):
        raise Refusal(400, "active must be true or false")
    try:
        key = signing.load_public(pem)
    except (TypeError, ValueError):
        raise Refusal(400, "pubKey is not a PEM public key")
    if not isinstance(key, ec.EllipticCurvePublicKey) or key.curve.name != "secp384r1":
        raise Refusal(400, "pubKey is not a P-384 key")
    return {"index": index, "userId": user_id, "keyType": kind, "pubKey": pem, "active": active}, key


@api("POST", "accounts/", name="accounts-create", signed=False)
def create_account(ctx):
    data = body(ctx)
    items = data.get("keys")
    if not isinstance(items, list) or not items:
        raise Refusal(400, "keys must be a non-empty list")
    user_id = str(uuid.uuid4())
    records, seen = [], set()
    for item in items:
        record, key = _public_record(item, user_id)
        if (record["keyType"], record["index"]) in seen:
            raise Refusal(400, "two keys of one type share an index")
        seen.add((record["keyType"], record["index"]))
        records.append((record, key))
    for kind in ("auth", "derivation"):
        if not any(r["keyType"] == kind and r["active"] for r, _ in records):
            raise Refusal(400, "an active {} key is required".format(kind))
    with ctx.state.lock:
        ctx.state.table("accounts")[user_id] = {"userId": user_id, "keys": [r for r, _ in records],
                                                "createdAt": ctx.now().isoformat()}
        for record, key in records:
            if record["keyType"] == "auth":
                ctx.state.public_keys[(user_id, record["index"])] = (key, record["active"])
    return Reply.json({"userId": user_id})


@api("GET", "accounts/<user_id>/keys/", name="account-keys")
def account_keys(ctx):
    user_id = canonical_id(ctx.params["user_id"], "user id")
    with ctx.state.lock:
        return Reply.json({"keys": list(account(ctx, user_id)["keys"])})


@api("DELETE", "accounts/<user_id>/", name="account-delete")
def delete_account(ctx):
    from . import containers

    user_id = _own(ctx)
    with ctx.state.lock:
        account(ctx, user_id)
        containers.purge_user(ctx, user_id)
        had_key_file = ctx.state.table("keyfiles").pop(user_id, None) is not None
        del ctx.state.table("accounts")[user_id]
        for entry in [k for k in ctx.state.public_keys if k[0] == user_id]:
            del ctx.state.public_keys[entry]
        for token in [t for t, s in ctx.state.tokens.items() if s.user_id == user_id]:
            del ctx.state.tokens[token]
        if had_key_file:
            record_event(ctx, "deleted", KEY_FILE_EVENTS, {user_id}, relatedUserId=user_id)
    return Reply.json({"userId": user_id, "deleted": True})


@api("GET", "accounts/<user_id>/keyfile/", name="keyfile-get", signed=False)
def get_key_file(ctx):
    user_id = canonical_id(ctx.params["user_id"], "user id")
    with ctx.state.lock:
        stored = ctx.state.table("keyfiles").get(user_id)
        if stored is None:
            raise Refusal(404, "no key file")
        # The file is sealed, so anyone may fetch it; its owner learns that someone did.
        record_event(ctx, "accessed", KEY_FILE_EVENTS, {user_id})
        return Reply.json({"keyFile": stored["keyFile"]})


@api("PUT", "accounts/<user_id>/keyfile/", name="keyfile-put")
def put_key_file(ctx):
    user_id = _own(ctx)
    data = body(ctx)
    raw = b64_bytes(data.get("keyFile"), "keyFile")
    if len(raw) < _MIN_KEY_FILE:
        raise Refusal(400, "keyFile is too short to be a key file")
    # The reminder is the account's own public note, kept and handed back as the JSON value it came as.
    reminder = data.get("reminder")
    with ctx.state.lock:
        account(ctx, user_id)
        files = ctx.state.table("keyfiles")
        previous = files.get(user_id)
        if reminder is None and "reminder" not in data and previous is not None:
            reminder = previous["reminder"]
        files[user_id] = {"keyFile": data["keyFile"], "reminder": reminder, "updatedAt": ctx.now().isoformat()}
        changes = {"reminder": reminder != (previous or {}).get("reminder")} if previous else None
        record_event(ctx, "updated" if previous else "added", KEY_FILE_EVENTS, {user_id},
                     relatedUserId=user_id, changes=changes)
    return Reply.json({"userId": user_id})


@api("GET", "accounts/<user_id>/reminder/", name="reminder-get", signed=False)
def get_reminder(ctx):
    user_id = canonical_id(ctx.params["user_id"], "user id")
    with ctx.state.lock:
        stored = ctx.state.table("keyfiles").get(user_id)
        if stored is None:
            raise Refusal(404, "no key file")
        return Reply.json({"reminder": stored["reminder"]})


def request_token(ctx):
    """The session token of a verified signed request (the user part up to its last comma)."""
    credentials = (ctx.request.headers.get("Authorization") or "").partition(" ")[2]
    user_part = base64.b64decode(credentials.strip()).partition(b":")[0]
    return user_part.rpartition(b",")[0].decode("utf-8", "replace")


@api("DELETE", "login/", name="logout")
def logout(ctx):
    with ctx.state.lock:
        ctx.state.tokens.pop(request_token(ctx), None)
    return Reply.json({"loggedOut": True})

