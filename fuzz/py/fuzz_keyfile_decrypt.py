"""atheris target: keyfile_decrypt (see norvo_targets.target_keyfile_decrypt)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("keyfile_decrypt")
