"""Runs the loopback broker until interrupted: python -m broker [--port N]."""
import argparse
import threading

from . import Broker


def main():
    parser = argparse.ArgumentParser(prog="python -m broker", description=__doc__)
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free one)")
    args = parser.parse_args()
    b = Broker(port=args.port).start()
    print(b.url, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        b.stop()


if __name__ == "__main__":
    main()
