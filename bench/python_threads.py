"""Lookups from Python: 4 threads, each with an object of its own, against
one thread doing all of them. The module releases the GIL around every
call, so the threads' calls run side by side. Prints, in microseconds, one
line per kind as scripts/bench reads them: "python_one <us>" and
"python_four <us>".

usage: PYTHONPATH=<build>/python python3 python_threads.py <valmorin command> <libvalmorin.so>"""

import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

LOOKUPS = 20000

root = tempfile.mkdtemp(prefix="valmorin-python-bench-")
atexit.register(shutil.rmtree, root, ignore_errors=True)
for name in ("PELKOR_REGISTRY_DIR", "PELKOR_ROOT", "XDG_CONFIG_HOME", "XDG_DATA_HOME"):
    os.environ[name] = os.path.join(root, name.lower())
    os.makedirs(os.environ[name])
cli, library = sys.argv[1], sys.argv[2]
subprocess.run([cli, "regsvr", "/s", library], check=True)
subprocess.run([cli, "init"], check=True, capture_output=True)  # the default store, below root, which NK names
subprocess.run([cli, "--batch"], check=True, capture_output=True, text=True,
               input="".join(f"transadd\tT\tK{i}\tV{i}\n" for i in range(1000)))

import valmorin  # noqa: E402  (after the registry it reads is in place)


def lookups(count, offset):
    component = valmorin.Valmorin()
    for n in range(count):
        component.translate("T", f"K{(n + offset) % 1000}")


def timed(threads):
    workers = [threading.Thread(target=lookups, args=(LOOKUPS // threads, t * 250)) for t in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return (time.perf_counter() - start) * 1e6


for _ in range(3):
    print(f"python_one {timed(1):.0f}")
    print(f"python_four {timed(4):.0f}")
