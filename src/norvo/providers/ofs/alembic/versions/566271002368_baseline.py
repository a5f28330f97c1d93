"""Baseline: the five tables of the local database.

Revision ID: 566271002368
Revises:

The tables may already exist, made by the models' create_all before the migration runs,
so each step adds only what the file lacks. Every column but keys.id holds an encrypted
cell, which SQLite stores as a binary string.
"""
import sqlalchemy as sa
from alembic import op

revision = "566271002368"
down_revision = None
branch_labels = None
depends_on = None


def _cell():
    return sa.LargeBinary()


def _users():
    op.create_table(
        "users",
        sa.Column("id", _cell(), nullable=False),
        sa.PrimaryKeyConstraint("id"),
    )


def _keys():
    op.create_table(
        "keys",
        sa.Column("id", sa.Integer(), nullable=False),
        sa.Column("user_id", _cell(), nullable=False),
        sa.Column("active", _cell(), nullable=False),
        sa.Column("key_type", _cell(), nullable=False),
        sa.Column("pub_key", _cell(), nullable=False),
        sa.Column("index", _cell(), nullable=False),
        sa.PrimaryKeyConstraint("id"),
        sa.UniqueConstraint("user_id", "key_type", "index"),
    )


def _containers():
    op.create_table(
        "containers",
        sa.Column("id", _cell(), nullable=False),
        sa.Column("type", _cell(), nullable=True),
        sa.Column("length", _cell(), nullable=False),
        sa.Column("created_at", _cell(), nullable=True),
        sa.Column("created_by", _cell(), nullable=True),
        sa.Column("modified_at", _cell(), nullable=True),
        sa.Column("modified_by", _cell(), nullable=True),
        sa.Column("ofs_location", _cell(), nullable=True),
        sa.Column("synced_at", _cell(), nullable=False),
        sa.Column("portion", _cell(), nullable=False),
        sa.PrimaryKeyConstraint("id"),
    )


def _container_accesses():
    op.create_table(
        "container_accesses",
        sa.Column("user_id", _cell(), nullable=False),
        sa.Column("container_id", _cell(), nullable=False),
        sa.Column("created_at", _cell(), nullable=True),
        sa.Column("created_by", _cell(), nullable=True),
        sa.Column("modified_at", _cell(), nullable=True),
        sa.Column("modified_by", _cell(), nullable=True),
        sa.Column("permissions", _cell(), nullable=False),
        sa.Column("expires_at", _cell(), nullable=True),
        sa.Column("key_blob", _cell(), nullable=False),
        sa.ForeignKeyConstraint(["container_id"], ["containers.id"], onupdate="CASCADE", ondelete="CASCADE"),
        sa.PrimaryKeyConstraint("user_id", "container_id"),
    )


# The broker sends no expiry for a container that has not expired and no modification
# time for an event that changed no content: both dates may be NULL.
NULLABLE_EVENT_DATES = ("container_expired_at", "container_modified_at")


def _events():
    op.create_table(
        "events",
        sa.Column("id", _cell(), nullable=False),
        sa.Column("action", _cell(), nullable=False),
        sa.Column("changes", _cell(), nullable=True),
        sa.Column("client_app_name", _cell(), nullable=True),
        sa.Column("container_expired_at", _cell(), nullable=True),
        sa.Column("container_id", _cell(), nullable=True),
        sa.Column("container_modified_at", _cell(), nullable=True),
        sa.Column("container_type", _cell(), nullable=True),
        sa.Column("date", _cell(), nullable=False),
        sa.Column("related_user_id", _cell(), nullable=True),
        sa.Column("type", _cell(), nullable=False),
        sa.PrimaryKeyConstraint("id"),
    )


TABLES = (
    ("users", _users),
    ("keys", _keys),
    ("containers", _containers),
    ("container_accesses", _container_accesses),
    ("events", _events),
)


def upgrade():
    inspector = sa.inspect(op.get_bind())
    existing = set(inspector.get_table_names())
    for name, create in TABLES:
        if name not in existing:
            create()

    if "keys" not in existing or not any(ix["name"] == "ix_keys_user_id" for ix in inspector.get_indexes("keys")):
        op.create_index("ix_keys_user_id", "keys", ["user_id"], unique=False)

    # An events table made while these dates were NOT NULL is relaxed in place.
    if "events" in existing:
        columns = {c["name"]: c for c in inspector.get_columns("events")}
        stiff = [n for n in NULLABLE_EVENT_DATES if n in columns and not columns[n]["nullable"]]
        if stiff:
            with op.batch_alter_table("events") as batch:
                for name in stiff:
                    batch.alter_column(name, existing_type=_cell(), nullable=True)


def downgrade():
    op.drop_table("events")
    op.drop_table("container_accesses")
    op.drop_table("containers")
    op.drop_index("ix_keys_user_id", table_name="keys")
    op.drop_table("keys")
    op.drop_table("users")
