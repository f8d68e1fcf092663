"""One request to a server of the cluster, as its tests and benchmark make
them: JSON bodies, a time-out, the status 0 when no answer came."""

import json
import urllib.error
import urllib.request


def request(url, method="GET", body=None, timeout=15):
    """The status and body (bytes) of one request."""
    data = None if method == "GET" else json.dumps(body).encode() if body is not None else b""
    req = urllib.request.Request(url, data=data, method=method)
    if data is not None:
        req.add_header("Content-Type", "application/json")
    try:
        with urllib.request.urlopen(req, timeout=timeout) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as refused:
        return refused.code, b""
    except (urllib.error.URLError, ConnectionError, TimeoutError):
        return 0, b""
