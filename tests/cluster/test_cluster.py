"""The cluster of scripts/cluster, used as its users would: clients writing
and reading through HAProxy while the primary is killed and its synchronous
standby promoted, again and again. Afterwards every write that was answered
with success is there, no running number was handed out twice, and no
request hung."""

import base64
import json
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
import urllib.request

import pytest

from cluster_http import request

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CLUSTER = os.path.join(REPO, "scripts", "cluster")
# A request answered later than this is taken for a hang: the servers answer
# 503 at once when the store is out of reach.
MOST_WAIT = 15


def _cluster(*args):
    return subprocess.run([CLUSTER, *args], check=True, capture_output=True, text=True, timeout=300).stdout


def _up(accounts=None, **settings):
    folder = tempfile.mkdtemp(prefix="valmorin-cluster-")
    os.chmod(folder, 0o711)
    environment = dict(os.environ, **settings)
    if accounts:
        with open(os.path.join(folder, "users"), "w", encoding="utf-8") as users:
            for user, password in accounts.items():
                made = subprocess.run(["htpasswd", "-nbBC", "4", user, password], check=True, capture_output=True,
                                      text=True)
                users.write(made.stdout.splitlines()[0] + "\n")
    try:
        lines = subprocess.run([CLUSTER, "up", folder], check=True, capture_output=True, text=True, timeout=300,
                               env=environment).stdout.splitlines()
        assert lines[0].startswith("haproxy http://127.0.0.1:"), lines
        yield folder, lines[0].split()[1]
    finally:
        subprocess.run([CLUSTER, "down", folder], capture_output=True, timeout=120)
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def cluster():
    yield from _up()


@pytest.fixture
def lagging_cluster():
    """Servers whose standby may lag 64 KiB and is waited for 100 ms, with
    their lookup cache on."""
    yield from _up(VALMORIN_READ_LAG_KIB="64", VALMORIN_READ_WAIT_MS="100", VALMORIN_LOOKUP_CACHE="1000")


def _state(folder):
    with open(os.path.join(folder, "state"), encoding="utf-8") as kept:
        return dict(line.rstrip("\n").split("=", 1) for line in kept if "=" in line)


def _store(folder, attributes):
    """The cluster's store as a component names it: every node, libpq taking
    the first whose session has the attributes."""
    state = _state(folder)
    nodes = ("pg1", "pg2", "pg3")
    return (f"Provider=PostgreSQL;Host={','.join('127.0.0.1' for _ in nodes)};"
            f"Port={','.join(state[node + '.port'] for node in nodes)};Database=qms;User ID={state['user']};"
            f"Target Session Attrs={attributes}")


@pytest.fixture
def ready_lag_cluster():
    """Servers whose /readyz holds their standby to 64 KiB of lag."""
    yield from _up(VALMORIN_READY_LAG_KIB="64")


@pytest.fixture
def cluster_with_accounts():
    yield from _up(accounts={"alice": "wonder land"})


def _standbys(folder):
    return [line.split()[0] for line in _cluster("status", folder).splitlines() if line.endswith(" standby")]


def _primary(folder):
    return next(line.split()[0] for line in _cluster("status", folder).splitlines() if line.endswith(" primary"))


def _servers(folder):
    return [line.split()[1] for line in _cluster("status", folder).splitlines() if line.startswith("serve")]


def _request(url, method="GET", body=None, headers=None):
    """The status and JSON body of one request; status 0 when no answer came."""
    status, text = request(url, method, body, MOST_WAIT, headers)
    return status, json.loads(text) if status and text else None


def _position(url, method, body):
    """A write's status and the position it was answered with."""
    answer = request(url, method, body, MOST_WAIT, answer_headers=True)
    return answer[0], answer[2].get("X-Valmorin-Position")


