"""Stand-in for the container operations: create, get, update and delete.

A container travels sealed: its bytes go to object storage by the URL the broker hands out,
and each recipient's ``Access`` carries an envelope with the container's keys, sealed for that
recipient and signed by the user who granted it. The broker keeps the accesses and enforces
their permissions and expiry; this module only carries them. With the local store on, every
container created or fetched is also kept in the user's encrypted database (its bytes in the
file store), where ``get(container_id, local=True)`` finds it again.

``unwrap`` takes a container's keys from the logged-in user's envelope only once the envelope
is proven: for this container, sealed by the user who granted the access, and signed by that
user's keys as the broker publishes them (fetched by the sender id the envelope names). A read
from the local store checks it against those keys as the store keeps them (every public ring
fetched, and the user's own), so that it opens without the broker.

``create`` and ``update`` seal a fresh envelope for every recipient they are given, on copies of
the caller's accesses: an ``Access`` keeps the envelope it once built or was given, and that
envelope opens only the container it was sealed for.

Each operation runs as the user logged in when it began, in that user's local store, whoever
logs in or out meanwhile; once that user's broker session has ended, its next request fails
with RuntimeError ("... is no longer logged in ...") before anything is sent.
"""
import base64
import logging
import secrets
import uuid

import arrow
import requests
from sqlalchemy import delete as sa_delete
from sqlalchemy import select as sa_select

from norvo import providers
from norvo.access import Access
from norvo.crypto.container import Container, JSONPayload, RawPayload
from norvo.permissions import DEFAULT_RECIP_PERMISSIONS, Permissions
from norvo.utils import UUID

log = logging.getLogger(__name__)

_UNSET = object()

_CONTENT_KINDS = {RawPayload: "raw", JSONPayload: "json"}


class CommitUnconfirmed(requests.exceptions.ConnectionError):
    """The commit of a container's bytes (or a change) was sent, and the broker's reply to it was
    lost or came unreadable, so whether it took effect is not known from it. A failure before
    the request went out (nobody logged in any more, no connection made) raises as itself.

    ``container_id`` names the container. ``withdrawn`` is true when the unfinished container
    was then removed from the broker, so it does not exist; false when nothing confirmed
    either way: get the container by its id to find out.
    """

    def __init__(self, message, container_id, withdrawn):
        super().__init__(message)
        self.container_id = container_id
        self.withdrawn = withdrawn

    def __reduce__(self):  # made again from its three arguments, as in another process
        return type(self), (str(self), self.container_id, self.withdrawn)


def _reason(error):
    """What a log line says of a failure: its class, and for a file-system error its message
    (SQL errors carry statements and cell values, which stay out of the log)."""
    if isinstance(error, OSError) and not isinstance(error, requests.RequestException):
        return "{}: {}".format(type(error).__name__, error)
    return type(error).__name__


def _as_access(item):
    """A new Access, without an envelope, for a recipient given as an Access (its user id,
    permissions and expiry) or as a user id (default permissions).

    The caller's Access stays as it was: it may hold the envelope of another container (one
    it was shared with before, or the key it was made with), and a recipient list serves
    any number of containers.
    """
    if isinstance(item, Access):
        user_id = providers.as_id(item.user_id, "the user_id of an Access in access")
        return Access(user_id, permissions=int(item.permissions), expiration=item.expiration)
    return Access(providers.as_id(item, "a recipient in access"), permissions=int(DEFAULT_RECIP_PERMISSIONS))


def _wire_access(access):
    expires = access.expiration
    if expires is not None:
        expires = arrow.get(expires).isoformat()
    return {"userId": str(access.user_id), "permissions": int(access.permissions), "expiresAt": expires,
            "keyBlob": access.key_blob.b64.decode("ascii")}


def _sealed_for(container, accesses):
    """Seals each access's envelope for `container` (the accesses are new, so none holds one
    yet); returns the raw envelope bytes by user id."""
    blobs = {}
    for access in accesses:
        access.container = container
        blobs[access.user_id] = access.key_blob.to_bytes()
    return blobs


def _access_from_wire(record):
    expires = record.get("expiresAt")
    access = Access(UUID(record["userId"]), permissions=record["permissions"],
                    expiration=arrow.get(expires).datetime if expires else None,
                    key=record.get("keyBlob") or None)
    access.created_at, access.created_by = record.get("createdAt"), record.get("createdBy")
    access.modified_at, access.modified_by = record.get("modifiedAt"), record.get("modifiedBy")
    return access


