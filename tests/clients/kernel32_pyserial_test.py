#!/usr/bin/python3
"""pyserial's Windows back end, unchanged, against the driver through kernel32's C ABI.

Debian's serial/serialwin32.py and serial/win32.py run as they stand: win32_ctypes (comm/kernel32/
python) gives ctypes what it has on Windows, pointed at libtavrin_kernel32.so, which starts its
own threaded host kernel with the driver over the modem named here on the first CreateFile.

    kernel32_pyserial_test.py --library build/host/comm/kernel32/libtavrin_kernel32.so at|loopback

One process per modem (the library has one machine per process). Every wait is bounded.
Exit status: 0 pass, 1 fail, 77 skipped (pyserial is not installed).
"""

import argparse
import os
import sys
import threading
import time

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "comm", "kernel32", "python"))


class TestFailure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise TestFailure(what)


def log(text):
    print(text, flush=True)


def pattern(n):
    return bytes((i * 7 + i // 251) & 0xFF for i in range(n))


def wait_for(predicate, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.01)
    raise TestFailure("waited %.1f s for %s" % (seconds, what))


def read_until_any(port, tokens, seconds):
    got = b""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        got += port.read(port.in_waiting or 1)
        if any(t in got for t in tokens):
            return got
    raise TestFailure("waited %.1f s for %r, got %r" % (seconds, tokens, got))


def command(port, text, expect, seconds=5):
    port.write(text + b"\r")
    got = read_until_any(port, [expect, b"ERROR", b"NO CARRIER"], seconds)
    log("%-14s -> %r" % (text.decode(), got))
    check(expect in got, "%s answered %r, expected %r" % (text, got, expect))
    return got


def run_at(Serial):
    # Repeated open and close: each open is exclusive, each close lets the next one in.
    for _ in range(5):
        port = Serial("COM7", 115200, timeout=0.3)
        try:
            Serial("COM7", 115200)
            raise TestFailure("a second open of COM7 succeeded")
        except Exception as error:  # pyserial's SerialException, naming the Windows error
            check("Access is denied" in str(error), "second open: %s" % error)
        port.close()
    log("open/close    -> 5 times, a second open refused each time")

    port = Serial("COM7", 115200, timeout=0.3)
    # The read timeout: nothing comes, the read ends with nothing.
    check(port.read(16) == b"", "a read with nothing to read returned bytes")

    # The AT dialogue, with the modem's command echo.
    got = command(port, b"ATZ", b"OK")
    check(got.startswith(b"ATZ\r"), "the modem did not echo ATZ: %r" % got)
    check(b"TAVRINMDM" in command(port, b"ATI", b"OK"), "ATI did not name the modem")
    check(b"115200,8,N,1" in command(port, b"ATI5", b"OK"), "the line coding did not reach the modem")

    # Modem lines: the modem's DSR and CTS are up, no carrier before the dial.
    check(port.dsr and port.cts and not port.cd and not port.ri,
          "lines before dial: dsr %s cts %s cd %s ri %s" % (port.dsr, port.cts, port.cd, port.ri))
    port.rts = False
    port.rts = True
    port.dtr = True
    command(port, b"ATE0", b"OK")
    command(port, b"ATDT5551234", b"CONNECT", 10)
    wait_for(lambda: port.cd, 5, "carrier after CONNECT")

    # Data mode: the echo peer sends everything back.
    data = pattern(16 * 1024)
    check(port.write(data) == len(data), "short write")
    got = b""
    end = time.monotonic() + 20
    while len(got) < len(data) and time.monotonic() < end:
        got += port.read(len(data) - len(got))
    check(got == data, "echo: %d of %d bytes back" % (len(got), len(data)))
    log("echo          -> %d bytes back unchanged" % len(got))

    # Break: set, cleared, and the timed one.
    port.break_condition = True
    port.break_condition = False
    port.send_break(0.05)

    # cancel_read from another thread ends a read that waits forever.
    port.timeout = None
    canceller = threading.Timer(0.2, port.cancel_read)
    canceller.start()
    got = port.read(1)
    canceller.join()
    check(got == b"", "the cancelled read returned %r" % got)
    log("cancel_read   -> the blocked read ended with nothing")
    port.timeout = 0.3

    # Back to command mode with the guarded escape, hang up, and the carrier goes.
    time.sleep(1.2)
    port.write(b"+++")
    read_until_any(port, [b"OK"], 5)
    command(port, b"ATH", b"OK")
    wait_for(lambda: not port.cd, 5, "carrier drop after ATH")
    port.close()
    return 0


def run_loopback(Serial):
    port = Serial("COM7", 230400, timeout=2)
    # in_waiting, then reset_input_buffer throws it away.
    port.write(b"hello")
    wait_for(lambda: port.in_waiting == 5, 5, "in_waiting 5")
    port.reset_input_buffer()
    check(port.in_waiting == 0, "reset_input_buffer left %d bytes" % port.in_waiting)
    port.reset_output_buffer()
    check(port.out_waiting == 0, "out_waiting after reset_output_buffer")

    # read_until stops at the terminator; the rest stays for the next read.
    port.write(b"abc\nxyz")
    check(port.read_until(b"\n") == b"abc\n", "read_until")
    check(port.read(3) == b"xyz", "the bytes after the terminator")

    # The inter-byte timeout ends a read that got some bytes long before the total timeout.
    port.timeout = 30
    port.inter_byte_timeout = 0.1
    port.write(b"12345")
    start = time.monotonic()
    got = port.read(100)
    check(got == b"12345" and time.monotonic() - start < 30,
          "inter-byte timeout: %r" % got)
    port.inter_byte_timeout = None
    port.timeout = 2

    # A megabyte in one write while another thread reads it back.
    data = pattern(1024 * 1024)
    received = bytearray()

    def reader():
        end = time.monotonic() + 120
        while len(received) < len(data) and time.monotonic() < end:
            received.extend(port.read(min(65536, len(data) - len(received))))

    thread = threading.Thread(target=reader)
    thread.start()
    written = port.write(data)
    thread.join(150)
    check(written == len(data), "the write took %d bytes" % written)
    check(bytes(received) == data, "loopback: %d of %d bytes back%s" % (
        len(received), len(data), "" if len(received) < len(data) else ", some changed"))
    log("megabyte      -> written in one call, every byte back in order")
    port.close()
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", required=True)
    parser.add_argument("modem", choices=["at", "loopback"])
    args = parser.parse_args()
    try:
        import serial  # noqa: F401  (only to know it is there)
    except ImportError:
        log("SKIP: pyserial is not installed (python3-serial; ./run setup installs it)")
        return SKIP
    os.environ["TAVRIN_K32_MODEM"] = args.modem
    import win32_ctypes
    win32_ctypes.install(os.path.abspath(args.library))
    from serial.serialwin32 import Serial
    try:
        status = run_at(Serial) if args.modem == "at" else run_loopback(Serial)
    except TestFailure as failure:
        log("FAIL: %s" % failure)
        return 1
    log("PASS: pyserial's Windows back end over the %s modem" % args.modem)
    return status


if __name__ == "__main__":
    sys.exit(main())
