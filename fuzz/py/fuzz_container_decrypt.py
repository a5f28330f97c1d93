"""atheris target: container_decrypt (see norvo_targets.target_container_decrypt)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("container_decrypt")
