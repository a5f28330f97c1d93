"""atheris target: p384_pem_private (see norvo_targets.target_p384_pem_private)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("p384_pem_private")