class Client(threading.Thread):
    """Writes rows of its own and draws running numbers, reading back each
    row it was told was written with the position the write was answered
    with."""

    def __init__(self, url, name, stop):
        super().__init__(daemon=True)
        self.url, self.name, self.stop = url, name, stop
        self.written, self.numbers, self.stale, self.hung = [], [], [], 0
        self.unpositioned = 0
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
            began = time.monotonic()
            status, position = _position(f"{self.url}/api/tables/T/rows", "POST", {"input": key, "output": key})
            self.hung += time.monotonic() - began >= MOST_WAIT
            if status == 201:
                self.written.append(key)
                # Read back carrying the write's position: the standby that
                # answers must have replayed it, whatever failed over since.
                if not position:
                    self.unpositioned += 1
                    continue
                status, body = self.timed(f"{self.url}/api/translate/T/{key}",
                                          headers={"X-Valmorin-Position": position})
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
    assert sum(client.unpositioned for client in clients) == 0, "a write answered with success carried no position"
    roles = _cluster("status", folder)
    assert roles.count(" primary") == 1 and roles.count(" standby") == 2, roles


def test_lookups_from_lagging_standbys_see_the_writes_they_follow(lagging_cluster):
    folder, url = lagging_cluster
    assert _request(f"{url}/api/tables", "POST",
                    {"name": "T", "columns": [{"name": "k", "input": True}, {"name": "v"}]})[0] == 201
    status, position = _position(f"{url}/api/tables/T/rows", "POST", {"input": "a", "output": "1"})
    assert status == 201 and position and position.isdigit(), position
    assert _request(f"{url}/api/translate/T/a", headers={"X-Valmorin-Position": position}) == (200, {"output": "1"})
    time.sleep(0.5)  # the standbys catch up, the cache keeps what they answer
    for _ in range(3):
        _request(f"{url}/api/translate/T/a")

    standbys = _standbys(folder)
    assert len(standbys) == 2
    # The lookup cache of the standby's objects cannot hear of changes there
    # (a standby cannot LISTEN): it asks again once a second, no faster.
    sessions = "SELECT sessions FROM pg_stat_database WHERE datname = 'qms'"
    before = int(_cluster("sql", folder, standbys[0], sessions))
    time.sleep(2)
    assert int(_cluster("sql", folder, standbys[0], sessions)) - before < 30, "the standby is asked without pause"
    for node in standbys:
        _cluster("sql", folder, node, "SELECT pg_wal_replay_pause()")
        # The lookups' sessions there end: they open again on the standby,
        # not on the write store the server also names.
        _cluster("sql", folder, node, "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                                      "application_name = 'valmorin'")
    try:
        status, position = _position(f"{url}/api/tables/T/rows/a", "PUT", {"output": "2"})
        assert status == 200, status
        began = time.monotonic()
        assert _request(f"{url}/api/translate/T/a", headers={"X-Valmorin-Position": position}) == \
            (200, {"output": "2"}), "a lookup carrying the write's position did not see it"
        assert time.monotonic() - began < 3, "the lookup waited on the paused standby past its bound"
        # Without a position a standby answers while it lags less than the
        # bound (the row just written is not there yet), the primary past it.
        stale, fresh, turn = 0, 0, 0
        while fresh < 20 and turn < 3000:
            turn += 1
            key = f"k{turn}"
            assert _request(f"{url}/api/tables/T/rows", "POST", {"input": key, "output": key})[0] == 201
            status, body = _request(f"{url}/api/translate/T/{key}")
            if status == 404:
                stale, fresh = stale + 1, 0
            else:
                assert (status, body) == (200, {"output": key})
                fresh += 1
        assert stale > 0, "no lookup was answered by a standby"
        assert fresh == 20, "lookups stayed on a standby lagging past the bound"
        assert _request(f"{url}/api/translate/T/a", headers={"X-Valmorin-Position": "x1"})[0] == 400
        _another_servers_write_is_seen_through_the_cache(folder)
    finally:
        for node in standbys:
            _cluster("sql", folder, node, "SELECT pg_wal_replay_resume()")
    # Caught up, every server's standby answers the new value: no cache kept
    # the old one, which no notification on a standby would ever replace.
    time.sleep(1)
    answers = [_request(f"{url}/api/translate/T/a") for _ in range(9)]
    assert answers == [(200, {"output": "2"})] * 9, answers


def _another_servers_write_is_seen_through_the_cache(folder):
    """With its standby lagging, a server answers from the primary through
    its lookup cache, which hears of another server's write a notification's
    time later: a lookup carrying that write's position must see it all the
    same, here with every notification held up."""
    writer, reader = _servers(folder)[:2]
    for _ in range(2):  # read, then kept
        assert _request(f"{reader}/api/translate/T/a") == (200, {"output": "2"})
    watches = _cluster("sql", folder, _primary(folder), "SELECT string_agg(pid::text, ' ') FROM pg_stat_activity "
                                                        "WHERE application_name = 'valmorin watch'").split()
    assert len(watches) == 3, watches
    for pid in watches:
        subprocess.run(["kill", "-STOP", pid], check=True)
    try:
        status, position = _position(f"{writer}/api/tables/T/rows/a", "PUT", {"output": "3"})
        assert status == 200 and position
        assert _request(f"{reader}/api/translate/T/a", headers={"X-Valmorin-Position": position}) == \
            (200, {"output": "3"}), "the cache answered for a write it had not heard of"
    finally:
        for pid in watches:
            subprocess.run(["kill", "-CONT", pid], check=False)
    assert _request(f"{reader}/api/translate/T/a") == (200, {"output": "3"})
    assert _request(f"{writer}/api/tables/T/rows/a", "PUT", {"output": "2"})[0] == 200


def test_a_component_reads_its_standby_within_the_lag_bound(cluster):
    """The data source NK_READ beside NK: lookups and listings go to the
    standby while it lags less than the registry's ReadLag (KiB), to the
    write store past it. The lookup cache keeps none of the standby's
    answers: it hears of the write store's changes, not of how far the
    standby has replayed them."""
    folder, url = cluster
    home = os.path.join(folder, "component")
    environment = dict(os.environ, PELKOR_REGISTRY_DIR=os.path.join(home, "registry"),
                       XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_DATA_HOME=os.path.join(home, "data"))
    cli = os.environ["VALMORIN_CLI"]
    for command in ([cli, "regsvr", "/s", os.environ["VALMORIN_LIBRARY"]],
                    [cli, "reg", "add", "HKLM\\SOFTWARE\\Pelkor\\Common\\Valmorin", "/v", "ReadLag", "/t",
                     "REG_DWORD", "/d", "64", "/f"],
                    [cli, "reg", "add", "HKLM\\SOFTWARE\\Pelkor\\Common\\Valmorin", "/v", "LookupCache", "/t",
                     "REG_DWORD", "/d", "1000", "/f"],
                    [cli, "datasource", "set", "NK", _store(folder, "read-write")],
                    [cli, "datasource", "set", "NK_READ", _store(folder, "standby")]):
        subprocess.run(command, check=True, capture_output=True, env=environment, timeout=60)
    assert _request(f"{url}/api/tables", "POST",
                    {"name": "T", "columns": [{"name": "k", "input": True}, {"name": "v"}]})[0] == 201
    batch = subprocess.Popen([cli, "--batch"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                             env=environment)
    standbys = _standbys(folder)

    def ask(line):
        batch.stdin.write(line + "\n")
        batch.stdin.flush()
        return batch.stdout.readline().rstrip("\n")

    def replay(verb):
        for node in standbys:
            _cluster("sql", folder, node, f"SELECT pg_wal_replay_{verb}()")

    try:
        replay("pause")
        stale, fresh, turn = 0, 0, 0
        while fresh < 20 and turn < 3000:
            turn += 1
            key = f"k{turn}"
            assert _request(f"{url}/api/tables/T/rows", "POST", {"input": key, "output": key})[0] == 201
            time.sleep(0.11)  # the component measures the lag every 100 ms
            answer = ask(f"translate\tT\t{key}")
            listed = json.loads(ask(f"CorrespondanceListJson\tT\t{key}\t0\t0").split("\t", 1)[1])["total"]
            if answer == f"OK\t{key}":
                fresh += 1
            else:
                assert answer.startswith("OK"), answer
                stale, fresh = stale + 1, 0
            assert listed == (answer == f"OK\t{key}"), "the listing was read from the other store"
        assert stale > 0, "no lookup was answered by the standby"
        assert fresh == 20, "lookups stayed on a standby lagging past the bound"

        # A miss the standby answered while it lagged, with no write since:
        # once it has caught up, the lookup finds the row.
        missed = None
        for turn in range(50):
            replay("resume")
            time.sleep(1)  # caught up, and the lag measured again
            replay("pause")
            key = f"late{turn}"
            assert _request(f"{url}/api/tables/T/rows", "POST", {"input": key, "output": key})[0] == 201
            time.sleep(0.11)
            if ask(f"translate\tT\t{key}") != f"OK\t{key}":
                missed = key
                break
        assert missed, "no lookup was answered by the standby"
        replay("resume")
        deadline = time.monotonic() + 10
        while ask(f"translate\tT\t{missed}") != f"OK\t{missed}" and time.monotonic() < deadline:
            time.sleep(0.1)
        assert ask(f"translate\tT\t{missed}") == f"OK\t{missed}", "the cache kept what a lagging standby answered"
    finally:
        replay("resume")
        batch.stdin.close()
        batch.wait(timeout=30)


def _serve(folder, name, read_connection):
    """One more server of the cluster's store, reading from the store that
    read_connection names; its URL and process."""
    home = os.path.join(folder, name)
    os.makedirs(os.path.join(home, "tmp"))
    for made in (home, os.path.join(home, "tmp")):
        os.chmod(made, 0o700)  # as the cluster's own servers', whatever the umask
    environment = dict(os.environ, PELKOR_REGISTRY_DIR=os.path.join(folder, "registry"),
                       XDG_DATA_HOME=os.path.join(home, "data"), XDG_CONFIG_HOME=os.path.join(home, "config"),
                       TMPDIR=os.path.join(home, "tmp"))
    log_path = os.path.join(folder, f"{name}.log")
    with open(log_path, "w", encoding="utf-8") as log:
        server = subprocess.Popen([os.environ["VALMORIN_CLI"], "serve", "--listen", "127.0.0.1:0", "--connection",
                                   _store(folder, "read-write"), "--read-connection", read_connection],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=environment)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and server.poll() is None:
        with open(log_path, encoding="utf-8") as log:
            listening = re.search(r"listening on (http://127\.0\.0\.1:\d+)", log.read())
        if listening:
            return listening.group(1), server
        time.sleep(0.1)
    server.kill()
    with open(log_path, encoding="utf-8") as log:
        pytest.fail(f"{name} did not start: {log.read()}")


def test_a_standby_of_another_system_is_never_read(cluster):
    """A server in recovery that another system feeds passes every measure
    of a standby but one: its system identifier. Named first among a
    server's read nodes, it is passed over for the cluster's own standby."""
    folder, url = cluster
    assert _request(f"{url}/api/tables", "POST",
                    {"name": "T", "columns": [{"name": "k", "input": True}, {"name": "v"}]})[0] == 201
    assert _request(f"{url}/api/tables/T/rows", "POST", {"input": "a", "output": "1"})[0] == 201
    stranger = _cluster("stranger", folder).split()
    assert stranger[2] == "standby", stranger
    state = _state(folder)
    ports = [stranger[1].rsplit(":", 1)[1], state[_standbys(folder)[0] + ".port"]]
    read = (f"Provider=PostgreSQL;Host=127.0.0.1,127.0.0.1;Port={','.join(ports)};Database=qms;"
            f"User ID={state['user']};Target Session Attrs=standby")
    server_url, server = _serve(folder, "serve-stranger", read)
    try:
        time.sleep(1.5)  # a standby picked and measured
        answers = [_request(f"{server_url}/api/translate/T/a") for _ in range(9)]
        assert answers == [(200, {"output": "1"})] * 9, answers
    finally:
        server.terminate()
        server.wait(timeout=30)


def _ready(server, want, within):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if request(f"{server}/readyz", "GET", None, MOST_WAIT)[0] == want:
            return True
        time.sleep(0.1)
    return False


def test_readiness_holds_the_standby_to_its_bound_when_given_one(ready_lag_cluster):
    """With --ready-lag a server whose standby falls behind past the bound
    says it is not ready, so that the proxy sends its requests elsewhere,
    and ready again once the standby has caught up."""
    folder, _ = ready_lag_cluster
    server = _servers(folder)[0]
    assert _ready(server, 200, 10), "the server never became ready"
    assert _request(f"{server}/api/tables", "POST",
                    {"name": "T", "columns": [{"name": "k", "input": True}, {"name": "v"}]})[0] == 201
    standbys = _standbys(folder)
    for node in standbys:
        _cluster("sql", folder, node, "SELECT pg_wal_replay_pause()")
    try:
        for turn in range(3000):
            assert _request(f"{server}/api/tables/T/rows", "POST", {"input": f"k{turn}", "output": "v"})[0] == 201
            if turn % 50 == 49 and request(f"{server}/readyz", "GET", None, MOST_WAIT)[0] == 503:
                break
        assert _ready(server, 503, 3), "ready with its standby lagging past the bound"
    finally:
        for node in standbys:
            _cluster("sql", folder, node, "SELECT pg_wal_replay_resume()")
    assert _ready(server, 200, 10), "not ready again once the standby caught up"


def test_a_session_stays_on_the_server_that_made_it(cluster_with_accounts):
    """Sessions live in the server that made them: HAProxy's cookie keeps a
    browser there; Basic credentials go to any server."""
    _, url = cluster_with_accounts
    login = urllib.request.Request(f"{url}/api/session", method="POST",
                                   data=json.dumps({"user": "alice", "password": "wonder land"}).encode(),
                                   headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(login, timeout=MOST_WAIT) as answer:
        cookie = answer.headers["Set-Cookie"].split(";")[0]
    assert re.match(r"valmorin_session=serve\d~", cookie), cookie
    for _ in range(9):
        assert _request(f"{url}/api/tables", headers={"Cookie": cookie})[0] == 200, "the session left its server"
    basic = "Basic " + base64.b64encode(b"alice:wonder land").decode()
    for _ in range(9):
        assert _request(f"{url}/api/tables", headers={"Authorization": basic})[0] == 200


def _signal_sessions(folder, node, signal):
    """Stops (SIGSTOP) or resumes (SIGCONT) a node's sessions of the store
    and its postmaster, as a link that hangs without failing does; its
    replication goes on, so that synchronous writes still commit."""
    with open(os.path.join(folder, "postgres", node, "postmaster.pid"), encoding="utf-8") as pid_file:
        postmaster = int(pid_file.readline())
    sessions = subprocess.run(["pgrep", "-P", str(postmaster), "-f", " qms "], capture_output=True,
                              text=True).stdout.split()
    for pid in [*sessions, str(postmaster)]:
        subprocess.run(["kill", f"-{signal}", pid], check=False)


def test_a_standby_that_hangs_holds_up_no_request(cluster):
    folder, url = cluster
    assert _request(f"{url}/api/tables", "POST",
                    {"name": "T", "columns": [{"name": "k", "input": True}, {"name": "v"}]})[0] == 201
    status, position = _position(f"{url}/api/tables/T/rows", "POST", {"input": "a", "output": "1"})
    assert status == 201
    time.sleep(0.5)
    standbys = _standbys(folder)
    for node in standbys:
        _signal_sessions(folder, node, "STOP")
    try:
        time.sleep(1.5)  # the servers' measures of the standby grow old
        for turn in range(6):
            began = time.monotonic()
            assert _request(f"{url}/api/translate/T/a", headers={"X-Valmorin-Position": position}) == \
                (200, {"output": "1"})
            assert _request(f"{url}/api/translate/T/a") == (200, {"output": "1"})
            assert _request(f"{url}/api/tables/T/rows/a", "PUT", {"output": f"w{turn}"})[0] == 200
            assert time.monotonic() - began < 5, "a request waited on the standby that hangs"
            position = _position(f"{url}/api/tables/T/rows/a", "PUT", {"output": "1"})[1]
    finally:
        for node in standbys:
            _signal_sessions(folder, node, "CONT")
