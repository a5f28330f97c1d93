"""Containers with their accesses and object URLs; the event feed narrowed to its readers.

Paths below "v1.0/", all signed:

- POST   containers/        {"containerId", "type", "length", "contentKind", "accesses": [...]}
                            -> {"uploadUrl"}; the container exists once that upload is committed
- GET    containers/<id>/   metadata, "downloadUrl" and the accesses the caller may see
- PUT    containers/<id>/   {"commit": true} after an upload; or any of {"type": ...},
                            {"content": {"length": n}} (-> {"uploadUrl"}), {"grant": [...]},
                            {"revoke": [user ids]}
- DELETE containers/<id>/   the creator only

An access is {"userId", "permissions" (0-255), "expiresAt" (ISO 8601 or null), "keyBlob"
(base64 envelope)} plus its audit fields. Permission bits, checked here: 0 download, 1 decrypt,
2 upload, 3 access view, 4 access modify, 5 type modify, 6 type view, 7 access events. An
expired access counts as none. Container events go to the holders of bit 7.
"""
import secrets
import types

from . import signing
from .accounts import Refusal, account, api, b64_bytes, body, caller, canonical_id, record_event
from .core import Reply, wrap

DOWNLOAD, DECRYPT, UPLOAD, ACCESS_VIEW, ACCESS_MODIFY, TYPE_MODIFY, TYPE_VIEW, ACCESS_EVENTS = (1 << b for b in range(8))

CONTENT_KINDS = ("raw", "json")


def _containers(ctx):
    return ctx.state.table("containers")


def _accesses(ctx):
    """(container id, user id) -> access record."""
    return ctx.state.table("accesses")


def _expired(ctx, access):
    expires = access.get("expiresAt")
    return expires is not None and signing.parse_time(expires) <= ctx.now()


def _current_access(ctx, container_id, user_id):
    access = _accesses(ctx).get((container_id, user_id))
    return None if access is None or _expired(ctx, access) else access


def _audience(ctx, container_id):
    return {u for (c, u), a in _accesses(ctx).items()
            if c == container_id and a["permissions"] & ACCESS_EVENTS and not _expired(ctx, a)}


def _container(ctx, committed=True):
    container_id = canonical_id(ctx.params["container_id"], "container id")
    record = _containers(ctx).get(container_id)
    if record is None or (committed and record["object"] is None):
        raise Refusal(404, "no such container")
    return container_id, record


def _callers_access(ctx, container_id):
    access = _accesses(ctx).get((container_id, caller(ctx)))
    if access is None:
        raise Refusal(403, "no access to this container")
    if _expired(ctx, access):
        raise Refusal(403, "access expired")
    return access


def _need(access, bit, what):
    if not access["permissions"] & bit:
        raise Refusal(403, "no {} permission".format(what))


def _access_record(ctx, item):
    """A checked access record from a request, without its audit fields."""
    if not isinstance(item, dict):
        raise Refusal(400, "an access is not an object")
    user_id = canonical_id(item.get("userId"), "access userId")
    account(ctx, user_id)
    permissions = item.get("permissions")
    if not isinstance(permissions, int) or isinstance(permissions, bool) or not 0 <= permissions <= 255:
        raise Refusal(400, "permissions must be an integer from 0 to 255")
    expires = item.get("expiresAt")
    if expires is not None:
        try:
            expires = signing.parse_time(expires).isoformat()
        except (TypeError, ValueError):
            raise Refusal(400, "expiresAt is not an ISO 8601 time")
    b64_bytes(item.get("keyBlob"), "keyBlob")
    return {"userId": user_id, "permissions": permissions, "expiresAt": expires, "keyBlob": item["keyBlob"]}


def _access_records(ctx, items):
    if not isinstance(items, list):
        raise Refusal(400, "accesses must be a list")
    records = [_access_record(ctx, item) for item in items]
    if len({r["userId"] for r in records}) != len(records):
        raise Refusal(400, "one user has two accesses")
    return records


def _stamp(ctx, record, previous=None):
    now, who = ctx.now().isoformat(), caller(ctx)
    record["createdAt"] = previous["createdAt"] if previous else now
    record["createdBy"] = previous["createdBy"] if previous else who
    record["modifiedAt"], record["modifiedBy"] = now, who
    return record


def _new_object(ctx, record, length):
    name = secrets.token_urlsafe(18)
    if record.get("pending") is not None:
        ctx.state.objects.pop(record["pending"], None)
    record["pending"], record["pendingBy"], record["pendingLength"] = name, caller(ctx), length
    return ctx.broker.object_url(name)


