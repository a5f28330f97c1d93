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


ROAD = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "road.py")


def test_main_job_walks_the_whole_road(no_proxies):
    run = subprocess.run([sys.executable, ROAD], capture_output=True, text=True, timeout=180, check=True)
    lines = run.stdout.splitlines()
    assert lines[0].startswith("Loopback broker listening on http://127.0.0.1:") and lines[-1] == "Broker stopped"
    sealed_id = next(line.split()[3] for line in lines if line.startswith("Alice sealed container"))
    assert "Bob opened it: header {'title': 'quarterly figures'} content {'revenue': 1250000, 'currency': 'EUR'}" \
        in lines
    assert "Bob's events: added by Alice, accessed by Bob" in lines
    assert any(line.startswith("Bob's local encrypted store holds 1 container(s); " + sealed_id) for line in lines)
    assert "Bob deleted his account; signed in now: None" in lines
    # One short line per step, and nothing on the error stream.
    assert len(lines) == 16 and max(map(len, lines)) < 160 and run.stderr == ""
