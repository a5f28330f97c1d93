"""atheris target: format_objects (see norvo_targets.target_format_objects)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("format_objects")
