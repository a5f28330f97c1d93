"""atheris target: event_pages (see norvo_targets.target_event_pages)."""

import atheris_main

if __name__ == "__main__":
    atheris_main.main("event_pages")