def _upload(broker, container_id, url, data, withdraw=None):
    """Uploads the bytes and commits them; on failure runs `withdraw` (when given), which removes
    the unfinished container from the broker, and raises.

    A commit whose reply was lost may have taken effect: it is raised as CommitUnconfirmed,
    which names the container and tells whether the withdrawal confirmed it gone.
    """
    try:
        broker.upload(url, data)
    except BaseException:
        _withdraw(container_id, withdraw)
        raise
    path = "containers/{}".format(container_id)
    try:
        broker.call("commit container {}".format(container_id), "put", path, json={"commit": True})
    except BaseException as error:
        # A commit whose reply never came, or came unreadable, may have taken effect all the same.
        withdrawn = _withdraw(container_id, withdraw)
        if isinstance(error, Exception) and providers.reply_lost(error, "put", path):
            raise CommitUnconfirmed(_unconfirmed(container_id, withdrawn), container_id, withdrawn) from error
        raise


def _unconfirmed(container_id, withdrawn=False):
    if withdrawn:
        return ("The broker's reply to the commit of container {} was lost; the container was then withdrawn "
                "from the broker, so it does not exist.".format(container_id))
    return ("The broker's reply to the commit of container {} was lost, and nothing confirmed whether the commit "
            "took effect: get the container by its id to find out.".format(container_id))


def _withdraw(container_id, withdraw):
    """Runs the undo of an unfinished upload, logging its attempt and outcome; returns whether
    the container is confirmed gone from the broker."""
    if withdraw is None:
        return False
    log.info("Withdrawing container %s, whose upload did not finish.", container_id)
    try:
        withdraw()
    except LookupError:
        log.info("Container %s was not on the broker: nothing to withdraw.", container_id)
    except Exception as error:
        log.warning("Could not withdraw container %s from the broker: %s", container_id, _reason(error))
        return False
    else:
        log.info("Withdrew container %s from the broker.", container_id)
    return True


def _after_commit(p, container_id, keep, *args):
    """Runs `keep(p, *args)`, which copies what the broker has just committed into the local store.

    The broker holds the record, so its commit is the outcome: a local failure is a warning
    naming the container, and the next fetch from the broker keeps it again. A copy the
    failure left out of date is dropped, where the store still allows it.
    """
    try:
        keep(p, *args)
    except Exception as error:
        log.warning("Container %s could not be kept in the local store (%s); the next fetch from the broker "
                    "keeps it.", container_id, _reason(error))
        if p.database is None:
            return
        try:
            _drop_local(p, container_id)
        except Exception as error:
            log.warning("An out-of-date local copy of container %s may be left (%s).", container_id, _reason(error))


def create(header, content, type=None, access=(), content_cls=None, container_id=None):
    """Seals a new container and shares it; returns it, encrypted, with its keys and accesses.

    :param header: the header value (JSON-serialisable)
    :param content: bytes, or a JSON value
    :param type: the container's type, a free label
    :param access: recipients, each an ``Access`` (with its permissions and expiry) or a user
        id, which gets ``DEFAULT_RECIP_PERMISSIONS``; the creator always holds every permission.
        Each gets an envelope sealed for this container; the caller's ``Access`` objects are
        left as they were, so one list serves any number of containers
    :param content_cls: ``RawPayload`` or ``JSONPayload``; by default chosen from `content`
    :param container_id: the id to use instead of a fresh one
    :raises CommitUnconfirmed: when the broker's reply to the commit was lost; it names the
        container and tells whether the unfinished container was withdrawn

    Once the broker has committed, a failure to keep the local copy is a warning, not a failure.
    """
    with providers.get() as p, p.operation():
        user = p.require_user()
        broker = p.broker()
        cls = content_cls or (RawPayload if isinstance(content, (bytes, bytearray)) else JSONPayload)
        if cls not in _CONTENT_KINDS:
            raise ValueError("content_cls must be RawPayload or JSONPayload")
        extra = {} if container_id is None else {"container_id": providers.as_id(container_id, "container_id")}
        container = Container(header=header, content=content, content_cls=cls, type=type, **extra)
        container.encrypt()
        recipients = [_as_access(a) for a in access]
        if user.id not in {a.user_id for a in recipients}:
            recipients.insert(0, Access(user.id, permissions=Permissions()))
        if len({a.user_id for a in recipients}) != len(recipients):
            raise ValueError("A recipient appears twice.")
        blobs = _sealed_for(container, recipients)
        data = container.data
        body = {"containerId": str(container.id), "type": type, "length": len(data),
                "contentKind": _CONTENT_KINDS[cls], "accesses": [_wire_access(a) for a in recipients]}
        reply = broker.call("create container {}".format(container.id), "post", "containers", json=body)
        path = "containers/{}".format(container.id)
        _upload(broker, container.id, reply["uploadUrl"], data,
                withdraw=lambda: broker.call("withdraw container {}".format(container.id), "delete", path))
        container.access = {a.user_id: a for a in recipients}
        if p.local:
            _after_commit(p, container.id, _keep, container, data, blobs)
        log.info("Created container %s for %d users", container.id, len(recipients))
        return container


