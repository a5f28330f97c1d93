"""The README's example must keep working: run it as a user would."""
import os
import subprocess
import sys

EXAMPLE = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "share_container.py")


def test_example_shares_a_container_from_alice_to_bob():
    out = subprocess.run([sys.executable, EXAMPLE], capture_output=True, text=True, timeout=120, check=True).stdout
    sealed_line, opened_line, permissions_line = out.splitlines()
    sealed_id = sealed_line.split()[3]
    assert opened_line.startswith("Bob opened container {}:".format(sealed_id))
    assert "{'title': 'quarterly figures'}" in opened_line
    assert "{'revenue': 1250000, 'currency': 'EUR'}" in opened_line
    assert "int=139" in permissions_line
