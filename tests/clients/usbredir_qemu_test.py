#!/usr/bin/env python3
"""mdmhost usbredir against real QEMU, no guest system: QEMU's usb-redir connects to the server,
the device attaches to an EHCI controller at high speed without a speed warning (QEMU's usb-redir
says so at debug level 4, and `info usb` shows it), an unplug detaches it and a plug attaches it
again, and the server goes when QEMU does
(--once). Exit 77 (skipped) when qemu-system-i386 is not installed. A few seconds."""
import argparse
import os
import queue
import shutil
import subprocess
import sys
import threading
import time

LIMIT = 30  # seconds for each step


def lines_of(stream, q):
    for line in iter(stream.readline, ""):
        q.put(line.rstrip("\n"))
    q.put(None)


class Proc:
    def __init__(self, name, args, stdout_only=True):
        self.name = name
        self.p = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.q = queue.Queue()
        self.seen = []
        threading.Thread(target=lines_of, args=(self.p.stdout, self.q), daemon=True).start()

    def send(self, line):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()

    def wait_for(self, text, what, limit=LIMIT, fail=True):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            try:
                line = self.q.get(timeout=end - time.monotonic())
            except queue.Empty:
                break
            if line is None:
                break
            self.seen.append(line)
            if text in line:
                return line
        if not fail:
            return None
        raise SystemExit(f"FAIL: {what}: no '{text}' from {self.name} within {LIMIT}s; it said:\n  "
                         + "\n  ".join(self.seen[-20:]))


def attached(qemu, what):
    """Asks QEMU's monitor until `info usb` lists the device at high speed (QEMU attaches it a
    moment after the server sent it)."""
    for _ in range(LIMIT):
        qemu.send("info usb")
        if qemu.wait_for("Speed 480 Mb/s, Product USB Redirection Device", what, 1, fail=False):
            return
    raise SystemExit(f"FAIL: {what}: QEMU's info usb never listed the device; it said:\n  "
                     + "\n  ".join(qemu.seen[-20:]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mdmhost", required=True)
    args = ap.parse_args()
    qemu_bin = shutil.which("qemu-system-i386")
    if not qemu_bin:
        print("SKIP: qemu-system-i386 is not installed")
        return 77
    server = Proc("mdmhost", [args.mdmhost, "usbredir", "--listen", "0", "--once"])
    qemu = None
    try:
        line = server.wait_for("usbredir: listening on 127.0.0.1:", "start")
        port = line.split("127.0.0.1:")[1].split()[0]
        qemu = Proc("qemu", [qemu_bin, "-accel", "tcg", "-display", "none", "-nodefaults",
                             "-device", "usb-ehci,id=ehci",
                             "-chardev", f"socket,id=m,host=127.0.0.1,port={port}",
                             "-device", "usb-redir,chardev=m,bus=ehci.0,debug=4",
                             "-monitor", "stdio"])
        server.wait_for("usbredir: peer connected (qemu usb-redir guest", "connection")
        server.wait_for("usbredir: device plugged (high speed, VID_1A2B&PID_0001&REV_0100)",
                        "plug")
        qemu.wait_for("usb-redir: attaching high speed device 1a2b:0001", "attach")
        attached(qemu, "attach at high speed")
        server.send("unplug")
        server.wait_for("usbredir: device unplugged", "unplug")
        qemu.wait_for("usb-redir: detaching device", "detach")
        server.send("plug")
        server.wait_for("usbredir: device plugged (high speed", "replug")
        qemu.wait_for("usb-redir: attaching high speed device 1a2b:0001", "attach again")
        attached(qemu, "attach again")
        qemu.send("quit")
        server.wait_for("usbredir: peer closed", "peer closed")
        server.wait_for("usbredir: stopped", "--once ends the server")
        status = server.p.wait(timeout=LIMIT)
        if status != 0:
            raise SystemExit(f"FAIL: mdmhost usbredir exited with {status}")
        qemu.p.wait(timeout=LIMIT)
        while True:
            try:
                line = qemu.q.get(timeout=1)
            except queue.Empty:
                break
            if line is None:
                break
            qemu.seen.append(line)
        bad = [l for l in qemu.seen if "mismatch" in l or "rejecting" in l or "error" in l.lower()]
        if bad:
            raise SystemExit("FAIL: QEMU complained:\n  " + "\n  ".join(bad))
        print("ok: QEMU attached the modem at high speed, detached and attached it again")
        return 0
    finally:
        for proc in (qemu, server):
            if proc and proc.p.poll() is None:
                proc.p.kill()
                proc.p.wait()


if __name__ == "__main__":
    sys.exit(main())
