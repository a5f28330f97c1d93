"""atheris target: public_key_records (see norvo_targets.target_public_key_records)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("public_key_records")
