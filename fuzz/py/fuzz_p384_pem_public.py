"""atheris target: p384_pem_public (see norvo_targets.target_p384_pem_public)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("p384_pem_public")
