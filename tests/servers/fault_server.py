#!/usr/bin/env python3
"""A scripted HTTP/1.1 server for the download tests: it plays on demand what real servers
will not (stalls, bodies cut short, wrong lengths, ignored ranges, proxy challenges).

Usage: fault_server.py CONFIG PORT_FILE REQUESTS_FILE

CONFIG is JSON: {"bodies": {path: file holding the bytes}, "script": {path: [step, ...]}},
each step with the fields of testsupport::FaultStep. Each request for a path takes the next
step of its list and the last step repeats. The port is written to PORT_FILE once listening;
every request is appended to REQUESTS_FILE as one JSON line before it is answered.
"""

import http
import json
import time
import os
import re
import socket
import sys
import threading

DEFAULT_STEP = {
    "status": 200,
    "headers": [],
    "honour_range": True,
    "content_length": -1,
    "cut_after": -1,
    "stall_after": -1,
    "extra_bytes": 0,
    "trickle_chunk": 0,
    "trickle_interval_ms": 0,
    "error_body": "error",
    "interim_continue": False,
    "silent": False,
}


class Script:
    def __init__(self, config):
        self.bodies = {}
        for path, file_name in config.get("bodies", {}).items():
            with open(file_name, "rb") as f:
                self.bodies[path] = f.read()
        self.steps = {path: [dict(DEFAULT_STEP, **s) for s in steps]
                      for path, steps in config.get("script", {}).items()}
        self.taken = {}
        self.lock = threading.Lock()

    def next_step(self, path):
        with self.lock:
            steps = self.steps.get(path)
            if not steps:
                if path in self.bodies:
                    return dict(DEFAULT_STEP)
                return dict(DEFAULT_STEP, status=404)
            index = self.taken.get(path, 0)
            self.taken[path] = index + 1
            return steps[min(index, len(steps) - 1)]


class Recorder:
    def __init__(self, file_name):
        self.file = open(file_name, "a", encoding="ascii")
        self.lock = threading.Lock()

    def record(self, method, target, path, headers):
        line = json.dumps({"method": method, "target": target, "path": path,
                           "headers": headers}, ensure_ascii=True)
        with self.lock:
            self.file.write(line + "\n")
            self.file.flush()


def path_of(target):
    """The path of an origin-form or absolute-form (proxy) request target."""
    match = re.match(r"^[A-Za-z][A-Za-z0-9+.-]*://[^/?#]*", target)
    rest = target[match.end():] if match else target
    rest = rest.split("#", 1)[0].split("?", 1)[0]
    return rest or "/"


def read_request(stream):
    """Request line and headers (names lower case), or None when the client has gone."""
    line = stream.readline(65536)
    while line in (b"\r\n", b"\n"):
        line = stream.readline(65536)
    if not line:
        return None
    parts = line.decode("latin-1").rstrip("\r\n").split(" ")
    if len(parts) != 3:
        return None
    headers = {}
    while True:
        header = stream.readline(65536)
        if not header or header in (b"\r\n", b"\n"):
            break
        name, _, value = header.decode("latin-1").partition(":")
        headers[name.strip().lower()] = value.strip()
    length = headers.get("content-length", "0")
    if length.isdigit() and int(length) > 0:
        stream.read(int(length))  # a request body is not part of any script: skipped
    return parts[0], parts[1], headers


def reason(status):
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Status"


def ranged(body, range_header):
    """(status, bytes, extra headers) for a single "bytes=N-" or "bytes=N-M" range."""
    match = re.match(r"^\s*bytes=(\d+)-(\d*)\s*$", range_header or "")
    if not match:
        return 200, body, []
    first = int(match.group(1))
    last = int(match.group(2)) if match.group(2) else len(body) - 1
    if first >= len(body):
        return 416, b"", [("Content-Range", "bytes */%d" % len(body))]
    last = min(last, len(body) - 1)
    return 206, body[first:last + 1], [
        ("Content-Range", "bytes %d-%d/%d" % (first, last, len(body)))]


def hold_open(connection, stopping):
    """Keeps a stalled connection open, silent, until the client leaves."""
    connection.settimeout(0.2)
    while not stopping.is_set():
        try:
            if not connection.recv(65536):
                return
        except socket.timeout:
            continue
        except OSError:
            return


def answer(connection, script, step, method, headers, path):
    if step["silent"]:
        return "stall"
    status = step["status"]
    extra = [tuple(h) for h in step["headers"]]
    if status == 200:
        body = script.bodies.get(path, b"")
        if step["honour_range"] and "range" in headers:
            status, body, range_headers = ranged(body, headers["range"])
            extra += range_headers
    elif status in (204, 304) or status < 200:
        body = b""
    else:
        body = step["error_body"].encode("latin-1")
    if method == "HEAD":
        sent_body = b""
    else:
        sent_body = body
    lines = ["HTTP/1.1 %d %s" % (status, reason(status))]
    lines += ["%s: %s" % (name, value) for name, value in extra]
    length = step["content_length"]
    closes = length == -2 or step["cut_after"] >= 0 or step["extra_bytes"] > 0
    if length == -1:
        lines.append("Content-Length: %d" % len(body))
    elif length >= 0:
        lines.append("Content-Length: %d" % length)
    if closes:
        lines.append("Connection: close")
    if step["interim_continue"]:
        connection.sendall(b"HTTP/1.1 100 Continue\r\n"
                           b"Last-Modified: Thu, 01 Jan 2015 00:00:00 GMT\r\n\r\n")
    connection.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
    if step["stall_after"] >= 0:
        connection.sendall(sent_body[:step["stall_after"]])
        return "stall"
    if step["cut_after"] >= 0:
        connection.sendall(sent_body[:step["cut_after"]])
        return "close"
    if step["trickle_chunk"] > 0:
        trickle(connection, sent_body, step["trickle_chunk"], step["trickle_interval_ms"])
    else:
        connection.sendall(sent_body)
    if step["extra_bytes"] > 0:
        connection.sendall(b"X" * step["extra_bytes"])
    return "close" if closes else "keep"


def trickle(connection, body, chunk, interval_ms):
    """Sends the body slowly: a client gone away ends it with an OSError."""
    for start in range(0, len(body), chunk):
        time.sleep(interval_ms / 1000.0)
        connection.sendall(body[start:start + chunk])


def serve_connection(connection, script, recorder, stopping):
    with connection:
        stream = connection.makefile("rb")
        try:
            while not stopping.is_set():
                request = read_request(stream)
                if request is None:
                    return
                method, target, headers = request
                path = path_of(target)
                recorder.record(method, target, path, headers)
                outcome = answer(connection, script, script.next_step(path), method, headers,
                                 path)
                if outcome == "stall":
                    hold_open(connection, stopping)
                    return
                if outcome == "close" or headers.get("connection", "").lower() == "close":
                    connection.shutdown(socket.SHUT_RDWR)
                    return
        except OSError:
            return


def main():
    config_file, port_file, requests_file = sys.argv[1:4]
    with open(config_file, encoding="utf-8") as f:
        script = Script(json.load(f))
    recorder = Recorder(requests_file)
    stopping = threading.Event()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    temporary = port_file + ".tmp"
    with open(temporary, "w", encoding="ascii") as f:
        f.write("%d\n" % listener.getsockname()[1])
    os.rename(temporary, port_file)  # the fixture never sees half a number
    try:
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=serve_connection,
                             args=(connection, script, recorder, stopping),
                             daemon=True).start()
    except KeyboardInterrupt:
        pass
    finally:
        stopping.set()
        listener.close()


if __name__ == "__main__":
    main()
