"""atheris target: ies_decrypt (see norvo_targets.target_ies_decrypt)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("ies_decrypt")
