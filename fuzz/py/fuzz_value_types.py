"""atheris target: value_types (see norvo_targets.target_value_types)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("value_types")
