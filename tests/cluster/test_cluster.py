"""The cluster of scripts/cluster, used as its users would: clients writing
and reading through HAProxy while the primary is killed and its synchronous
standby promoted, again and again. Afterwards every write that was answered
with success is there, no running number was handed out twice, and no
request hung."""

import json
import os
import shutil
import subprocess
import tempfile
import threading
import time

import pytest

from cluster_http import request

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CLUSTER = os.path.join(REPO, "scripts", "cluster")
# A request answered later than this is taken for a hang: the servers answer
# 503 at once when the store is out of reach.
MOST_WAIT = 15


def _cluster(*args):
    return subprocess.run([CLUSTER, *args], check=True, capture_output=True, text=True, timeout=300).stdout


@pytest.fixture
def cluster():
    folder = tempfile.mkdtemp(prefix="valmorin-cluster-")
    os.chmod(folder, 0o711)
    try:
        lines = _cluster("up", folder).splitlines()
        assert lines[0].startswith("haproxy http://127.0.0.1:"), lines
        yield folder, lines[0].split()[1]
    finally:
        subprocess.run([CLUSTER, "down", folder], capture_output=True, timeout=120)
        shutil.rmtree(folder, ignore_errors=True)


def _request(url, method="GET", body=None):
    """The status and JSON body of one request; status 0 when no answer came."""
    status, text = request(url, method, body, MOST_WAIT)
    return status, json.loads(text) if status and text else None


class Client(threading.Thread):
    """Writes rows of its own and draws running numbers, reading back each
    row it was told was written."""

    def __init__(self, url, name, stop):
        super().__init__(daemon=True)
        self.url, self.name, self.stop = url, name, stop
        self.written, self.numbers, self.stale, self.hung = [], [], [], 0
        self.failed = 0

    def timed(self, *args, **kwargs):
        began = time.monotonic()
        answer = _request(*args, **kwargs)
        if time.monotonic() - began >= MOST_WAIT:
            self.hung += 1
        return answer

    def run(self):
        turn = 0
        while not self.stop.is_set():
            turn += 1
            key = f"{self.name}-{turn}"
            status, _ = self.timed(f"{self.url}/api/tables/T/rows", "POST", {"input": key, "output": key})
            if status == 201:
                self.written.append(key)
                status, body = self.timed(f"{self.url}/api/translate/T/{key}")
                if status in (200, 404) and (status != 200 or body.get("output") != key):
                    self.stale.append(key)
            else:
                self.failed += 1
            status, body = self.timed(f"{self.url}/api/identifiers/N", "POST")
            if status == 200:
                self.numbers.append(body["number"])


def _write_succeeds(url, deadline):
    while time.monotonic() < deadline:
        if _request(f"{url}/api/identifiers/W", "POST")[0] == 200:
            return True
        time.sleep(0.05)
    return False


def test_failovers_under_load_lose_no_acknowledged_write(cluster):
    folder, url = cluster
    status, _ = _request(f"{url}/api/tables", "POST",
                         {"name": "T", "columns": [{"name": "k", "input": True}, {"name": "v"}]})
    assert status == 201
    stop = threading.Event()
    clients = [Client(url, f"c{i}", stop) for i in range(4)]
    for client in clients:
        client.start()
    for _ in range(2):
        time.sleep(2)
        _cluster("failover", folder)
        # The servers find the new primary on their own.
        assert _write_succeeds(url, time.monotonic() + 10), "no write succeeded after the failover"
    time.sleep(1)
    stop.set()
    for client in clients:
        client.join(timeout=MOST_WAIT * 3)

    written = [key for client in clients for key in client.written]
    numbers = [number for client in clients for number in client.numbers]
    assert len(written) > 20 and sum(client.failed for client in clients) > 0, "the failovers were not under load"
    lost = [key for key in written if _request(f"{url}/api/translate/T/{key}") != (200, {"output": key})]
    assert lost == [], f"{len(lost)} of {len(written)} acknowledged writes were lost"
    assert len(numbers) == len(set(numbers)), "a running number was handed out twice"
    assert [key for client in clients for key in client.stale] == [], "a read did not see the write before it"
    assert sum(client.hung for client in clients) == 0, "a request hung"
    roles = _cluster("status", folder)
    assert roles.count(" primary") == 1 and roles.count(" standby") == 2, roles
