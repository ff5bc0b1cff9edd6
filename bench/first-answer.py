#!/usr/bin/env python3
"""How soon the program answers its first plug-in after it is started.

    bench/first-answer.py [BUILD-DIR] [ROUNDS]

Starts the program headless in a temporary environment (a user whose
password is remembered, no hosts, no bridge) on a free port, and sends
"STOP c=bench" every millisecond until it answers "OK"; the time from the
start to that answer is one round. The baseline is a bare line server
started the same way (a Python process that answers "OK"), measured in the
same run, rounds taking turns. Prints the median of each and their ratio.
"""
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, "build-rel")
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 9
BASELINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ok-server.py")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def first_answer(argv, env, port):
    start = time.monotonic()
    process = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while time.monotonic() - start < 30:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1) as c:
                    c.sendall(b"STOP c=bench\n")
                    if c.recv(16).startswith(b"OK"):
                        return time.monotonic() - start
            except OSError:
                time.sleep(0.001)
        raise RuntimeError("no answer from " + argv[0])
    finally:
        process.terminate()
        process.wait()


def main():
    work = tempfile.mkdtemp()
    env = dict(os.environ)
    for name, folder in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                         ("XDG_RUNTIME_DIR", "run"), ("TMPDIR", "tmp")):
        os.makedirs(os.path.join(work, folder), mode=0o700)
        env[name] = os.path.join(work, folder)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    reg = os.path.join(BUILD, "bin", "vortlebox-reg")
    for args in (["Software\\Fenwave\\Vortlebox", "FirstRun", "sz", "0"],
                 ["Software\\Fenwave\\Vortlebox", "MprisBridge", "dword", "0"],
                 ["Software\\Fenwave\\Users\\bench", "Password", "sz", "5ebe2294ecd0e0f08eab7690d2a6ee69"],
                 ["Software\\Fenwave\\Users\\bench", "RememberPass", "dword", "1"],
                 ["Software\\Fenwave\\Users", "CurrentUser", "sz", "bench"]):
        subprocess.run([reg, "set"] + args, env=env, check=True, stdout=subprocess.DEVNULL)
    program, baseline = [], []
    try:
        for _ in range(ROUNDS):
            port = free_port()
            env["VORTLEBOX_LISTENER_PORT"] = str(port)
            program.append(first_answer([os.path.join(BUILD, "bin", "vortlebox")], env, port))
            port = free_port()
            baseline.append(first_answer([sys.executable, BASELINE, str(port)], env, port))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    p, b = statistics.median(program), statistics.median(baseline)
    print(f"first answer to a plug-in after the start, median of {ROUNDS} rounds:")
    print(f"  program (headless)        {p * 1000:7.1f} ms")
    print(f"  bare Python line server   {b * 1000:7.1f} ms")
    print(f"  ratio program/baseline    {p / b:7.2f}")


if __name__ == "__main__":
    main()
