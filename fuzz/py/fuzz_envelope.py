"""atheris target: envelope (see norvo_targets.target_envelope)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("envelope")
