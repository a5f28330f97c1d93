import logging

import pytest

import norvo.providers

# Fixture modules of their own for the account operations, the loopback broker and the local
# store, so that each area keeps its fixtures beside its tests.
pytest_plugins = ["accounts_fixtures", "broker_fixtures", "local_fixtures", "road_fixtures"]


@pytest.fixture(autouse=True)
def fresh_provider():
    """Every test starts with nobody logged in and no known key rings."""
    provider = norvo.providers.current()
    provider.reset()
    yield provider
    provider.reset()


@pytest.fixture
def debug_traces():
    """Turn on the package logger's DEBUG level (which switches call traces on) for one test."""
    log = logging.getLogger("norvo")
    old = log.level
    log.setLevel(logging.DEBUG)
    yield log
    log.setLevel(old)
