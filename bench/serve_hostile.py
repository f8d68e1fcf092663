"""valmorin serve beside hostile clients (scripts/bench).

latency <port> <tls: 0 or 1> <connections> <path> <label>
    Opens the connections, half of them silent, half dripping one byte
    every 3 s (a request's head, or under TLS a ClientHello); then measures
    100 fresh clients, one after the other, each a new connection (its TLS
    handshake included) asking <path>, after one not counted. Prints the fresh clients' latency
    (connect to the answer's end), how many were answered 200, and how
    many hostile connections the server had closed.

memory <port> <pid> <senders> <seconds>
    Senders post bodies declared as 255 MiB without credentials, as fast
    as the server takes them, for the seconds given; prints the server's
    resident memory before and at its peak (KiB).
"""
import resource
import socket
import ssl
import statistics
import sys
import threading
import time

CLIENT_HELLO = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + b"\x00" * 64


def connect(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    # Small writes go at once, as a browser's do: no wait for an ACK that
    # the server may delay.
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def answered(sock, deadline):
    """Reads one answer whole (its head and the body its Content-Length
    gives); False when the connection ends or the deadline passes first."""
    data = b""
    while time.monotonic() < deadline:
        sock.settimeout(max(deadline - time.monotonic(), 0.001))
        try:
            chunk = sock.recv(65536)
        except (socket.timeout, OSError):
            return False
        if not chunk:
            return False
        data += chunk
        end = data.find(b"\r\n\r\n")
        if end >= 0:
            length = 0
            for line in data[:end].split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
            if len(data) >= end + 4 + length:
                return data.startswith(b"HTTP/1.1 200")
    return False


def client_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def fresh(port, tls, path):
    """One fresh client: True when answered 200 within 5 s."""
    deadline = time.monotonic() + 5
    try:
        with connect(port) as sock:
            if tls:
                sock = tls.wrap_socket(sock)
            sock.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
            return answered(sock, deadline)
    except OSError:
        return False


def latency(port, tls, connections, path, label):
    slow = (CLIENT_HELLO if tls else f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n".encode())
    hostile = []
    for i in range(connections):
        sock = connect(port)
        hostile.append((i % 2, sock))
    stop = threading.Event()

    def drip():  # one byte every 3 s on each slow connection
        sent = 0
        while not stop.wait(3) and sent < len(slow):
            for dripping, sock in hostile:
                if dripping:
                    try:
                        sock.send(slow[sent:sent + 1])
                    except OSError:
                        pass
            sent += 1

    dripper = threading.Thread(target=drip)
    dripper.start()
    times, good = [], 0
    context = client_context() if tls else None
    fresh(port, context, path)  # the client's own first-time costs (its TLS library's) not counted
    for _ in range(100):
        start = time.monotonic()
        good += fresh(port, context, path)
        times.append((time.monotonic() - start) * 1000)
        time.sleep(0.1)
    stop.set()
    dripper.join()
    closed = 0
    for _, sock in hostile:
        sock.setblocking(False)
        try:
            closed += sock.recv(1) == b""
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
        sock.close()
    times.sort()
    print(f"{label}_p50_ms", statistics.median(times))
    print(f"{label}_p99_ms", times[int(len(times) * 0.99) - 1])
    print(f"{label}_max_ms", times[-1])
    print(f"{label}_answered", good)
    print(f"{label}_closed", closed)


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def memory(port, pid, senders, seconds):
    idle = resident_kib(pid)
    peak = idle
    until = time.monotonic() + seconds
    body = b"x" * (1 << 20)

    def send():
        while time.monotonic() < until:
            try:
                with connect(port) as sock:
                    sock.sendall(b"POST /api/tables HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                                 b"Content-Type: application/json\r\nContent-Length: 267386880\r\n\r\n" % port)
                    while time.monotonic() < until:
                        sock.sendall(body)
            except OSError:
                pass

    threads = [threading.Thread(target=send) for _ in range(senders)]
    for thread in threads:
        thread.start()
    while time.monotonic() < until:
        peak = max(peak, resident_kib(pid))
        time.sleep(0.05)
    for thread in threads:
        thread.join()
    print("memory_idle_kib", idle)
    print("memory_peak_kib", peak)


if __name__ == "__main__":
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if sys.argv[1] == "latency":
        latency(int(sys.argv[2]), sys.argv[3] == "1", int(sys.argv[4]), sys.argv[5], sys.argv[6])
    else:
        memory(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]))