def get(container_id, content_cls=None, decrypt=True, local=False):
    """Fetches a container and, by default, opens it with the logged-in user's envelope.

    From the broker (default) the reply names the content class, and the container is also
    kept in the local store when it is on; with ``local=True`` it is read from the local store
    only, as a ``RawPayload`` unless `content_cls` says otherwise, and opened with the keys the
    store keeps of the user who sealed it (the broker is asked only for keys the store lacks).
    ``access`` of the result maps user ids to the accesses the caller may see. A failure to
    keep the local copy is a warning.
    """
    cid = providers.as_id(container_id, "container_id")
    with providers.get() as p, p.operation():
        user = p.require_user()
        if local:
            return _get_local(p, user, cid, content_cls, decrypt)
        broker = p.broker()
        reply = broker.call("get container {}".format(cid), "get", "containers/{}".format(cid))
        # The recorded length bounds the download: a store sending more is refused as it does.
        data = broker.download(reply["downloadUrl"], length=reply.get("length"))
        _check_length(data, reply.get("length"), cid, "The object store")
        cls = content_cls or (JSONPayload if reply.get("contentKind") == "json" else RawPayload)
        container = Container(data, cls)
        if container.id != cid:
            raise ValueError("The broker sent another container than {}.".format(cid))
        container.type = reply.get("type")
        _set_audit(container, reply.get("createdAt"), reply.get("createdBy"), reply.get("modifiedAt"),
                   reply.get("modifiedBy"))
        records = {UUID(r["userId"]): r for r in reply.get("accesses", [])}
        container.access = {uid: _access_from_wire(r) for uid, r in records.items()}
        blobs = {uid: base64.b64decode(r["keyBlob"]) if r.get("keyBlob") else b"" for uid, r in records.items()}
        if decrypt:
            container.decrypt(unwrap(container))
        if p.local:
            _after_commit(p, cid, _keep, container, data, blobs)
        return container


def update(container, header=_UNSET, content=_UNSET, type=_UNSET, access=(), revoke=()):
    """Changes a container: its header or content (sealed again under the same keys, so the
    envelopes already given stay valid), its type, and who has access.

    `container` is one returned by ``create`` or ``get`` (opened, so that its keys are known).
    `access` grants or replaces accesses, given as for ``create`` (each with an envelope sealed
    for this container); `revoke` lists user ids. All changes take effect together on the
    broker. Returns the container as it now is. When the broker's reply to the change (or to
    the commit of new content) is lost, CommitUnconfirmed names the container; a failure to
    keep the local copy is a warning.
    """
    if not isinstance(container, Container):
        raise TypeError("update takes a Container, as create or get return it.")
    with providers.get() as p, p.operation():
        user = p.require_user()
        broker = p.broker()
        keys = container.container_keys
        if keys is None:
            raise ValueError("The container's keys are not known: get it with decrypt=True first.")
        result, body = container, {}
        if header is not _UNSET or content is not _UNSET:
            plain = container
            if container.encrypted:
                plain = Container(container.data, container._content_cls)
                plain.decrypt(keys)
            result = Container(header=plain.header.data if header is _UNSET else header,
                               content=plain.content.data if content is _UNSET else content,
                               content_cls=container._content_cls, type=container.type, container_id=container.id)
            result.encrypt(keys)
            _set_audit(result, container.created_at, container.created_by, None, None)
            body["content"] = {"length": len(result.data)}
        if type is not _UNSET:
            body["type"] = type
        grants = [_as_access(a) for a in access]
        blobs = _sealed_for(result, grants)
        body["grant"] = [_wire_access(a) for a in grants]
        body["revoke"] = [str(providers.as_id(r, "a user id in revoke")) for r in revoke]
        path = "containers/{}".format(container.id)
        try:
            reply = broker.call("update container {}".format(container.id), "put", path, json=body)
        except Exception as error:
            # Changes that come with new content wait for its commit; the others apply at once.
            if "content" in body or not providers.reply_lost(error, "put", path):
                raise
            raise CommitUnconfirmed(_unconfirmed(container.id), container.id, False) from error
        if reply.get("uploadUrl"):
            # Nothing to withdraw: until the commit, the broker keeps the content as it was.
            _upload(broker, container.id, reply["uploadUrl"], result.data)
        if type is not _UNSET:
            result.type = type
        result.modified_by, result.modified_at = user.id, arrow.utcnow()
        accesses = dict(getattr(container, "access", None) or {})
        accesses.update({a.user_id: a for a in grants})
        for user_id in body["revoke"]:
            accesses.pop(UUID(user_id), None)
        result.access = accesses
        if p.local:
            _after_commit(p, container.id, _keep_update, result, blobs, body["revoke"],
                          result.data if "content" in body else None)
        return result


