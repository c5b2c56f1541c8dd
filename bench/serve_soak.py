#!/usr/bin/env python3
"""The soak of `qzwmi serve`: 64 clients enumerate the memory modules over kept-alive connections
for 10 minutes (or the seconds given) with the server's default options, while the memory-event
counter moves every second so that the lists rebuild under the requests. Every 10 s it prints the
answers so far, the 503s and other failures, and the server's resident memory and open file
descriptors; at the end, whether there was no 503 and memory and descriptors stayed flat.
Usage: bench/serve_soak.py [QZWMI, build/tools/qzwmi/qzwmi] [seconds, 600] [clients, 64]"""

import http.client
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

QZWMI = sys.argv[1] if len(sys.argv) > 1 else "build/tools/qzwmi/qzwmi"
SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 600
CLIENTS = int(sys.argv[3]) if len(sys.argv) > 3 else 64
BODY = ('<?xml version="1.0" encoding="utf-8" ?>\n<CIM CIMVERSION="2.0" DTDVERSION="2.0"><MESSAGE ID="1" '
        'PROTOCOLVERSION="1.0"><SIMPLEREQ><IMETHODCALL NAME="EnumerateInstances"><LOCALNAMESPACEPATH>'
        '<NAMESPACE NAME="root"/><NAMESPACE NAME="VXN"/></LOCALNAMESPACEPATH><IPARAMVALUE NAME="ClassName">'
        '<CLASSNAME NAME="QZ_MemoryModule"/></IPARAMVALUE></IMETHODCALL></SIMPLEREQ></MESSAGE></CIM>\n')
HEADERS = {"Content-Type": "application/xml; charset=\"utf-8\"", "CIMOperation": "MethodCall",
           "CIMMethod": "EnumerateInstances", "CIMObject": "root%2FVXN", "CIMProtocolVersion": "1.0"}


def main():
    root = tempfile.mkdtemp(prefix="qzwmi-soak-")
    env = dict(os.environ, QZWMI_ROOT=root)
    log_path = os.path.join(root, "serve.log")
    with open(log_path, "w") as log:
        server = subprocess.Popen([QZWMI, "serve", "--no-auth", "--listen", "127.0.0.1:0"], stdin=subprocess.DEVNULL,
                                  stderr=log, env=env)
    port = 0
    while not port and server.poll() is None:
        time.sleep(0.05)
        found = re.search(r"listening on 127\.0\.0\.1:(\d+) ", open(log_path).read())
        port = int(found.group(1)) if found else 0
    if not port:
        sys.exit("qzwmi serve did not start: " + open(log_path).read())

    counts = {"answers": 0, "503": 0, "failures": 0}
    lock = threading.Lock()
    running = threading.Event()
    running.set()

    def client():
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        while running.is_set():
            try:
                connection.request("POST", "/cimom", BODY, HEADERS)
                response = connection.getresponse()
                body = response.read()
                kind = "answers" if response.status == 200 and b"</CIM>" in body else str(response.status)
            except (OSError, http.client.HTTPException):
                kind = "failures"
                connection.close()
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            with lock:
                counts[kind if kind in counts else "failures"] += 1
        connection.close()

    def sample():
        with open(f"/proc/{server.pid}/status") as status:
            resident = int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))
        return resident, len(os.listdir(f"/proc/{server.pid}/fd"))

    threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
    for thread in threads:
        thread.start()
    print(f"{CLIENTS} clients for {SECONDS} s on port {port}")
    print(f"{'seconds':>7} {'answers':>9} {'503':>5} {'failed':>6} {'RSS KiB':>9} {'fds':>5}", flush=True)
    start = time.monotonic()
    samples = []
    second = 0
    while time.monotonic() - start < SECONDS:
        time.sleep(1)
        second += 1
        subprocess.run([QZWMI, "reg", "add", "HKLM\\SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication", "/v",
                        "QZ_MemoryEvent", "/t", "REG_DWORD", "/d", str(second), "/f"], env=env, capture_output=True)
        if second % 10 == 0:
            resident, fds = sample()
            samples.append((resident, fds))
            with lock:
                print(f"{time.monotonic() - start:>7.0f} {counts['answers']:>9} {counts['503']:>5} {counts['failures']:>6} {resident:>9} {fds:>5}",
                      flush=True)
    running.clear()
    for thread in threads:
        thread.join()
    server.send_signal(signal.SIGTERM)
    status = server.wait(30)
    shutil.rmtree(root, ignore_errors=True)

    # Flat: after the first minute (or the first sample), no later sample is more than 16 MiB or 8
    # descriptors above it.
    base = samples[min(5, len(samples) - 1)] if samples else (0, 0)
    peak = (max(s[0] for s in samples), max(s[1] for s in samples)) if samples else (0, 0)
    flat = peak[0] - base[0] <= 16 << 10 and peak[1] - base[1] <= 8
    print(f"{counts['answers']} answers, {counts['503']} answered 503, {counts['failures']} failed; "
          f"RSS {base[0]} KiB then at most {peak[0]} KiB, fds {base[1]} then at most {peak[1]}; "
          f"server exit {status}: {'PASS' if flat and not counts['503'] and not counts['failures'] and status == 0 else 'FAIL'}")
    sys.exit(0 if flat and not counts["503"] and not counts["failures"] and status == 0 else 1)


if __name__ == "__main__":
    main()
