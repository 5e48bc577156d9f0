"""One timing sample in a fresh process.

    python bench/child.py METHOD PATH CALLS WARMUP   -> one JSON line
    python bench/child.py METHOD --baseline          -> imports only
    python bench/child.py METHOD --dump PATH PREFIX  -> PREFIX.npz of the result

The method's libraries are imported before the clock starts.  With WARMUP 1
one untimed call comes first, so one-time set-up (caches filled on first
use) is not charged to a per-call time measured over many calls.  The peak
resident set of the whole process is reported alongside.
"""

import json
import resource
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from methods import LOADERS


def peak_rss_bytes() -> int:
    """High-water mark of this process's resident set.

    VmHWM belongs to the address space made at exec, whereas Linux carries
    ru_maxrss over from the forking parent, whose own peak (the harness
    holds large arrays) would hide the child's.
    """
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main(argv):
    method = argv[1]
    import numpy  # every method returns NumPy arrays: not part of the time

    read = LOADERS[method]()
    if argv[2] == "--baseline":
        print(json.dumps({"peak_rss": peak_rss_bytes()}))
        return 0
    if argv[2] == "--dump":
        stamps, values = read(argv[3])
        numpy.savez(argv[4], stamps=stamps, values=values, values_c_contiguous=values.flags.c_contiguous)
        print(json.dumps({"dumped": argv[4] + ".npz"}))
        return 0
    path, calls, warmup = argv[2], int(argv[3]), int(argv[4])
    if warmup:
        read(path)
    start = time.perf_counter()
    for _ in range(calls):
        result = read(path)
        del result
    elapsed = time.perf_counter() - start
    print(json.dumps({"seconds": elapsed / calls, "peak_rss": peak_rss_bytes()}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