def delete(container_id):
    """Deletes a container (its creator only), on the broker and in the local store; once the
    broker has deleted it, a failure to remove the local copy is a warning."""
    cid = providers.as_id(container_id, "container_id")
    with providers.get() as p, p.operation():
        p.require_user()
        p.broker().call("delete container {}".format(cid), "delete", "containers/{}".format(cid))
        if p.local and p.database is not None:
            try:
                _drop_local(p, cid)
            except Exception as error:  # deleted on the broker, which is the outcome
                log.warning("Container %s is deleted, but its local copy could not be removed (%s).", cid,
                            _reason(error))


def local_ids():
    """Ids of the containers in the logged-in user's local store. Rows there that no longer open
    under its key are dropped, with a warning: the next get from the broker keeps them again."""
    from norvo.providers.ofs import models

    def ids(session):
        return sorted(session.scalars(sa_select(models.Container.id)))

    with providers.get() as p, p.operation():
        return _read_local(p, p.require_user(), ids)


def _read_local(p, user, read, whole=None):
    """`read(session)` in a read-only transaction on the user's database. Rows that do not open
    under the database's key are the cache's damage, not the caller's: they are dropped (with a
    warning) and the read runs once more. So it does when `whole(result)` is false and dropping
    finds such rows: a record whose rows do not open may look merely incomplete."""
    from norvo.providers.ofs import models

    db = p.local_database()
    try:
        with providers.local_write(db, read_only=True) as session:
            result = read(session)
    except models.SealedCellError:
        if not providers.drop_unreadable(db, user.id):
            raise
    else:
        if whole is None or whole(result) or not providers.drop_unreadable(db, user.id):
            return result
    with providers.local_write(db, read_only=True) as session:
        return read(session)


# ---- opening


def unwrap(container):
    """The container's keys, from the logged-in user's envelope in ``container.access``.

    The envelope must be for this container, sealed by the user who granted the access, and
    signed by that user's keys as the broker publishes them (fetched by the sender id the
    envelope names), never only by the key the envelope carries. Raises PermissionError when
    the user holds no envelope (no decrypt permission), ValueError or InvalidSignature when it
    fails a check.
    """
    with providers.get() as p, p.operation():
        user = p.require_user()
        return _opened(user, container, lambda sender_id, index: p.keys.get(sender_id))


def _opened(user, container, sender_ring):
    """The container's keys from `user`'s envelope, once it passes every check; `sender_ring`
    gives the public ring, by the sender id and signing-key index the envelope names, against
    which its signature is checked."""
    access = (getattr(container, "access", None) or {}).get(user.id)
    # An access without an envelope would build one on reading `key_blob`: look first.
    envelope = getattr(access, "_key_blob", None)
    if envelope is None:
        raise PermissionError("No key envelope for {} in container {}: no decrypt permission.".format(
            user, container.id))
    if uuid.UUID(bytes_le=bytes(envelope.struct.oid)) != container.id:
        raise ValueError("The key envelope belongs to another container than {}.".format(container.id))
    sender_id = uuid.UUID(bytes_le=bytes(envelope.struct.sender_user_id))
    if access.modified_by is not None and access.modified_by != sender_id:
        raise ValueError("The key envelope was not sealed by the user who granted the access.")
    ring = sender_ring(sender_id, envelope.struct.sender_signing_key_index)
    return envelope.get_container_keys(user.keys, sender_keys=ring)


