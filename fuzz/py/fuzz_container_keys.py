"""atheris target: container_keys (see norvo_targets.target_container_keys)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("container_keys")
