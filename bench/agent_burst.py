#!/usr/bin/env python3
"""The agent under a burst of local changes while many companions subscribe
to its notification bus and never read: its memory, threads and handles.

  bench/agent_burst.py <folder with ulmora-agent> [subscribers] [files] [switches]

It runs the agent in a temporary home folder with a demo account (as
scripts/run sets one up), connects the subscribers, creates the files in one
burst, samples the agent for a while (the most memory, threads and handles
it reached), lets the subscribers go and samples again. With switches > 0 it then logs in to other accounts and back that many
times and reports the threads. Compare two builds by running it against each."""
import os
import plistlib
import socket
import subprocess
import sys
import tempfile
import time


def status(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def sample(pid):
    return {"rss": status(pid, "VmRSS") / 1024, "peak": status(pid, "VmHWM") / 1024,
            "threads": status(pid, "Threads"), "handles": len(os.listdir(f"/proc/{pid}/fd"))}


def report(label, s):
    print(f"{label:38s} rss {s['rss']:8.1f} MB  peak {s['peak']:8.1f} MB  "
          f"threads {s['threads']:4d}  handles {s['handles']:6d}", flush=True)


def log_in(config, root_base, user):
    details = {"Ulmora username": user, "UlmoraUsername": user, "UlmoraSync username": user,
               "IP": "/nonexistent-storage", "serverName": "/nonexistent-storage",
               "Pause": "1", "Unlink status": "0"}
    with open(os.path.join(config, "LastUserLoginDetails.plist.tmp"), "wb") as f:
        plistlib.dump(details, f)
    os.replace(os.path.join(config, "LastUserLoginDetails.plist.tmp"),
               os.path.join(config, "LastUserLoginDetails.plist"))
    folders_path = os.path.join(config, "SyncFolders.plist")
    folders = {}
    if os.path.exists(folders_path):
        with open(folders_path, "rb") as f:
            folders = plistlib.load(f)
    folders[user] = os.path.join(root_base, user)
    with open(folders_path + ".tmp", "wb") as f:
        plistlib.dump(folders, f)
    os.replace(folders_path + ".tmp", folders_path)


def main():
    bindir = sys.argv[1]
    subscribers = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    files = int(sys.argv[3]) if len(sys.argv) > 3 else 20000
    switches = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    home = tempfile.mkdtemp()
    runtime = os.path.join(home, "run")
    os.mkdir(runtime, 0o700)
    config = os.path.join(home, ".config", "ulmora")
    os.makedirs(config, 0o700)
    log_in(config, home, "demo")
    env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=runtime)
    agent = subprocess.Popen([os.path.join(bindir, "ulmora-agent")], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    user = os.environ.get("USER") or subprocess.run(["id", "-un"], capture_output=True,
                                                     text=True).stdout.strip()
    bus = None
    for _ in range(400):
        for root, _, names in os.walk(runtime):
            for n in names:
                if n.startswith("bus-"):
                    bus = os.path.join(root, n)
        if bus:
            break
        time.sleep(0.05)
    time.sleep(2)
    report("started", sample(agent.pid))
    clients = []
    for _ in range(subscribers):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(bus)
            clients.append(s)
        except OSError:
            s.close()
            break
    time.sleep(2)
    report(f"{len(clients)} subscribers connected", sample(agent.pid))
    root = os.path.join(home, "demo")
    os.makedirs(os.path.join(root, "burst"), exist_ok=True)
    for i in range(files):
        with open(os.path.join(root, "burst", f"file-{i:06d}.txt"), "w") as f:
            f.write("x")
    peak = sample(agent.pid)
    for _ in range(60):
        time.sleep(0.5)
        if agent.poll() is not None:
            break
        s = sample(agent.pid)
        peak = {k: max(peak[k], s[k]) for k in s}
    report(f"during the {files}-file burst (max)", peak)
    for c in clients:
        c.close()
    time.sleep(35)
    report("35 s after the subscribers left", sample(agent.pid))
    if switches:
        for i in range(switches):
            log_in(config, home, f"acct{i}" if i % 2 == 0 else "demo")
            time.sleep(4)
        report(f"after {switches} account switches", sample(agent.pid))
    agent.terminate()
    try:
        agent.wait(timeout=30)
    except subprocess.TimeoutExpired:
        agent.kill()


if __name__ == "__main__":
    main()
