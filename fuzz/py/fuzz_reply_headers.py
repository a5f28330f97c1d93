"""atheris target: reply_headers (see norvo_targets.target_reply_headers)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("reply_headers")
