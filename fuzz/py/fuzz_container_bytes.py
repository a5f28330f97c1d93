"""atheris target: container_bytes (see norvo_targets.target_container_bytes)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("container_bytes")
