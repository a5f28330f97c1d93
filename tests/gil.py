"""Shared by the tests that check that bulk work runs with the interpreter lock released."""
import threading
import time


def longest_pause_while(work):
    """Runs `work` on another thread and returns (longest pause of this thread, run time of `work`,
    result). A call that keeps the interpreter lock throughout stalls this thread for its whole run."""
    started, times, result = threading.Event(), [], []

    def run():
        times.append(time.perf_counter())
        started.set()
        result.append(work())
        times.append(time.perf_counter())

    worker = threading.Thread(target=run)
    worker.start()
    started.wait()
    last, longest = times[0], 0.0
    while worker.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    worker.join()
    return longest, times[1] - times[0], result[0]
