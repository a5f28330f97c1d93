"""atheris target: file_store (see norvo_targets.target_file_store)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("file_store")