def _kept_ring(p, user_id):
    """`user_id`'s public key ring as the local store keeps it (the rows a login or a fetch of
    the broker's ring wrote), or None when it keeps none that opens."""
    from norvo.crypto.keys import KeyRingSchema
    from norvo.providers.ofs import models

    try:
        with providers.local_write(p.local_database(), read_only=True) as session:
            rows = session.scalars(sa_select(models.Key).where(models.Key.user_id == user_id)).all()
            if not rows:
                return None
            ring, errors = KeyRingSchema().load(rows, many=True)
    except ValueError as error:  # a cell that does not open, or a key that does not load
        log.warning("The local store's keys of %s do not open (%s): the broker's are used.", user_id,
                    type(error).__name__)
        return None
    return None if errors else ring


def _local_sender_ring(p):
    """What a read from the local store checks an envelope against: the sender's ring as the
    store keeps it, so that the broker is not needed; the broker's (kept in the store as it
    comes) only when the store has none for the sender, or none holding the signing key the
    envelope names."""
    def ring(sender_id, index):
        from norvo.crypto.keys import KeyType

        kept = _kept_ring(p, sender_id)
        if kept is not None and index in kept[KeyType.AUTH]:
            return kept
        return p.keys.get(sender_id)

    return ring


def _check_length(data, length, cid, where):
    """A container's bytes must be as long as its record says: a reply or file cut short (even
    to nothing) is refused here, by name, rather than half-parsed."""
    if length is not None and len(data) != length:
        raise ValueError("{} gave {} bytes for container {}, whose length is {}.".format(where, len(data), cid, length))


def _set_audit(container, created_at, created_by, modified_at, modified_by):
    container.created_at, container.created_by = created_at, created_by
    container.modified_at, container.modified_by = modified_at, modified_by


# ---- the local store


# Reads of a container whose record another process of the user replaces meanwhile: its old
# file is removed once the new record is in, so a read that found the old record tries again.
_LOCAL_READ_ATTEMPTS = 3


def _get_local(p, user, cid, content_cls, decrypt):
    from norvo.providers import ofs
    from norvo.providers.ofs import models

    def read(session):
        for attempt in range(_LOCAL_READ_ATTEMPTS):
            row = session.get(models.Container, cid)
            if row is None:
                raise LookupError("Container {} is not in the local store.".format(cid))
            try:
                data = ofs.client.get(seed=row.ofs_location.encode("utf-8"))
                break
            except FileNotFoundError:
                session.rollback()  # forgets the row read, so the next read is the file's
        else:
            raise LookupError("Container {} is not in the local store: its file is gone.".format(cid))
        _check_length(data, row.length, cid, "The local store")
        container = Container(data, content_cls or RawPayload)
        if container.id != cid:
            raise ValueError("The local store holds another container under {}.".format(cid))
        container.type = row.type
        _set_audit(container, row.created_at, row.created_by, row.modified_at, row.modified_by)
        container.access = {uid: a.make_class() for uid, a in row.access.items()}
        return container

    # The reader's own access is in every record kept for the reader: one without it may have
    # lost it to rows that no longer open.
    container = _read_local(p, user, read, whole=lambda kept: user.id in kept.access)
    expires = getattr(container.access.get(user.id), "expiration", None)
    if expires is not None and arrow.get(expires) <= arrow.utcnow():
        raise PermissionError("The access of {} to container {} has expired.".format(user, cid))
    if decrypt:
        container.decrypt(_opened(user, container, _local_sender_ring(p)))
    return container


def _access_row(models, container_id, access, blob):
    return models.ContainerAccess(
        user_id=access.user_id, container_id=container_id, created_at=access.created_at,
        created_by=access.created_by, modified_at=access.modified_at, modified_by=access.modified_by,
        permissions=int(access.permissions), expires_at=access.expiration, key_blob=blob)


def _keep(p, container, data, blobs):
    """Records the container, its bytes and its accesses in the user's database, replacing any
    earlier record; a failure leaves the earlier record as it was."""
    _record(p, container, data, blobs)


