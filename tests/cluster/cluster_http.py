"""One request to a server of the cluster, as its tests and benchmark make
them: JSON bodies, a time-out, the status 0 when no answer came."""

import email.message
import json
import urllib.error
import urllib.request


def request(url, method="GET", body=None, timeout=15, headers=None, answer_headers=False):
    """The status and body (bytes) of one request, and its answer's headers
    (their names in any case) when asked."""
    data = None if method == "GET" else json.dumps(body).encode() if body is not None else b""
    req = urllib.request.Request(url, data=data, method=method, headers=headers or {})
    if data is not None:
        req.add_header("Content-Type", "application/json")
    try:
        with urllib.request.urlopen(req, timeout=timeout) as answer:
            got = answer.status, answer.read(), answer.headers
    except urllib.error.HTTPError as refused:
        got = refused.code, b"", refused.headers
    except (urllib.error.URLError, ConnectionError, TimeoutError):
        got = 0, b"", email.message.Message()
    return got if answer_headers else got[:2]
