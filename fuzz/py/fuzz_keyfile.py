"""atheris target: keyfile (see norvo_targets.target_keyfile)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("keyfile")
