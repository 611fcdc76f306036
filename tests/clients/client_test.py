#!/usr/bin/python3
"""Real serial programs against the driver, through `mdmhost bridge`.

Each test starts the bridge (a threaded host session with the driver over the simulated AT
modem, COM7 opened and exposed as a pseudo-terminal), runs one program that nobody here wrote
against the bridge's link, then stops the bridge with SIGTERM and checks that it shut down
cleanly with the verifier clean. Every wait is bounded; a test that cannot finish fails.

    client_test.py --mdmhost build/host/tools/mdmhost pyserial|chat|picocom
    client_test.py --mdmhost build/host32/tools/mdmhost --image build/x86/tavrinmdm.sys pyserial

Exit status: 0 pass, 1 fail, 77 skipped (the program is not installed: ./run setup installs it).
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77


class TestFailure(Exception):
    pass


def log(text):
    print(text, flush=True)


class Bridge:
    """mdmhost bridge in the background, with its output collected in a file."""

    def __init__(self, mdmhost, workdir, extra=()):
        self.link = os.path.join(workdir, "ttyMDM0")
        self.out_path = os.path.join(workdir, "bridge.out")
        self.out = open(self.out_path, "wb")
        self.proc = subprocess.Popen(
            [mdmhost, "bridge", "--link", self.link, *extra],
            stdout=self.out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def output(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_for_output(self, text, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if text in self.output():
                return
            time.sleep(0.05)
        raise TestFailure("the bridge did not say %r within %d s:\n%s" % (text, timeout, self.output()))

    def wait_ready(self, timeout=60):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if "is ready at" in self.output() and os.path.islink(self.link):
                return
            if self.proc.poll() is not None:
                raise TestFailure("the bridge ended before it was ready:\n" + self.output())
            time.sleep(0.05)
        raise TestFailure("the bridge was not ready within %d s:\n%s" % (timeout, self.output()))

    def stop(self, timeout=60):
        """SIGTERM, then the exit status and output; the process is killed if it hangs."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise TestFailure("the bridge did not stop within %d s of SIGTERM:\n%s"
                              % (timeout, self.output()))
        finally:
            self.out.close()
        return code, self.output()


def check_shutdown(bridge):
    code, output = bridge.stop()
    log("---- bridge output ----\n" + output.rstrip() + "\n----")
    if code != 0:
        raise TestFailure("the bridge exited with status %d" % code)
    if "verifier clean" not in output:
        raise TestFailure("the bridge did not report a clean verifier")
    if "device removed" not in output or "driver unloaded" not in output:
        raise TestFailure("the bridge did not take the driver down")
    if os.path.lexists(bridge.link):
        raise TestFailure("the bridge left its link behind")


def pattern(n):
    return bytes((i * 7 + (i >> 8) * 13 + 1) & 0xFF for i in range(n))


# ---- pyserial ------------------------------------------------------------------------------

def run_pyserial(bridge):
    try:
        import serial
    except ImportError:
        log("SKIP: pyserial is not installed (python3-serial; ./run setup installs it)")
        return SKIP

    port = serial.Serial(bridge.link, 115200, timeout=0.2)

    def read_until(tokens, seconds):
        got = b""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            got += port.read(port.in_waiting or 1)
            if any(t in got for t in tokens):
                return got
        raise TestFailure("waited %.1f s for %r, got %r" % (seconds, tokens, got))

    def command(text, expect, seconds=5):
        port.write(text + b"\r")
        got = read_until([expect, b"ERROR", b"NO CARRIER"], seconds)
        log("%-14s -> %r" % (text.decode(), got))
        if expect not in got:
            raise TestFailure("%s answered %r, expected %r" % (text, got, expect))
        return got

    command(b"ATZ", b"OK")
    command(b"ATE0", b"OK")
    ident = command(b"ATI", b"OK")
    if b"TAVRINMDM" not in ident:
        raise TestFailure("ATI did not name the modem: %r" % ident)
    coding = command(b"ATI5", b"OK")
    if b"115200,8,N,1" not in coding:
        raise TestFailure("the modem did not get 115200 8N1 from the driver: %r" % coding)
    connect = command(b"ATDT5551234", b"CONNECT", 10)
    if b"CONNECT 115200" not in connect:
        raise TestFailure("unexpected CONNECT line: %r" % connect)

    # Data mode: the echo peer sends everything back.
    data = pattern(32 * 1024)
    port.write(data)
    got = b""
    end = time.monotonic() + 20
    while len(got) < len(data) and time.monotonic() < end:
        got += port.read(len(data) - len(got))
    if got != data:
        first = next((i for i in range(min(len(got), len(data))) if got[i] != data[i]), min(len(got), len(data)))
        raise TestFailure("echo: %d of %d bytes back, first difference at %d" % (len(got), len(data), first))
    log("echo          -> %d bytes back unchanged" % len(got))

    # Back to command mode with the guarded escape, then hang up.
    time.sleep(1.2)
    port.write(b"+++")
    got = read_until([b"OK"], 5)
    log("+++           -> %r" % got)
    command(b"ATH", b"OK")
    state = command(b"ATI3", b"OK")
    if b"IDLE" not in state:
        raise TestFailure("the modem is not idle after ATH: %r" % state)

    # A rate change on the terminal reaches the modem as a new line coding.
    port.baudrate = 9600
    coding = command(b"ATI5", b"OK")
    if b"9600,8,N,1" not in coding:
        raise TestFailure("the rate change did not reach the modem: %r" % coding)
    port.close()
    return 0


