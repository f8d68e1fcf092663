"""The cluster of scripts/cluster measured: staleness through a standby
(from a write's answer to the answer of a lookup carrying its position);
failovers under writes (the
time from each promotion to the first write that succeeds through HAProxy,
and the acknowledged writes lost, which must be 0), then lookups per second
through HAProxy with three servers and with one (wrk, on the same 2 cores).
Prints lines for scripts/bench's table.
    cluster_bench.py <cluster script> <folder> <failovers>"""

import json
import os
import re
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "cluster"))
from cluster_http import request  # noqa: E402


def cluster(script, *args):
    return subprocess.run([script, *args], check=True, capture_output=True, text=True, timeout=600).stdout


def wrk(url, seconds=5):
    out = subprocess.run(["wrk", "-t2", "-c8", f"-d{seconds}s", "--latency", url],
                         check=True, capture_output=True, text=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", out)
    scale = {"us": 1e-3, "ms": 1, "s": 1e3}[p99.group(2)]
    return rate, float(p99.group(1)) * scale


def main():
    script, folder, failovers = sys.argv[1], sys.argv[2], int(sys.argv[3])
    url = cluster(script, "up", folder).splitlines()[0].split()[1]
    try:
        status, _ = request(f"{url}/api/tables", "POST",
                            {"name": "T", "columns": [{"name": "k", "input": True}, {"name": "v"}]})
        assert status == 201, status
        for i in range(100):
            request(f"{url}/api/tables/T/rows", "POST", {"input": f"k{i}", "output": f"v{i}"})

        # Staleness: from a write's answer to the answer of a lookup carrying
        # its position, which a standby gives once it replayed past it.
        seen = []
        for i in range(200):
            status, _, headers = request(f"{url}/api/tables/T/rows", "POST", {"input": f"s{i}", "output": "s"},
                                         answer_headers=True)
            answered = time.monotonic()
            request(f"{url}/api/translate/T/s{i}", headers={"X-Valmorin-Position": headers.get("X-Valmorin-Position")})
            seen.append((time.monotonic() - answered) * 1e3)
        seen.sort()
        print(f"staleness through a standby, p50 / p99 (ms) {seen[len(seen) // 2]:12.2f} {seen[len(seen) * 99 // 100]:12.2f}"
              "  (write answered to lookup with its position answered)")

        acknowledged, successes, stop = [], [], threading.Event()

        def writer(name):
            turn = 0
            while not stop.is_set():
                turn += 1
                key = f"{name}-{turn}"
                if request(f"{url}/api/tables/T/rows", "POST", {"input": key, "output": key})[0] == 201:
                    acknowledged.append(key)
                    successes.append(time.time())

        writers = [threading.Thread(target=writer, args=(f"w{i}",), daemon=True) for i in range(2)]
        for thread in writers:
            thread.start()
        recoveries = []
        for _ in range(failovers):
            time.sleep(2)
            said = cluster(script, "failover", folder)
            promoted = float(re.search(r"promoted \S+ at ([\d.]+)", said).group(1))
            deadline = time.time() + 30
            while time.time() < deadline and not any(t > promoted for t in successes[-50:]):
                time.sleep(0.01)
            after = [t for t in successes if t > promoted]
            recoveries.append(min(after) - promoted if after else float("inf"))
        time.sleep(1)
        stop.set()
        for thread in writers:
            thread.join(timeout=30)
        lost = 0
        for key in acknowledged:
            status, body = request(f"{url}/api/translate/T/{key}")
            lost += status != 200 or json.loads(body) != {"output": key}
        print(f"failover: promotion to first write (s)      {statistics.median(recoveries):12.2f} "
              f"{max(recoveries):12.2f}  (median, most of {failovers}; target 5)")
        print(f"failover: acknowledged writes lost          {lost:12d} {len(acknowledged):12d}  (target 0)")

        three = wrk(f"{url}/api/translate/T/k7")
        for name in ("serve2", "serve3"):
            with open(f"{folder}/{name}.pid") as pid:
                subprocess.run(["kill", pid.read().strip()], check=False)
        time.sleep(3)
        one = wrk(f"{url}/api/translate/T/k7")
        print(f"through HAProxy, 3 servers / 1 (rps)        {three[0]:12,.0f} {one[0]:12,.0f} {three[0] / one[0]:7.2f}")
        print(f"through HAProxy, 3 servers / 1 p99 (ms)     {three[1]:12.2f} {one[1]:12.2f}")
    finally:
        subprocess.run([script, "down", folder], capture_output=True, timeout=120)


if __name__ == "__main__":
    main()