def _length(value):
    if not isinstance(value, int) or isinstance(value, bool) or value < 0:
        raise Refusal(400, "length must be a non-negative integer")
    return value


def _container_event(ctx, action, container_id, record, audience, changes=None, modified=False):
    return record_event(ctx, action, "container", audience, containerId=container_id,
                        containerType=record["type"], relatedUserId=caller(ctx), changes=changes,
                        containerModifiedAt=record["modifiedAt"] if modified else None)


@api("POST", "containers/", name="containers-create")
def create_container(ctx):
    data = body(ctx)
    container_id = canonical_id(data.get("containerId"), "containerId")
    kind = data.get("contentKind", "raw")
    if kind not in CONTENT_KINDS:
        raise Refusal(400, "contentKind must be raw or json")
    kind_type = data.get("type")
    if kind_type is not None and not isinstance(kind_type, str):
        raise Refusal(400, "type must be text")
    length = _length(data.get("length"))
    with ctx.state.lock:
        records = _access_records(ctx, data.get("accesses"))
        if caller(ctx) not in {r["userId"] for r in records}:
            raise Refusal(400, "the creator's own access is missing")
        if container_id in _containers(ctx):
            raise Refusal(409, "container exists")
        now = ctx.now().isoformat()
        record = {"containerId": container_id, "type": kind_type, "length": None, "contentKind": kind,
                  "createdBy": caller(ctx), "createdAt": now, "modifiedBy": caller(ctx), "modifiedAt": now,
                  "object": None, "pending": None}
        url = _new_object(ctx, record, length)
        _containers(ctx)[container_id] = record
        for access in records:
            _accesses(ctx)[(container_id, access["userId"])] = _stamp(ctx, access)
    return Reply.json({"containerId": container_id, "uploadUrl": url})


def _visible(ctx, container_id, own):
    """The caller's access and, with access view, everyone's; key blobs only with decrypt."""
    found = []
    for (c, user_id), access in sorted(_accesses(ctx).items()):
        if c != container_id or (user_id != own["userId"] and not own["permissions"] & ACCESS_VIEW):
            continue
        shown = dict(access)
        if user_id == own["userId"] and not own["permissions"] & DECRYPT:
            shown["keyBlob"] = None
        found.append(shown)
    return found


@api("GET", "containers/<container_id>/", name="container-get")
def get_container(ctx):
    with ctx.state.lock:
        container_id, record = _container(ctx)
        own = _callers_access(ctx, container_id)
        _need(own, DOWNLOAD, "download")
        if not own["permissions"] & DECRYPT:
            ctx.verdict = "ok: key envelope withheld, no decrypt permission"
        reply = {key: record[key] for key in ("containerId", "length", "contentKind", "createdBy", "createdAt",
                                              "modifiedBy", "modifiedAt")}
        reply["type"] = record["type"] if own["permissions"] & TYPE_VIEW else None
        reply["downloadUrl"] = ctx.broker.object_url(record["object"])
        reply["accesses"] = _visible(ctx, container_id, own)
        _container_event(ctx, "accessed", container_id, record, _audience(ctx, container_id))
    return Reply.json(reply)


def _apply(ctx, container_id, record, wanted):
    """Makes the checked changes of an update; returns them as the event's "changes"."""
    changes = {}
    if "type" in wanted:
        record["type"] = changes["type"] = wanted["type"]
    for grant in wanted["grant"]:
        key = (container_id, grant["userId"])
        _accesses(ctx)[key] = _stamp(ctx, dict(grant), _accesses(ctx).get(key))
        changes.setdefault("access", {})[grant["userId"]] = grant["permissions"]
    for user_id in wanted["revoke"]:
        if _accesses(ctx).pop((container_id, user_id), None) is not None:
            changes.setdefault("access", {})[user_id] = None
    return changes


def _commit(ctx, container_id, record):
    user_id = caller(ctx)
    if record["pending"] is None or record["pendingBy"] != user_id:
        raise Refusal(409, "no upload of yours to commit")
    if record["object"] is not None:
        _need(_callers_access(ctx, container_id), UPLOAD, "upload")
    if record["pending"] not in ctx.state.objects:
        raise Refusal(409, "nothing was uploaded")
    first = record["object"] is None
    before = _audience(ctx, container_id)
    changes = _apply(ctx, container_id, record, record.pop("pendingChanges", None) or {"grant": [], "revoke": []})
    if not first:
        ctx.state.objects.pop(record["object"], None)
        record["modifiedAt"], record["modifiedBy"] = ctx.now().isoformat(), user_id
        changes["length"] = record["pendingLength"]
    record["object"], record["length"], record["pending"] = record["pending"], record["pendingLength"], None
    _container_event(ctx, "added" if first else "updated", container_id, record,
                     before | _audience(ctx, container_id), changes=None if first else changes, modified=True)
    return Reply.json({"containerId": container_id})


