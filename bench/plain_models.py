"""The local database's schema declared in plain Python on the same libraries, for bench/road.py.

`declare(key)` gives what norvo.providers.ofs.models declares, table for table and column for
column: the same column types (UUIDs as 32 hex digits, bytes as hex text, date-times as ISO
text, JSON as JSON text), the same sqlalchemy-utils EncryptedType with the same AES engine, its
refusal of text ending in "*" and of cells that do not open cleanly under the key, the same
keys, foreign key and relationship, on a declarative base of its own. `key` is the 32-byte database key, or a callable returning it, as
the wrapper accepts either. The benchmark checks that both schemas write the very same cells.

`declare(None)` gives the same schema with plain columns: every column is its inner type
itself, nothing encrypted; the difference is what the encryption costs.

`database_key(private_key)` derives the database key as the library does: the X9.63 KDF
(SHA-384, 32 bytes, no shared info) of the private key as unencrypted PKCS#8 DER.
"""
import ast
import base64
import binascii
import functools
import json
import types
import uuid
import warnings

import arrow
import sqlalchemy as sa
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.kdf.x963kdf import X963KDF
from sqlalchemy import orm
from sqlalchemy_utils import EncryptedType
from sqlalchemy_utils.types.encrypted.encrypted_type import AesEngine


def database_key(private_key):
    der = private_key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption())
    return X963KDF(algorithm=hashes.SHA384(), length=32, sharedinfo=None).derive(der)


class GUID(sa.types.TypeDecorator):
    impl = sa.CHAR(32)
    cache_ok = True

    def process_bind_param(self, value, dialect):
        if value is None:
            return value
        if not isinstance(value, uuid.UUID):
            value = uuid.UUID(value)
        return "%.32x" % value.int

    def process_result_value(self, value, dialect):
        if value is None:
            return value
        return uuid.UUID(value)


class Binary(sa.types.TypeDecorator):
    impl = sa.CHAR
    cache_ok = True

    def process_bind_param(self, value, dialect):
        if value is None:
            return value
        if not isinstance(value, bytes):
            value = value.encode("utf-8")
        return binascii.hexlify(value).decode("utf-8")

    def process_result_value(self, value, dialect):
        if value is None:
            return value
        return binascii.unhexlify(value)


class DateTime(sa.types.TypeDecorator):
    impl = sa.CHAR
    cache_ok = True

    def process_bind_param(self, value, dialect):
        if value is None:
            return value
        if not isinstance(value, arrow.Arrow):
            value = arrow.get(value)
        return value.isoformat()

    def process_result_value(self, value, dialect):
        if value is None:
            return value
        moment = arrow.get(value).datetime
        moment.utcoffset()  # an offset no date-time can hold fails here, not later
        return moment


class JSON(sa.types.TypeDecorator):
    impl = sa.Text
    cache_ok = True

    def process_bind_param(self, value, dialect):
        if value is None:
            return value
        return json.dumps(value)

    def process_result_value(self, value, dialect):
        if value is None:
            return value
        try:
            return json.loads(value)
        except ValueError:
            pass
        try:
            document = ast.literal_eval(value)
            if json.loads(json.dumps(document)) == document:
                return document
        except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError, OverflowError):
            pass
        raise ValueError("The cell holds neither JSON text nor a stored document.")


class CellTextError(ValueError, sa.exc.DontWrapMixin):
    pass


class SealedCellError(ValueError, sa.exc.DontWrapMixin):
    pass


def refuse_cell():
    raise SealedCellError("An encrypted cell does not open under the database key: it was altered, cut short, "
                          "or sealed for another database.")


class StrictAesEngine(AesEngine):
    def encrypt(self, value):
        if isinstance(value, str) and value.endswith("*"):
            raise CellTextError("Cannot store text that ends in '*': the cell's padding would strip it.")
        return AesEngine.encrypt(self, value)

    def decrypt(self, value):
        if not isinstance(value, str):
            refuse_cell()
        try:
            sealed = base64.b64decode(value, validate=True)
        except ValueError:
            refuse_cell()
        if not sealed or len(sealed) % 16:
            refuse_cell()
        decryptor = self.cipher.decryptor()
        plain = decryptor.update(sealed) + decryptor.finalize()
        kept = len(plain.rstrip(b"*"))
        if not 1 <= len(plain) - kept <= 16:
            refuse_cell()
        try:
            return plain[:kept].decode("utf-8")
        except UnicodeDecodeError:
            refuse_cell()