def _keep_update(p, container, blobs, revoked, new_bytes):
    """After an update: the changed accesses, and the new bytes when the content changed. A
    container never kept here (or whose record is damaged) is left to the next get(), which
    brings every envelope: the update knows only those it grants."""
    _record(p, container, new_bytes, blobs, revoked=revoked, update=True)


class _Stored(object):
    """What the database holds of a container: its file's location and length, and its
    accesses' envelopes by user id; `damaged` when its cells do not open."""

    def __init__(self, location=None, length=None, blobs=None, damaged=False):
        self.location, self.length, self.blobs, self.damaged = location, length, blobs or {}, damaged


def _stored(session, models, cid, envelopes=False):
    """The record of container `cid` in the write transaction `session`, or None; its accesses'
    envelopes only when `envelopes` asks for them."""
    columns = (models.Container.ofs_location, models.Container.length)
    try:
        found = session.execute(sa_select(*columns).where(models.Container.id == cid)).one_or_none()
        if found is None:
            return None
        blobs = {}
        if envelopes:
            blobs = {uid: bytes(blob) for uid, blob in session.execute(
                sa_select(models.ContainerAccess.user_id, models.ContainerAccess.key_blob)
                .where(models.ContainerAccess.container_id == cid))}
    except models.SealedCellError:
        log.warning("The local record of container %s is damaged: it is replaced.", cid)
        return _Stored(_location_of_damaged(session, models, cid), damaged=True)
    return _Stored(found.ofs_location, found.length, blobs)


def _location_of_damaged(session, models, cid):
    # The file a damaged record names goes with the record, when its location cell still opens.
    try:
        return session.execute(sa_select(models.Container.ofs_location).where(models.Container.id == cid)).scalar()
    except models.SealedCellError:
        return None


def _record(p, container, data, blobs, revoked=(), update=False):
    """One transaction: the container's record, with its accesses, replaces any earlier one. The
    new file is written before the row that names it, and the file that the replaced row named
    is removed once the new row is in, so that no file outlives the row that names it."""
    from norvo.providers import ofs
    from norvo.providers.ofs import models

    db = p.local_database()
    seed = None
    if data is not None:
        seed = secrets.token_hex(32)
        ofs.client.write_bytes(data, seed=seed.encode("utf-8"))
    replaced = None
    try:
        with providers.local_write(db) as session:
            old = _stored(session, models, container.id, envelopes=update)
            location, length = seed, None if data is None else len(data)
            # After an update, the envelopes that it left alone are known only from a sound
            # record: without one, the record goes (with its file) and so does the new file,
            # so that the next get() keeps it whole.
            kept = not (update and (old is None or old.damaged))
            if update and kept:
                envelopes = dict(old.blobs)
                envelopes.update(blobs)
                for user_id in revoked:
                    envelopes.pop(UUID(user_id), None)
                blobs = envelopes
                if seed is None:
                    location, length = old.location, old.length
            if old is not None:
                replaced = old.location
                _delete_record(session, models, container.id)
            if kept:
                session.add(models.Container(
                    id=container.id, type=container.type, length=length, created_at=container.created_at,
                    created_by=container.created_by, modified_at=container.modified_at,
                    modified_by=container.modified_by, ofs_location=location, synced_at=arrow.utcnow(),
                    portion="all"))
                for user_id, access in container.access.items():
                    session.add(_access_row(models, container.id, access, blobs.get(user_id, b"")))
    except BaseException:
        if seed is not None:
            ofs.client.delete(seed=seed.encode("utf-8"))
        raise
    if not kept and seed is not None:  # no record names it
        providers.remove_unnamed_file(seed, log)
        location = None
    if replaced and replaced != location:
        providers.remove_unnamed_file(replaced, log)


def _delete_record(session, models, cid):
    # The database deletes the accesses with their container (ON DELETE CASCADE).
    session.execute(sa_delete(models.Container).where(models.Container.id == cid),
                    execution_options={"synchronize_session": False})


def _drop_local(p, cid):
    from norvo.providers.ofs import models

    with providers.local_write(p.local_database()) as session:
        old = _stored(session, models, cid)
        if old is None:
            return
        _delete_record(session, models, cid)
    if old.location:
        providers.remove_unnamed_file(old.location, log)
