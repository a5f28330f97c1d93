"""atheris target: p384_der_public (see norvo_targets.target_p384_der_public)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("p384_der_public")