class SealedEncryptedType(EncryptedType):
    """Reads only sealed bytes: a plain value in an encrypted column was written without the key."""

    cache_ok = True

    def process_result_value(self, value, dialect):
        if value is None:
            return value
        if not isinstance(value, bytes):
            raise SealedCellError("An encrypted cell holds a plain {}, not sealed bytes: it was written without "
                                  "the database key.".format(type(value).__name__))
        return super().process_result_value(value, dialect)


def declare(key):
    """The five row classes on a base of their own, encrypted under `key` (None: plain columns)."""
    Base = orm.declarative_base()
    if key is None:
        def wrap(type_):
            return type_
    else:
        wrap = functools.partial(SealedEncryptedType, key=key, engine=StrictAesEngine)

    def cell(type_, nullable):
        return sa.Column(wrap(type_), nullable=nullable)

    def primary_cell(type_):
        return sa.Column(wrap(type_), primary_key=True, nullable=False)

    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="The 'EncryptedType' class will change",
                                category=DeprecationWarning)

        class User(Base):
            __tablename__ = "users"
            id = primary_cell(sa.String)

        class Key(Base):
            __tablename__ = "keys"
            __table_args__ = (sa.UniqueConstraint("user_id", "key_type", "index"),)
            id = sa.Column(sa.Integer, primary_key=True, nullable=False)
            user_id = sa.Column(wrap(GUID), nullable=False, index=True)
            active = sa.Column(wrap(sa.Boolean), nullable=False, default=True)
            key_type = cell(sa.String, False)
            pub_key = cell(Binary, False)
            index = cell(sa.Integer, False)

        class Container(Base):
            __tablename__ = "containers"
            id = primary_cell(GUID)
            type = cell(sa.String, True)
            length = cell(sa.Integer, False)
            created_at = cell(DateTime, True)
            created_by = cell(GUID, True)
            modified_at = cell(DateTime, True)
            modified_by = cell(GUID, True)
            ofs_location = cell(sa.String, True)
            synced_at = cell(DateTime, False)
            portion = cell(sa.String, False)
            access = orm.relationship("ContainerAccess", collection_class=orm.attribute_keyed_dict("user_id"),
                                      backref=orm.backref("container", uselist=False), lazy="joined",
                                      cascade="all, delete-orphan")

        class ContainerAccess(Base):
            __tablename__ = "container_accesses"
            __table_args__ = (sa.PrimaryKeyConstraint("user_id", "container_id"),)
            user_id = cell(GUID, False)
            container_id = sa.Column(wrap(GUID), sa.ForeignKey("containers.id", onupdate="CASCADE",
                                                               ondelete="CASCADE"), nullable=False)
            created_at = cell(DateTime, True)
            created_by = cell(GUID, True)
            modified_at = cell(DateTime, True)
            modified_by = cell(GUID, True)
            permissions = cell(sa.Integer, False)
            expires_at = cell(DateTime, True)
            key_blob = cell(Binary, False)

        class Event(Base):
            __tablename__ = "events"
            id = primary_cell(sa.BigInteger)
            action = cell(sa.String, False)
            changes = cell(JSON, True)
            client_app_name = cell(sa.String, True)
            container_expired_at = cell(DateTime, True)
            container_id = cell(GUID, True)
            container_modified_at = cell(DateTime, True)
            container_type = cell(sa.String, True)
            date = cell(DateTime, False)
            related_user_id = cell(GUID, True)
            type = cell(sa.String, False)

    return types.SimpleNamespace(Base=Base, User=User, Key=Key, Container=Container,
                                 ContainerAccess=ContainerAccess, Event=Event)
