"""The interpreter-lock helper that the bulk-work tests share (tests/gil.py)."""
import pytest

from gil import longest_pause_while


def test_result_and_timings():
    pause, total, result = longest_pause_while(lambda: sum(range(1000)))
    assert result == 499500 and 0 <= pause and 0 <= total


def test_the_work_s_own_error_is_raised():
    def work():
        raise KeyError("the real error")

    with pytest.raises(KeyError, match="the real error"):
        longest_pause_while(work)
