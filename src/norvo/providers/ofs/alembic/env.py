"""Migration environment of the local database.

The database module runs this on every initialize with an in-memory configuration only,
so the connection is opened here from its "sqlalchemy.url".
"""
import sqlalchemy as sa
from alembic import context
from sqlalchemy.pool import NullPool


def run_migrations_online():
    config = context.config
    # A pool of its own would keep the file open after the migration.
    engine = sa.create_engine(config.get_main_option("sqlalchemy.url"), poolclass=NullPool)
    try:
        with engine.connect() as connection:
            # SQLite alters a column by copying its table; batch mode does that.
            context.configure(connection=connection, render_as_batch=True)
            with context.begin_transaction():
                context.run_migrations()
    finally:
        engine.dispose()


if context.is_offline_mode():
    raise RuntimeError("The local database migrates online only: its revisions inspect the file.")
run_migrations_online()