# ---- pyserial on a slow line: the bridge's modem keeps time at 9600 bit/s -------------------

def run_slow(bridge):
    """pyserial at 9600 through a paced AT modem (mdmhost bridge --rate 9600): the echo peer's
    data checked byte for byte, and cancel_write from another thread while a long write waits
    on the line, then reset_output_buffer; the port goes on working and the bridge's shutdown,
    with the port's write still in flight, is clean."""
    try:
        import serial
    except ImportError:
        log("SKIP: pyserial is not installed (python3-serial; ./run setup installs it)")
        return SKIP
    import threading

    port = serial.Serial(bridge.link, 9600, timeout=0.2)

    def read_until(tokens, seconds):
        got = b""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            got += port.read(port.in_waiting or 1)
            if any(t in got for t in tokens):
                return got
        raise TestFailure("waited %.1f s for %r, got %r" % (seconds, tokens, got))

    port.write(b"ATZ\r")
    read_until([b"OK"], 5)
    port.write(b"ATE0\r")
    read_until([b"OK"], 5)
    port.write(b"ATDT5551234\r")
    connect = read_until([b"CONNECT"], 10)
    while not connect.split(b"CONNECT", 1)[1].endswith(b"\r\n"):
        connect += read_until([b"\n"], 5)
    if b"CONNECT 9600" not in connect:
        raise TestFailure("the modem did not connect at its line rate: %r" % connect)

    # 2 KiB to the echo peer and back, both ways at 960 bytes a second; every byte checked. The
    # line cannot carry them in less than about two seconds (a lower bound, not a measurement).
    data = pattern(2048)
    start = time.monotonic()
    port.write(data)
    got = b""
    end = time.monotonic() + 30
    while len(got) < len(data) and time.monotonic() < end:
        got += port.read(len(data) - len(got))
    took = time.monotonic() - start
    if got != data:
        raise TestFailure("echo at 9600: %d of %d bytes back, or changed" % (len(got), len(data)))
    if took < 1.5:
        raise TestFailure("2 KiB came back through a 9600 bit/s line in %.2f s" % took)
    log("echo at 9600  -> %d bytes back unchanged in %.1f s" % (len(got), took))

    # A long write blocks on the terminal (the line takes 960 bytes a second); cancel_write from
    # another thread ends it early, reset_output_buffer drops what the terminal still holds.
    long_data = pattern(256 * 1024)
    result = {}
    def writer():
        try:
            result["n"] = port.write(long_data)
        except Exception as e:  # reported below
            result["error"] = e
    t = threading.Thread(target=writer)
    t.start()
    time.sleep(1.0)
    port.cancel_write()
    t.join(10)
    if t.is_alive():
        raise TestFailure("cancel_write did not end the blocked write within 10 s")
    if "error" in result:
        raise TestFailure("the cancelled write raised %r" % result["error"])
    if not 0 < result["n"] < len(long_data):
        raise TestFailure("the cancelled write reports %r bytes of %d" % (result.get("n"), len(long_data)))
    port.reset_output_buffer()
    port.reset_input_buffer()
    log("cancel_write  -> the write ended after %d of %d bytes" % (result["n"], len(long_data)))
    port.close()
    return 0


# ---- chat (ppp) ----------------------------------------------------------------------------

