"""atheris target: keyring_document (see norvo_targets.target_keyring_document)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("keyring_document")
