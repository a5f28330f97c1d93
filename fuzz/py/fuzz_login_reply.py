"""atheris target: login_reply (see norvo_targets.target_login_reply)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("login_reply")
