"""atheris target: db_cell (see norvo_targets.target_db_cell)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("db_cell")
