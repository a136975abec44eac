#!/usr/bin/env python3
"""Load on the stand-in service: how long a push waits while companions hold
long polls or idle connections, and whether a deeply nested body harms it.

  bench/service_load.py <path to ulmora-service> [polls] [idle connections]

Run it against two builds to compare them; it starts and stops the service
itself, in a temporary folder."""
import http.client
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse


def main():
    service = sys.argv[1]
    polls = int(sys.argv[2]) if len(sys.argv) > 2 else 70
    idle = int(sys.argv[3]) if len(sys.argv) > 3 else 3000
    work = tempfile.mkdtemp()
    storage = os.path.join(work, "store")
    certs = os.path.join(work, "certs")
    os.mkdir(storage)
    subprocess.run([service, "--make-certs=" + certs], check=True, capture_output=True)
    proc = subprocess.Popen([service, "--storage=" + storage, "--cert-dir=" + certs],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = int(proc.stdout.readline().split()[1])
    context = ssl.create_default_context(cafile=os.path.join(certs, "ca.pem"))

    def post(action, payload, timeout=120):
        body = urllib.parse.urlencode({"action": action, "payLoad": payload})
        conn = http.client.HTTPSConnection("127.0.0.1", port, context=context, timeout=timeout)
        try:
            conn.request("POST", "/pns/broadcast", body,
                         {"Content-Type": "application/x-www-form-urlencoded"})
            reply = conn.getresponse()
            return reply.status, reply.read()
        except Exception as e:  # noqa: BLE001 - a bench reports, it does not judge
            return None, str(e).encode()
        finally:
            conn.close()

    def timed_push(label):
        start = time.monotonic()
        status, _ = post("push", '{"TOPIC":"bench","Id":"1"}', timeout=60)
        print(f"{label:44s} push answered {status} after {time.monotonic() - start:6.2f} s",
              flush=True)

    timed_push("idle service:")

    statuses = []
    if polls == 0:
        threads = []
    def poll():
        statuses.append(post("subscribe", '{"TOPIC":"other"}', timeout=30)[0])
    if polls > 0:
        threads = [threading.Thread(target=poll, daemon=True) for _ in range(polls)]
        for t in threads:
            t.start()
        time.sleep(2)
        timed_push(f"with {polls} long polls open:")
        refused = sum(1 for s in statuses if s == 503)
        print(f"{'':44s} polls refused at once: {refused}", flush=True)

    sockets = []
    for _ in range(idle):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            sockets.append(s)
        except OSError:
            break
    print(f"{'':44s} idle connections opened: {len(sockets)}", flush=True)
    if sockets:
        timed_push(f"with {len(sockets)} idle connections:")
    for s in sockets:
        s.close()

    deep = "[" * 100000 + "]" * 100000
    status, _ = post("push", deep, timeout=60)
    alive = proc.poll() is None
    print(f"{'100000-deep payload:':44s} answered {status}; service "
          f"{'still running' if alive else 'died (status %s)' % proc.returncode}", flush=True)
    if alive:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
    os._exit(0)


if __name__ == "__main__":
    main()