def run_chat(bridge):
    chat = shutil.which("chat") or ("/usr/sbin/chat" if os.path.exists("/usr/sbin/chat") else None)
    if chat is None:
        log("SKIP: chat is not installed (ppp; ./run setup installs it)")
        return SKIP
    script = [
        "ABORT", "BUSY", "ABORT", "NO CARRIER", "ABORT", "ERROR",
        "TIMEOUT", "5",
        "", "ATZ",
        "OK", "ATI",
        "TAVRINMDM", "",
        "OK", "ATDT5551234",
        "CONNECT", "",
    ]
    with open(bridge.link, "r+b", buffering=0) as tty:
        result = subprocess.run([chat, "-v", "-s", *script], stdin=tty, stdout=tty,
                                stderr=subprocess.PIPE, timeout=60)
    report = result.stderr.decode(errors="replace")
    log("---- chat -v -s ----\n" + report.rstrip() + "\n----")
    if result.returncode != 0:
        raise TestFailure("chat exited with status %d (0 is success; 4 is an ABORT string, "
                          "3 a timeout)" % result.returncode)
    if "CONNECT" not in report:
        raise TestFailure("chat's report does not show the CONNECT")

    # Closing the terminal hangs it up: the bridge drops DTR, and the modem (&D2) ends the call.
    bridge.wait_for_output("DTR dropped", 10)

    # A dialogue that must fail: an unknown command gives ERROR, which the script aborts on.
    with open(bridge.link, "r+b", buffering=0) as tty:
        result = subprocess.run([chat, "-s", "ABORT", "ERROR", "TIMEOUT", "5", "", "ATZ", "OK",
                                 "ATXYZ", "OK"],
                                stdin=tty, stdout=tty, stderr=subprocess.PIPE, timeout=60)
    if result.returncode != 4:
        raise TestFailure("chat should have aborted on ERROR (status 4), got %d:\n%s"
                          % (result.returncode, result.stderr.decode(errors="replace")))
    log("chat aborted on ERROR as it should (status 4)")
    return 0


# ---- stty: line settings and hang-up from the shell ----------------------------------------

