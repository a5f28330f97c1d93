"""atheris target: object_range (see norvo_targets.target_object_range)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("object_range")
