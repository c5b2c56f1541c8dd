#!/usr/bin/env python3
"""`qzwmi serve` attacked as a client on loopback could: each group starts its own server in its own
system root, attacks it from 127.0.0.1 and checks that it holds, while a legitimate client from
127.0.0.2 is served. Usage: serve_attack.py QZWMI GROUP (slow, floods, queries, pipelining, guessing; activation, which
serves a socket passed as systemd passes it)."""

import base64
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

QZWMI = sys.argv[1]
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAILED:", what, flush=True)


def call_body(method, params, message_id="4711"):
    return ('<?xml version="1.0" encoding="utf-8" ?>\n<CIM CIMVERSION="2.0" DTDVERSION="2.0">'
            f'<MESSAGE ID="{message_id}" PROTOCOLVERSION="1.0"><SIMPLEREQ><IMETHODCALL NAME="{method}">'
            '<LOCALNAMESPACEPATH><NAMESPACE NAME="root"/><NAMESPACE NAME="VXN"/></LOCALNAMESPACEPATH>'
            f'{params}</IMETHODCALL></SIMPLEREQ></MESSAGE></CIM>\n').encode()


BOARDS = "<IPARAMVALUE NAME=\"ClassName\"><CLASSNAME NAME=\"QZ_MemoryBoard\"/></IPARAMVALUE>"


def request_bytes(method="EnumerateInstanceNames", params=BOARDS, body=None, auth=None, extra=""):
    body = call_body(method, params) if body is None else body
    head = (f"POST /cimom HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/xml; charset=\"utf-8\"\r\n"
            f"CIMOperation: MethodCall\r\nCIMMethod: {method}\r\nCIMObject: root%2FVXN\r\nCIMProtocolVersion: 1.0\r\n"
            f"Content-Length: {len(body)}\r\n")
    if auth:
        head += "Authorization: Basic " + base64.b64encode(auth.encode()).decode() + "\r\n"
    return (head + extra + "\r\n").encode() + body


def connect(port, source="127.0.0.1", timeout=10):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def read_answer(sock, buffered=b""):
    """One whole answer (head and Content-Length body) and what followed it; (None, ...) when the
    connection ends first."""
    data = buffered
    while True:
        end = data.find(b"\r\n\r\n")
        if end >= 0:
            length = re.search(rb"\r\nContent-Length: (\d+)", data[:end], re.I)
            total = end + 4 + (int(length.group(1)) if length else 0)
            if len(data) >= total:
                return data[:total], data[total:]
        try:
            got = sock.recv(65536)
        except OSError:
            got = b""
        if not got:
            return None, data
        data += got


def status_of(answer):
    return int(answer[9:12]) if answer and answer.startswith(b"HTTP/1.") else 0


def exchange(port, payload, source="127.0.0.2"):
    """Sends `payload` on a new connection; (status, answer, seconds)."""
    start = time.monotonic()
    with connect(port, source) as sock:
        sock.sendall(payload)
        answer, _ = read_answer(sock)
    return status_of(answer), answer or b"", time.monotonic() - start


def closed_by_server(sock, seconds):
    """Whether the server ends the connection within `seconds` (what it sends first is read over)."""
    sock.settimeout(seconds)
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            if not sock.recv(65536):
                return True
    except ConnectionResetError:
        return True
    except OSError:
        return False
    return False


