"""atheris target: portion_section (see norvo_targets.target_portion_section)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("portion_section")
