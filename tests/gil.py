"""Shared by the tests that check that bulk work runs with the interpreter lock released."""
import threading
import time


def longest_pause_while(work):
    """Runs `work` on another thread and returns (longest pause of this thread, run time of `work`,
    result). A call that keeps the interpreter lock throughout stalls this thread for its whole run.
    When `work` raises, its error is raised here, as it is."""
    started, times, outcome = threading.Event(), [], {}

    def run():
        times.append(time.perf_counter())
        started.set()
        try:
            outcome["result"] = work()
        except BaseException as exc:  # handed to the calling thread below
            outcome["error"] = exc
        times.append(time.perf_counter())

    worker = threading.Thread(target=run)
    worker.start()
    started.wait()
    last, longest = times[0], 0.0
    while worker.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    worker.join()
    if "error" in outcome:
        raise outcome["error"]
    return longest, times[1] - times[0], outcome["result"]