def run_stty(bridge):
    stty = shutil.which("stty")
    if stty is None:
        log("SKIP: stty is not installed")
        return SKIP

    def stty_set(*settings):
        result = subprocess.run([stty, "-F", bridge.link, *settings], timeout=30,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if result.returncode != 0:
            raise TestFailure("stty %s failed: %s" % (" ".join(settings), result.stderr.decode()))

    # The terminal is held open while stty works on it: a Linux pseudo-terminal forgets the
    # settings of its last program when that program closes it.
    with open(bridge.link, "r+b", buffering=0):
        stty_set("19200", "cstopb")
        bridge.wait_for_output("terminal line 19200 8N2 -> SetCommState STATUS_SUCCESS", 10)
        # A rate the driver refuses is reported, and the bridge goes on.
        stty_set("921600")
        bridge.wait_for_output("921600 8N2 -> SetCommState STATUS_INVALID_PARAMETER", 10)
        stty_set("57600", "-cstopb")
        bridge.wait_for_output("terminal line 57600 8N1 -> SetCommState STATUS_SUCCESS", 10)
    # The last close is a hang-up: DTR drops.
    bridge.wait_for_output("the terminal was hung up", 10)
    bridge.wait_for_output("DTR dropped", 10)
    log("stty: rates and stop bits reached the driver, a refused rate was reported, the close "
        "hung up and dropped DTR")
    return 0


# ---- the loopback modem through pyserial -----------------------------------------------------

def run_loopback(bridge):
    try:
        import serial
    except ImportError:
        log("SKIP: pyserial is not installed (python3-serial; ./run setup installs it)")
        return SKIP
    port = serial.Serial(bridge.link, 230400, timeout=0.5)
    data = pattern(256 * 1024)
    got = bytearray()
    end = time.monotonic() + 60
    # Write in pieces while reading, as a terminal program would.
    sent = 0
    while len(got) < len(data) and time.monotonic() < end:
        if sent < len(data):
            sent += port.write(data[sent:sent + 4096])
        got += port.read(port.in_waiting or 1)
    if bytes(got) != data:
        raise TestFailure("loopback: %d of %d bytes back%s" % (
            len(got), len(data), "" if len(got) < len(data) else ", some changed"))
    log("loopback: %d bytes back unchanged at 230400 baud" % len(got))
    port.close()
    return 0


# ---- picocom through tmux ------------------------------------------------------------------

def run_picocom(bridge, workdir, baud=115200):
    picocom = shutil.which("picocom")
    tmux = shutil.which("tmux")
    if picocom is None or tmux is None:
        log("SKIP: picocom or tmux is not installed (./run setup installs them)")
        return SKIP
    socket = "mdmhost-clients-%d" % os.getpid()
    session = "picocom"
    logfile = os.path.join(workdir, "picocom.log")
    env = dict(os.environ, TERM="xterm")

    def tmux_cmd(*args, check=True):
        return subprocess.run([tmux, "-L", socket, *args], env=env, timeout=30,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=check)

    def received():
        try:
            with open(logfile, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def wait_for(token, seconds, start=0):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if token in received()[start:]:
                return
            time.sleep(0.05)
        screen = tmux_cmd("capture-pane", "-p", "-t", session, check=False).stdout.decode(errors="replace")
        raise TestFailure("picocom did not receive %r within %.1f s; log %r; screen:\n%s"
                          % (token, seconds, received(), screen))

    def type_line(text):
        tmux_cmd("send-keys", "-t", session, "-l", text)
        tmux_cmd("send-keys", "-t", session, "C-m")

    try:
        tmux_cmd("new-session", "-d", "-s", session, "-x", "120", "-y", "30",
                 "%s -b %d --logfile %s %s" % (picocom, baud, logfile, bridge.link))
        # picocom prints "Terminal ready" once the port is set up.
        end = time.monotonic() + 15
        while time.monotonic() < end:
            screen = tmux_cmd("capture-pane", "-p", "-t", session, check=False).stdout
            if b"Terminal ready" in screen:
                break
            time.sleep(0.05)
        else:
            raise TestFailure("picocom did not start:\n%s" % screen.decode(errors="replace"))

        type_line("ATZ")
        wait_for(b"OK", 5)
        mark = len(received())
        type_line("ATI")
        wait_for(b"TAVRINMDM", 5, mark)
        mark = len(received())
        type_line("ATDT5551234")
        wait_for(b"CONNECT %d" % baud, 10, mark)
        mark = len(received())
        type_line("hello through the driver")
        wait_for(b"hello through the driver", 5, mark)
        log("picocom: ATZ, ATI, ATDT and an echoed line went through")
        screen = tmux_cmd("capture-pane", "-p", "-t", session).stdout.decode(errors="replace")
        log("---- picocom screen ----\n" + screen.rstrip() + "\n----")
        # Leave picocom: C-a C-x.
        tmux_cmd("send-keys", "-t", session, "C-a", "C-x")
        end = time.monotonic() + 10
        while time.monotonic() < end:
            if tmux_cmd("has-session", "-t", session, check=False).returncode != 0:
                break
            time.sleep(0.05)
        else:
            raise TestFailure("picocom did not exit on C-a C-x")
    finally:
        tmux_cmd("kill-server", check=False)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mdmhost", required=True)
    parser.add_argument("--image", help="run the x86 image itself (the 32-bit mdmhost)")
    parser.add_argument("--max-stack", type=int,
                        help="with --image: the kernel stack the image may use, in bytes")
    parser.add_argument("--chain", action="store_true",
                        help="through the modem's parent bus driver (the raw USB device below)")
    parser.add_argument("--bus-image", help="with --chain: the parent's x86 image itself")
    parser.add_argument("client", choices=["pyserial", "chat", "picocom", "stty", "loopback", "slow",
                                           "picocom-slow"])
    args = parser.parse_args()

    workdir = tempfile.mkdtemp(prefix="mdmhost-%s-" % args.client)
    extra = ["--modem", "loopback"] if args.client == "loopback" else []
    if args.client in ("slow", "picocom-slow"):
        extra += ["--rate", "9600", "--tx-buffer", "64"]
    if args.image:
        extra += ["--image", os.path.abspath(args.image)]
        if args.max_stack:
            extra += ["--max-stack", str(args.max_stack), "--stack-report"]
    if args.chain or args.bus_image:
        extra += ["--chain"]
    if args.bus_image:
        extra += ["--bus-image", os.path.abspath(args.bus_image)]
    bridge = Bridge(os.path.abspath(args.mdmhost), workdir, extra)
    try:
        try:
            bridge.wait_ready()
            if args.client == "pyserial":
                result = run_pyserial(bridge)
            elif args.client == "chat":
                result = run_chat(bridge)
            elif args.client == "stty":
                result = run_stty(bridge)
            elif args.client == "loopback":
                result = run_loopback(bridge)
            elif args.client == "slow":
                result = run_slow(bridge)
            elif args.client == "picocom-slow":
                result = run_picocom(bridge, workdir, 9600)
            else:
                result = run_picocom(bridge, workdir)
        except BaseException:
            if bridge.proc.poll() is None:
                bridge.proc.kill()
                bridge.proc.wait()
            raise
        check_shutdown(bridge)
        if result == SKIP:
            return SKIP
        log("PASS: %s" % args.client)
        return 0
    except (TestFailure, subprocess.TimeoutExpired, OSError) as e:
        log("FAIL: %s: %s" % (args.client, e))
        log("---- bridge output ----\n" + bridge.output().rstrip())
        return 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
