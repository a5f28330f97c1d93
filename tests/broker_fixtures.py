"""Fixtures for the server-provider tests: the loopback broker."""