@api("PUT", "containers/<container_id>/", name="container-update")
def update_container(ctx):
    """Changes apply at once, or, with new content, together with it when its upload is committed."""
    data = body(ctx)
    with ctx.state.lock:
        if data.get("commit"):
            container_id, record = _container(ctx, committed=False)
            return _commit(ctx, container_id, record)
        container_id, record = _container(ctx)
        own = _callers_access(ctx, container_id)
        creator = record["createdBy"] == caller(ctx)
        wanted = {}
        if "type" in data:
            _need(own, TYPE_MODIFY, "type modify")
            if data["type"] is not None and not isinstance(data["type"], str):
                raise Refusal(400, "type must be text")
            wanted["type"] = data["type"]
        length = None
        if "content" in data:
            _need(own, UPLOAD, "upload")
            length = _length((data["content"] or {}).get("length") if isinstance(data["content"], dict) else None)
        wanted["grant"] = grants = _access_records(ctx, data.get("grant", []))
        revokes = data.get("revoke", [])
        if not isinstance(revokes, list):
            raise Refusal(400, "revoke must be a list")
        wanted["revoke"] = revokes = [canonical_id(r, "revoked user id") for r in revokes]
        if grants or revokes:
            _need(own, ACCESS_MODIFY, "access modify")
        for grant in grants:
            if not creator and grant["permissions"] & ~own["permissions"]:
                raise Refusal(403, "cannot grant permissions one does not hold")
            if grant["userId"] == record["createdBy"] and not creator:
                raise Refusal(403, "cannot change the creator's access")
        if record["createdBy"] in revokes:
            raise Refusal(403, "cannot revoke the creator's access")
        if "content" in data:
            url = _new_object(ctx, record, length)
            record["pendingChanges"] = wanted
            return Reply.json({"containerId": container_id, "uploadUrl": url})
        before = _audience(ctx, container_id)
        changes = _apply(ctx, container_id, record, wanted)
        if changes:
            _container_event(ctx, "updated", container_id, record, before | _audience(ctx, container_id),
                             changes=changes)
    return Reply.json({"containerId": container_id, "uploadUrl": None})


def _remove(ctx, container_id, record):
    audience = _audience(ctx, container_id)
    for key in [k for k in _accesses(ctx) if k[0] == container_id]:
        del _accesses(ctx)[key]
    for name in (record["object"], record["pending"]):
        ctx.state.objects.pop(name, None)
    del _containers(ctx)[container_id]
    if record["object"] is not None:
        _container_event(ctx, "deleted", container_id, record, audience)


@api("DELETE", "containers/<container_id>/", name="container-delete")
def delete_container(ctx):
    with ctx.state.lock:
        container_id, record = _container(ctx, committed=False)
        if record["createdBy"] != caller(ctx):
            _callers_access(ctx, container_id)
            raise Refusal(403, "only the creator may delete a container")
        _remove(ctx, container_id, record)
    return Reply.json({"containerId": container_id, "deleted": True})


def purge_user(ctx, user_id):
    """Removes the containers a user created and the user's accesses to others' containers."""
    with ctx.state.lock:
        for container_id, record in list(_containers(ctx).items()):
            if record["createdBy"] == user_id:
                _remove(ctx, container_id, record)
        for key in [k for k in _accesses(ctx) if k[1] == user_id]:
            del _accesses(ctx)[key]


@wrap("events")
def events_of_reader(handler, ctx):
    """The feed as the caller may read it: events recorded for an audience reach only that
    audience and the current holders of the events permission on the event's container."""
    reader = caller(ctx)
    state = ctx.state
    with state.lock:
        audiences = state.table("event_audience")
        visible = [e for e in state.events
                   if e.get("eventId") not in audiences or reader in audiences[e["eventId"]]
                   or (e.get("type") == "container" and e.get("containerId")
                       and (_current_access(ctx, e["containerId"], reader) or {}).get("permissions", 0) & ACCESS_EVENTS)]
    ctx.state = types.SimpleNamespace(lock=state.lock, events=visible, table=state.table)
    try:
        return handler(ctx)
    finally:
        ctx.state = state
