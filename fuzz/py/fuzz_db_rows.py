"""atheris target: db_rows (see norvo_targets.target_db_rows)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("db_rows")
