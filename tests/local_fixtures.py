"""Fixtures for the local-store tests: temporary roots and databases."""
