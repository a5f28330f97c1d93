"""Peak memory of one container operation, measured in a fresh interpreter (run by bench/run.py).

    python bench/memprobe.py encrypt SIZE CONTAINER_FILE KEYS_FILE
    python bench/memprobe.py open    SIZE CONTAINER_FILE KEYS_FILE
    python bench/memprobe.py pure-encrypt|pure-open ...   the same with bench/pure_container.py

Prints JSON: "peak", the resident-set high-water mark (VmHWM, reset just before) during the
input's creation and the operation, and "retained", the resident set once the call has returned with its result still
referenced, both in bytes above the resident set just before the input was made. C++
allocations and Python's alike show in the resident set, which tracemalloc would not see.
"""
import json
import os
import resource
import sys


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_hwm():
    """Resets the kernel's peak-RSS counter (Linux 4.0 and later) so the peak starts from now."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def maxrss():
    """The resident-set high-water mark of this process's memory map.

    VmHWM first: getrusage's ru_maxrss also keeps the high-water mark of the image that
    exec replaced, which for a child forked from a large parent is the parent's size."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def main():
    mode, size, blob_path, keys_path = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    import norvo.crypto.aes  # noqa: F401
    from norvo.crypto.container import Container, ContainerKeys

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import pure_container as pure

    with open(keys_path, "rb") as f:
        keys = ContainerKeys.from_bytes(f.read())
    # Warm up: modules, allocator arenas, the provider stand-in.
    w = Container(header={"w": 1}, content=b"x" * 4096)
    wk = w.encrypt()
    Container(data=w.data).decrypt(wk)
    pure.decrypt(pure.encrypt({"w": 1}, b"x" * 4096, keys=pure.Keys.of(wk))[0], pure.Keys.of(wk))
    del w, wk

    hwm_reset = reset_hwm()
    base = rss()
    if not hwm_reset:
        base = max(base, maxrss())
    if mode == "encrypt":
        content = os.urandom(size)
        c = Container(header={"name": "benchmark"}, content=content)
        c.encrypt()
    elif mode == "open":
        with open(blob_path, "rb") as f:
            blob = f.read()
        c = Container(data=blob)
        c.decrypt(keys)
        if len(c.content.data) != size:
            raise SystemExit("opened content has the wrong size")
    elif mode == "pure-encrypt":
        content = os.urandom(size)
        c = pure.encrypt({"name": "benchmark"}, content)
    elif mode == "pure-open":
        with open(blob_path, "rb") as f:
            blob = f.read()
        c = pure.decrypt(blob, pure.Keys.of(keys))
        if len(c[2]) != size:
            raise SystemExit("opened content has the wrong size")
    else:
        raise SystemExit("unknown mode " + mode)
    peak = maxrss()
    retained = rss()
    print(json.dumps({"peak": peak - base, "retained": retained - base, "hwm_reset": hwm_reset}))


if __name__ == "__main__":
    main()