class Server:
    def __init__(self, *args, users=None):
        self.root = tempfile.mkdtemp(prefix="qzwmi-attack-")
        self.env = dict(os.environ, QZWMI_ROOT=self.root)
        extra = []
        if users:
            path = os.path.join(self.root, "users")
            for name, password in users.items():
                subprocess.run([QZWMI, "passwd", name, "--users", path], input=password + "\n", text=True,
                               env=self.env, check=True, capture_output=True)
            extra = ["--users", path]
        self.log_path = os.path.join(self.root, "serve.log")
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen([QZWMI, "serve", "--listen", "127.0.0.1:0", *extra, *args],
                                            stdin=subprocess.DEVNULL, stderr=log, env=self.env)
        deadline = time.monotonic() + 30
        self.port = 0
        while not self.port and time.monotonic() < deadline and self.process.poll() is None:
            found = re.search(r"listening on 127\.0\.0\.1:(\d+) ", self.log())
            self.port = int(found.group(1)) if found else 0
            time.sleep(0.02)
        if not self.port:
            self.stop()
            raise RuntimeError("the server did not start: " + self.log())

    def log(self):
        with open(self.log_path, errors="replace") as log:
            return log.read()

    def resident_kib(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                check(False, "the server did not stop on SIGTERM")
        check(self.process.returncode == 0, f"the server exited with {self.process.returncode}")
        shutil.rmtree(self.root, ignore_errors=True)


def legitimate_client(server, count, auth=None, source="127.0.0.2"):
    """`count` requests from a client that plays by the rules: each answered whole, within 1 s."""
    slowest = 0
    for _ in range(count):
        status, answer, seconds = exchange(server.port, request_bytes(auth=auth), source)
        slowest = max(slowest, seconds)
        check(status == 200 and answer.count(b"<INSTANCENAME CLASSNAME=\"QZ_MemoryBoard\">") == 2,
              f"the legitimate client got {status}")
    print(f"legitimate client: {count} requests, the slowest in {slowest * 1000:.0f} ms", flush=True)
    check(slowest < 1.0, f"a legitimate request took {slowest:.2f} s")


def slow():
    """Hundreds of idle, slow, kept-alive and refused connections from one address."""
    server = Server("--max-per-address", "300", "--head-timeout", "4", users={"alice": "good"})
    try:
        port = server.port
        idle = [connect(port) for _ in range(120)]
        slow = [connect(port) for _ in range(120)]
        for sock in slow:
            sock.sendall(b"POST /cimom HTTP/1.1\r\n")
        kept = [connect(port) for _ in range(60)]
        for sock in kept:
            sock.sendall(request_bytes(auth="alice:good"))
        check(all(status_of(read_answer(sock)[0]) == 200 for sock in kept), "kept-alive clients were served")
        # Beyond the bound of one address: told 503 at once, and closed.
        beyond = [connect(port) for _ in range(20)]
        check(all(status_of(read_answer(sock)[0]) == 503 for sock in beyond), "connections beyond 300 got 503")

        dribbling = threading.Event()

        def dribble():
            while not dribbling.wait(0.5):
                for sock in slow:
                    try:
                        sock.send(b"X-Slow: 1\r\n")
                    except OSError:
                        pass
        dribbler = threading.Thread(target=dribble)
        dribbler.start()
        legitimate_client(server, 20, auth="alice:good")
        # Refused requests close their connection after the answer, whatever the client asked for.
        refused = [connect(port, "127.0.0.5") for _ in range(8)]
        for sock in refused:
            sock.sendall(request_bytes(extra="Connection: keep-alive\r\n"))
        check(all(status_of(read_answer(sock)[0]) == 401 for sock in refused), "requests without credentials got 401")
        check(all(closed_by_server(sock, 5) for sock in refused), "connections refused 401 were closed")
        # A head that does not end within its deadline ends its connection, however busy its sender.
        check(all(closed_by_server(sock, 15) for sock in slow), "slow senders were closed at their head's deadline")
        dribbling.set()
        dribbler.join()
        check(server.alive(), "the server is alive")
        for sock in idle + slow + kept + beyond + refused:
            sock.close()
    finally:
        server.stop()


def floods():
    """Header lines without end, chunked and unsized bodies: bounded while they arrive."""
    server = Server("--no-auth")
    try:
        port = server.port

        def header_flood(results):
            with connect(port) as sock:
                sock.sendall(b"POST /cimom HTTP/1.1\r\nHost: x\r\n")
                line = b"X-Flood: " + b"f" * 40 + b"\r\n"
                sent = 0
                try:
                    while sent < 50 << 20 and not select.select([sock], [], [], 0)[0]:
                        sock.sendall(line * 1000)
                        sent += len(line) * 1000
                except OSError:
                    pass
                results.append(status_of(read_answer(sock)[0]))
        results = []
        flooders = [threading.Thread(target=header_flood, args=(results,)) for _ in range(4)]
        for thread in flooders:
            thread.start()
        for thread in flooders:
            thread.join()
        check(results == [431] * 4, f"header floods answered {results}")

        def chunked(size):
            with connect(port) as sock:
                sock.sendall(b"POST /cimom HTTP/1.1\r\nHost: x\r\nCIMOperation: MethodCall\r\n"
                             b"Transfer-Encoding: chunked\r\n\r\n")
                chunk = b"%x\r\n" % (64 << 10) + b" " * (64 << 10) + b"\r\n"
                try:
                    for _ in range(size // (64 << 10)):
                        if select.select([sock], [], [], 0)[0]:
                            break
                        sock.sendall(chunk)
                    sock.sendall(b"0\r\n\r\n")
                except OSError:
                    pass
                return status_of(read_answer(sock)[0])
        check(chunked(200 << 20) == 413, "a chunked body of 200 MiB is refused 413")
        check(chunked(1 << 20) == 400, "a chunked body of 1 MiB is read (and refused as not CIM-XML)")
        # Without a length a request has no body: it is answered, and what follows is a request of its own.
        status, _, _ = exchange(port, b"POST /cimom HTTP/1.1\r\nHost: x\r\nCIMOperation: MethodCall\r\n"
                                      b"Connection: close\r\n\r\n" + b"<CIM>" * 100000)
        check(status == 400, f"an unsized body got {status}")
        resident = server.resident_kib()
        print(f"resident after the floods: {resident} KiB", flush=True)
        check(resident < 64 << 10, f"the server holds {resident} KiB")
        legitimate_client(server, 3)
    finally:
        server.stop()


def queries():
    """Queries nested far too deep or too long, and text that is not UTF-8: an error, the server alive."""
    server = Server("--no-auth")
    try:
        cases = [("25,000 parentheses", "SELECT * FROM QZ_MemoryModule WHERE " + "(" * 25000 + "Tag = 'x'" + ")" * 25000),
                 ("50,000 ORs", "SELECT * FROM QZ_MemoryModule WHERE " + " OR ".join(["Tag = 'x'"] * 50000))]
        for what, query in cases:
            params = ("<IPARAMVALUE NAME=\"QueryLanguage\"><VALUE>WQL</VALUE></IPARAMVALUE>"
                      f"<IPARAMVALUE NAME=\"Query\"><VALUE>{query}</VALUE></IPARAMVALUE>")
            status, answer, _ = exchange(server.port, request_bytes("ExecQuery", params))
            check(status == 200 and b"<ERROR CODE=\"" in answer, f"{what}: {status} {answer[-300:]!r}")
        body = call_body("EnumerateInstanceNames", BOARDS).replace(b"QZ_MemoryBoard", b"QZ_\xc0\xafBoard")
        status, answer, _ = exchange(server.port, request_bytes(body=body))
        check(status == 400 and b"CIMError: request-not-well-formed" in answer, f"a body not UTF-8 got {status}")
        check(server.alive(), "the server is alive")
        legitimate_client(server, 3)
    finally:
        server.stop()


def pipelining():
    """Requests sent back to back on one connection are answered, in order."""
    server = Server(users={"alice": "good"})
    try:
        with connect(server.port) as sock:
            sock.sendall(b"".join(request_bytes(body=call_body("EnumerateInstanceNames", BOARDS, str(n)),
                                                auth="alice:good") for n in range(1, 6)))
            rest, ids = b"", []
            for _ in range(5):
                answer, rest = read_answer(sock, rest)
                found = re.search(rb"<MESSAGE ID=\"(\d+)\"", answer or b"")
                ids.append(int(found.group(1)) if found else 0)
            check(ids == [1, 2, 3, 4, 5], f"pipelined answers came as {ids}")
        # After a refusal nothing more is read from the connection: it closes after one answer.
        with connect(server.port) as sock:
            sock.sendall(request_bytes() + request_bytes(auth="alice:good"))
            answer, rest = read_answer(sock)
            check(status_of(answer) == 401, "the first pipelined request without credentials got 401")
            check(read_answer(sock, rest)[0] is None, "nothing after a refused pipelined request")
    finally:
        server.stop()


def guessing():
    """Many guessers of one address are slowed down; others are not; a lockout locks the address."""
    server = Server(users={"alice": "good"})
    try:
        stop = threading.Event()

        def guess(n):
            while not stop.is_set():
                try:
                    exchange(server.port, request_bytes(auth=f"alice:guess{n}"), "127.0.0.1")
                except OSError:
                    pass
        start = time.monotonic()
        guessers = [threading.Thread(target=guess, args=(n,)) for n in range(32)]
        for thread in guessers:
            thread.start()
        time.sleep(1)
        legitimate_client(server, 20, auth="alice:good")
        stop.set()
        for thread in guessers:
            thread.join()
        elapsed = time.monotonic() - start
        checked = server.log().count("failed login of 'alice' from 127.0.0.1")
        print(f"{checked} passwords checked for 32 guessers in {elapsed:.1f} s", flush=True)
        # A burst of 5, then one a second (and a second's slack for the refill at either end).
        check(checked <= 5 + int(elapsed) + 2, f"{checked} guesses checked in {elapsed:.1f} s")
        check(server.alive(), "the server is alive")
    finally:
        server.stop()

    server = Server("--lockout", "3", users={"alice": "good"})
    try:
        statuses = [exchange(server.port, request_bytes(auth=auth), "127.0.0.3")[0]
                    for auth in ("alice:a", "alice:b", "alice:c", "alice:good")]
        check(statuses == [401, 401, 401, 401], f"a locked-out address got {statuses}")
        check(exchange(server.port, request_bytes(auth="alice:good"), "127.0.0.4")[0] == 200,
              "another address is not locked out")
        check("127.0.0.3: locked out for a minute after 3 failed logins" in server.log(), "the lockout is logged")
    finally:
        server.stop()


def activation():
    """A listening socket passed as systemd passes it (fd 3, LISTEN_PID, LISTEN_FDS) is served, and
    the port given with --listen is not bound."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    root = tempfile.mkdtemp(prefix="qzwmi-attack-")
    log_path = os.path.join(root, "serve.log")

    def as_systemd():
        if listener.fileno() != 3:
            os.dup2(listener.fileno(), 3)
        os.set_inheritable(3, True)
        os.environ.update(LISTEN_PID=str(os.getpid()), LISTEN_FDS="1", QZWMI_ROOT=root)
    with open(log_path, "w") as log:
        process = subprocess.Popen([QZWMI, "serve", "--no-auth", "--listen", "127.0.0.1:1"], stdin=subprocess.DEVNULL,
                                   stderr=log, preexec_fn=as_systemd, close_fds=False)
    listener.close()
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and "listening on" not in open(log_path).read():
            time.sleep(0.02)
        found = re.search(r"listening on 127\.0\.0\.1:(\d+) \(HTTP, no authentication, socket from systemd\)",
                          open(log_path).read())
        check(found is not None, "the log says where the socket from systemd listens: " + open(log_path).read())
        if found:
            port = int(found.group(1))
            status, answer, _ = exchange(port, request_bytes())
            check(status == 200 and answer.count(b"<INSTANCENAME CLASSNAME=\"QZ_MemoryBoard\">") == 2,
                  f"the socket from systemd answered {status}")
    finally:
        process.send_signal(signal.SIGTERM)
        check(process.wait(15) == 0, "the server stopped")
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    {"slow": slow, "floods": floods, "queries": queries, "pipelining": pipelining, "guessing": guessing,
     "activation": activation}[sys.argv[2]]()
    print(f"{len(FAILURES)} failures", flush=True)
    sys.exit(1 if FAILURES else 0)
