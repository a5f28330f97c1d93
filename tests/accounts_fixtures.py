"""Fixtures for the account-operation tests: a recording provider."""
