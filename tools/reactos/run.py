#!/usr/bin/env python3
"""The shipped package on ReactOS under QEMU, with the simulated modem plugged in over usbredir.

    tools/reactos/run.py --package dist/tavrinmdm-VERSION --mdmhost build/host/tools/mdmhost

Takes the unattended-setup CD that tools/reactos/build.sh left in its cache, makes a copy of it
with the package, a script of ours and an answer file that runs that script after setup, and boots
it under QEMU (software emulation) on a fresh disk. Setup installs ReactOS and reboots; the script
copies the two INFs where the PnP manager looks for drivers and says so on the debug port. The
modem is then plugged in: `mdmhost usbredir` serves it and QEMU's usb-redir device, hot-added on
the emulated EHCI controller, carries it into the guest. ReactOS enumerates the USB device, finds
tavrinbus.inf, loads the bus driver, which reports the modem function, for which it finds
tavrinmdm.inf and loads the port driver. The script runs tavrincheck.exe on the port (ATZ, ATI, an
echo test), which then holds the port open; the modem is pulled out with the port open, and both
drivers must unload.

Everything the guest says reaches the first serial port (the kernel's debug output, and the
script's lines through dbgprint). Every step waits for its line with a time limit; the first that
does not come stops the run with a message naming the step, and keeps the serial log and a
screenshot in the run's folder. Exit status 0 when every step passed, 1 when one failed, 2 when
something the run needs is missing (the cached build, QEMU, the package).
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PIN = "7432f4e9d959aef63f10a7f4aa9ebd56b1403f6a"
ECHO_NUMBER = "5551234"
# The answer file's [GuiRunOnce] lines: the CD drive is the first one after the system disk's
# partition; a line for each likely letter runs the script from whichever holds it.
CD_LETTERS = "DEFG"
# The USB host controller: QEMU's device, its bus, and the speed the modem offers on it (EHCI
# takes a high-speed device; UHCI and OHCI full speed).
CONTROLLERS = {
    "ehci": ("usb-ehci,id=usbhc", "usbhc.0", "high"),
    "uhci": ("piix3-usb-uhci,id=usbhc", "usbhc.0", "full"),
    "ohci": ("pci-ohci,id=usbhc", "usbhc.0", "full"),
}


# ReactOS's kernel debugger taking over (an assertion or an unhandled exception).
DEBUGGER = re.compile(r"Entered debugger[^\r\n]*")


class Stop(Exception):
    """A step that did not come: the run ends here."""

    def __init__(self, step, message, setup_debugger=False):
        super().__init__(f"{step}: {message}")
        self.step = step
        self.message = message
        # ReactOS stopped in its own kernel debugger before our script ran: its setup, not ours.
        self.setup_debugger = setup_debugger


def log(text):
    print(f"[reactos {time.strftime('%H:%M:%S')}] {text}", flush=True)


def cache_dir():
    root = os.environ.get("TAVRIN_REACTOS_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "tavrin-reactos")
    return Path(root) / PIN[:11]


# ---- The CD ------------------------------------------------------------------------------------

GUEST_SCRIPT = r"""@echo off
rem The ReactOS test ground's script (tools/reactos/run.py): installs the package's INFs where the
rem PnP manager looks for drivers, waits for the modem's port, and checks it with tavrincheck.
rem Every line for the test goes to the debug port through dbgprint.
set HERE=%~dp0
dbgprint "TAVRIN-RUN: started from %HERE%."
rem A found-new-hardware wizard would wait for a click that never comes: no wizard, as on a
rem machine whose policy suppresses it; the PnP manager then installs what its INFs match.
reg add "HKLM\Software\Policies\Microsoft\Windows\DeviceInstall\Settings" /v SuppressNewHWUI /t REG_DWORD /d 1 /f >nul
rem The wizard already open at logon for a device no INF matches (QEMU's firmware configuration
rem device, ACPI\QEMU0002) holds every later installation until someone answers it: close it.
taskkill /f /im rundll32.exe >nul 2>&1
rem ReactOS's setup library takes an INF's files from the folder the INF is in, also for the INFs
rem of %SystemRoot%\inf (Windows remembers where an INF came from): the images go beside them.
for %%f in (tavrinbus.inf tavrinmdm.inf tavrinbus.sys tavrinmdm.sys) do copy /y "%HERE%%%f" "%SystemRoot%\inf\" >nul || dbgprint "TAVRIN-RUN: FAILED: copy %%f"
dbgprint "TAVRIN-RUN: INFs installed; plug the modem in"
set /a tries=0
:wait
reg query HKLM\HARDWARE\DEVICEMAP\SERIALCOMM 2>nul | find /i "TAVRINMDM" >nul && goto port
set /a tries+=1
if %tries% geq 300 goto noport
timeout /t 1 /nobreak >nul 2>&1 || ping -n 2 127.0.0.1 >nul
goto wait
:port
dbgprint --process "reg query HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"
rem The Ports class installer gave the port the first free name. It is named COM7 here, in the
rem port's hardware key as the port's settings page would name it, and the modem is plugged in
rem again: the driver takes the name at its next start.
set KEY=
for /f "delims=" %%k in ('reg query "HKLM\SYSTEM\CurrentControlSet\Enum\TAVRIN\VID_1A2B&PID_0001&MODEM" /s ^| find "Device Parameters"') do set "KEY=%%k"
if not defined KEY goto nokey
reg add "%KEY%" /v PortName /t REG_SZ /d COM7 /f >nul || goto nokey
dbgprint "TAVRIN-RUN: port named COM7; plug the modem in again"
set /a tries=0
:wait7
reg query HKLM\HARDWARE\DEVICEMAP\SERIALCOMM 2>nul | find "COM7" >nul && goto port7
set /a tries+=1
if %tries% geq 300 goto noport
timeout /t 1 /nobreak >nul 2>&1 || ping -n 2 127.0.0.1 >nul
goto wait7
:port7
dbgprint --process "reg query HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"
dbgprint --process "%HERE%tavrincheck.exe COM7 --echo @ECHO@ --hold @HOLD@"
dbgprint "TAVRIN-RUN: tavrincheck ended"
goto end
:nokey
dbgprint "TAVRIN-RUN: FAILED: the port's hardware key (Device Parameters) was not found or not written"
goto end
:noport
dbgprint "TAVRIN-RUN: FAILED: no port of tavrinmdm in HARDWARE\DEVICEMAP\SERIALCOMM (waited 300 rounds)"
:end
dbgprint "TAVRIN-RUN: done"
"""


def answer_file(src):
    """The regression-test CD's answer file, running our script after setup."""
    text = Path(src).read_text(encoding="latin-1")
    head, sep, _ = text.partition("[GuiRunOnce]")
    if not sep:
        raise Stop("prepare", f"{src} has no [GuiRunOnce] section")
    # Wine Gecko's download prompt would wait for a click.
    head = head.replace("[Unattend]", "[Unattend]\r\nDisableGeckoInst = yes", 1)
    lines = [f"%SystemRoot%\\system32\\cmd.exe /c if exist {d}:\\tavrin\\run.cmd "
             f"{d}:\\tavrin\\run.cmd" for d in CD_LETTERS]
    tail = "[GuiRunOnce]\r\n" + "\r\n".join(lines) + "\r\n"
    return head.replace("\r\n", "\n").replace("\n", "\r\n") + tail


def mkisofs_command(build):
    """The build's own command for bootcdregtest.iso (mkisofs from its host tools)."""
    ninja = (build / "build.ninja").read_text()
    for line in ninja.splitlines():
        line = line.strip()
        if line.startswith("COMMAND =") and "bootcdregtest.iso" in line and "-path-list" in line:
            command = line[len("COMMAND ="):].strip()
            return command.split(" && ")[:2]  # cd BUILD/boot, mkisofs ... (not isohybrid)
    raise Stop("prepare", f"no command for bootcdregtest.iso in {build}/build.ninja")


def make_cd(cache, package, work, hold):
    build = cache / "build"
    lst = build / "boot" / "bootcdregtest.Debug.lst"
    if not lst.exists():
        raise Stop("prepare", f"{lst} is missing (run tools/reactos/build.sh)")
    unattend = work / "unattend.inf"
    script = work / "run.cmd"
    entries = []
    for line in lst.read_text().splitlines():
        if line.startswith("reactos/unattend.inf="):
            unattend.write_bytes(answer_file(line.split("=", 1)[1]).encode("latin-1"))
            line = f"reactos/unattend.inf={unattend}"
        entries.append(line)
    script.write_bytes(GUEST_SCRIPT.replace("@ECHO@", ECHO_NUMBER).replace("@HOLD@", str(hold))
                       .replace("\n", "\r\n").encode("latin-1"))
    entries.append(f"tavrin/run.cmd={script}")
    for f in sorted(Path(package).iterdir()):
        entries.append(f"tavrin/{f.name}={f.resolve()}")
    ours = work / "cd.lst"
    ours.write_text("\n".join(entries) + "\n")
    cd, mkisofs = mkisofs_command(build)
    iso = work / "tavrin-reactos.iso"
    mkisofs = re.sub(r"-o \S+bootcdregtest\.iso", f"-o {iso}", mkisofs)
    mkisofs = re.sub(r"-path-list \S+", f"-path-list {ours}", mkisofs)
    result = subprocess.run(f"{cd} && {mkisofs}", shell=True, capture_output=True, text=True)
    if result.returncode != 0 or not iso.exists():
        raise Stop("prepare", "mkisofs failed: " + result.stderr.strip()[-500:])
    return iso


# ---- QEMU and the modem ------------------------------------------------------------------------

class Qmp:
    """QEMU's machine protocol over its socket: one command at a time."""

    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(str(path))
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise Stop("qemu", f"no QEMU machine protocol socket at {path}")
                time.sleep(0.2)
        self.buffer = b""
        self.reply()  # the greeting
        self.command("qmp_capabilities")

    def reply(self):
        self.sock.settimeout(30)
        while True:
            while b"\n" not in self.buffer:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise Stop("qemu", "QEMU closed its machine protocol socket")
                self.buffer += chunk
            line, _, self.buffer = self.buffer.partition(b"\n")
            message = json.loads(line)
            if "event" not in message:
                return message

    def command(self, name, **arguments):
        self.sock.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        answer = self.reply()
        if "error" in answer:
            raise Stop("qemu", f"{name}: {answer['error'].get('desc')}")
        return answer.get("return")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Modem:
    """mdmhost usbredir: the simulated modem as a USB device, on loopback."""

    def __init__(self, mdmhost, port, work, speed):
        self.log = open(work / "usbredir.log", "w")
        self.proc = subprocess.Popen(
            [str(mdmhost), "usbredir", "--listen", str(port), "--speed", speed],
            stdin=subprocess.PIPE,
            stdout=self.log, stderr=subprocess.STDOUT, text=True)
        self.path = work / "usbredir.log"

    def say(self, command):
        if self.proc.poll() is not None:
            raise Stop("modem", f"mdmhost usbredir ended (status {self.proc.returncode})")
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def text(self):
        return self.path.read_text(errors="replace")

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.say("quit")
                self.proc.wait(timeout=5)
            except (Stop, OSError, subprocess.TimeoutExpired):
                self.proc.kill()
        self.log.close()


# ---- The run -----------------------------------------------------------------------------------

class Run:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.serial = work / "serial.log"
        self.qemu = None
        self.qmp = None
        self.modem = None
        self.start = time.monotonic()
        self.scale = args.time_scale
        self.passed = []
        self.pos = 0

    def text(self):
        try:
            return self.serial.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def wait_for(self, step, pattern, limit, fail=None, since=None):
        """Waits until the serial log matches `pattern` after what the step before matched (or
        after offset `since`, for lines whose order among themselves is not fixed)."""
        limit *= self.scale
        deadline = time.monotonic() + limit
        regex = re.compile(pattern)
        failure = re.compile(fail) if fail else None
        start = self.pos if since is None else since
        while True:
            text = self.text()
            found = regex.search(text, start)
            if found:
                self.pos = max(self.pos, found.end())
                elapsed = time.monotonic() - self.start
                log(f"ok   {step} ({elapsed:.0f} s): {found.group(0).strip()[:100]}")
                self.passed.append((step, elapsed))
                return found
            if failure:
                bad = failure.search(text, start)
                if bad:
                    raise Stop(step, f"the guest says: {bad.group(0).strip()}")
            debugger = DEBUGGER.search(text, start)
            if debugger:
                raise Stop(step, f"ReactOS stopped in its kernel debugger: "
                           f"{debugger.group(0).strip()} (the backtrace is in the serial log)",
                           setup_debugger="TAVRIN-RUN: started" not in text)
            if self.qemu.poll() is not None:
                raise Stop(step, f"QEMU ended (status {self.qemu.returncode}) before it")
            if time.monotonic() > deadline:
                raise Stop(step, f"not seen within {limit:.0f} s (waited for /{pattern}/)")
            time.sleep(0.5)

    def boot(self, iso):
        disk = self.work / "disk.qcow2"
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", str(disk), "4G"], check=True)
        self.qmp_path = self.work / "qmp.sock"
        command = [
            "qemu-system-i386", "-accel", "tcg", "-m", "768", "-display", "none",
            "-vga", "std", "-boot", "d", "-cdrom", str(iso),
            "-drive", f"file={disk},format=qcow2,if=ide,index=0",
            "-serial", f"file:{self.serial}", "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
            "-device", CONTROLLERS[self.args.controller][0], "-nic", "none", "-rtc", "base=utc",
        ]
        (self.work / "qemu.cmd").write_text(" ".join(command) + "\n")
        self.qemu_log = open(self.work / "qemu.log", "w")
        self.qemu = subprocess.Popen(command, stdout=self.qemu_log, stderr=subprocess.STDOUT)
        self.qmp = Qmp(self.qmp_path, time.monotonic() + 30)

    def plug(self):
        port = free_port()
        _, bus, speed = CONTROLLERS[self.args.controller]
        self.modem = Modem(self.args.mdmhost, port, self.work, speed)
        deadline = time.monotonic() + 30
        while "listening" not in self.modem.text():
            if time.monotonic() > deadline or self.modem.proc.poll() is not None:
                raise Stop("plug", "mdmhost usbredir did not start listening:\n" + self.modem.text())
            time.sleep(0.2)
        self.qmp.command("chardev-add", id="modem", backend={
            "type": "socket", "data": {"addr": {"type": "inet", "data": {
                "host": "127.0.0.1", "port": str(port)}}, "server": False}})
        self.qmp.command("device_add", driver="usb-redir", chardev="modem", id="modem", bus=bus)
        deadline = time.monotonic() + 30
        while not re.search(r"peer connected.*\n(.*\n)*usbredir: device plugged", self.modem.text()):
            if time.monotonic() > deadline or self.modem.proc.poll() is not None:
                raise Stop("plug", "QEMU's usb-redir did not take the device:\n" + self.modem.text())
            time.sleep(0.2)
        log(f"plugged the modem in (usbredir on 127.0.0.1:{port})")

    def screenshot(self):
        if not self.qmp:
            return None
        for name, fmt in (("screen.png", "png"), ("screen.ppm", None)):
            try:
                args = {"filename": str(self.work / name)}
                if fmt:
                    args["format"] = fmt
                self.qmp.command("screendump", **args)
                return self.work / name
            except Stop:
                continue
        return None

    def steps(self):
        fail = r"TAVRIN-RUN: FAILED[^\r\n]*|tavrincheck: FAIL[^\r\n]*"
        self.wait_for("boot: the kernel's first lines", r"ReactOS[^\r\n]*\(Build", 120)
        self.wait_for("setup: the script runs after setup", r"TAVRIN-RUN: started[^\r\n]*", 900)
        self.wait_for("INFs installed", r"TAVRIN-RUN: INFs installed[^\r\n]*", 120, fail)
        self.plug()
        self.loaded(fail)
        self.wait_for("port in SERIALCOMM", r"\\Device\\TAVRINMDM\d+\s+REG_SZ\s+(COM\d+)", 300,
                      fail)
        self.wait_for("port named COM7", r"TAVRIN-RUN: port named COM7[^\r\n]*", 120, fail)
        self.modem.say("unplug")
        log("pulled the modem out (usbredir: unplug)")
        self.unloaded(fail)
        self.modem.say("plug")
        log("plugged the modem in again (usbredir: plug)")
        self.loaded(fail)
        self.wait_for("port in SERIALCOMM as COM7", r"\\Device\\TAVRINMDM\d+\s+REG_SZ\s+COM7", 300,
                      fail)
        self.wait_for("tavrincheck opened COM7", r"Opening COM7", 60, fail)
        self.wait_for("AT dialogue", r"ATI -> [^\r\n]*OK", 60, fail)
        self.wait_for("echo test", r"echo: 4096 bytes written, 4096 bytes back", 120, fail)
        self.wait_for("port held open", r"Holding COM7 open", 60, fail)
        self.modem.say("unplug")
        log("pulled the modem out with the port open (usbredir: unplug)")
        since = self.pos
        self.wait_for("read ended by the removal", r"the pending read ended[^\r\n]*", 60, fail,
                      since)
        self.wait_for("tavrincheck passed", r"tavrincheck: PASS[^\r\n]*", 60, fail, since)
        self.unloaded(fail, since)
        self.wait_for("script done", r"TAVRIN-RUN: done", 60, fail, since)

    def loaded(self, fail):
        since = self.pos
        self.wait_for("bus driver loaded", r"TAVRINBUS\([^)]*\) loaded", 240, fail, since)
        self.wait_for("port driver loaded", r"RIVEZUVE\([^)]*\)[^\r\n]* LOADED", 240, fail, since)

    def unloaded(self, fail, since=None):
        since = self.pos if since is None else since
        self.wait_for("port driver unloaded", r"RIVEZUVE\([^)]*\)[^\r\n]*UNLOADED", 120, fail,
                      since)
        self.wait_for("bus driver unloaded", r"TAVRINBUS\([^)]*\) unloaded", 120, fail, since)

    def stop(self):
        if self.modem:
            self.modem.stop()
        if self.qemu and self.qemu.poll() is None:
            try:
                self.qmp.command("quit")
                self.qemu.wait(timeout=10)
            except (Stop, OSError, subprocess.TimeoutExpired):
                self.qemu.kill()
                self.qemu.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--package", required=True, help="the package folder (dist/tavrinmdm-*)")
    parser.add_argument("--mdmhost", required=True, help="mdmhost, for mdmhost usbredir")
    parser.add_argument("--work", help="the run's folder (default build/reactos/run-TIME)")
    parser.add_argument("--hold", type=int, default=120, help="tavrincheck --hold SECONDS")
    parser.add_argument("--time-scale", type=float, default=1.0,
                        help="multiply every step's time limit (a slower machine)")
    parser.add_argument("--keep", action="store_true", help="keep the run's folder on success")
    parser.add_argument("--controller", choices=sorted(CONTROLLERS), default="ehci",
                        help="the USB host controller the modem is plugged into (default ehci)")
    args = parser.parse_args()

    cache = cache_dir()
    missing = []
    if not (cache / "build.done").exists():
        missing.append(f"the ReactOS build in {cache} (tools/reactos/build.sh)")
    for tool in ("qemu-system-i386", "qemu-img"):
        if not shutil.which(tool):
            missing.append(f"{tool} (Debian: qemu-system-x86, qemu-utils)")
    if not Path(args.package, "tavrinmdm.inf").exists():
        missing.append(f"the package in {args.package} (./run package)")
    if not Path(args.mdmhost).exists():
        missing.append(f"mdmhost at {args.mdmhost}")
    if missing:
        for m in missing:
            print(f"reactos: missing: {m}", file=sys.stderr)
        return 2

    base = Path(args.work) if args.work else ROOT / "build" / "reactos" / time.strftime(
        "run-%Y%m%d-%H%M%S")
    # ReactOS's own setup now and then stops in its kernel debugger (an assertion of its FAT
    # driver was seen while setup wrote the registry): that is not the package's doing, and the
    # run starts again on a fresh disk, at most twice.
    for attempt in range(1, 4):
        work = base if attempt == 1 else base.with_name(f"{base.name}-{attempt}")
        status, retry = attempt_run(args, cache, work)
        if not retry:
            break
        log(f"ReactOS's setup stopped in its debugger; starting again ({work} kept)")
    return status


def attempt_run(args, cache, work):
    work.mkdir(parents=True, exist_ok=True)
    run = Run(args, work)
    status, retry = 0, False
    try:
        iso = make_cd(cache, args.package, work, args.hold)
        log(f"CD with the package: {iso}")
        run.boot(iso)
        log(f"QEMU started; serial log {run.serial}")
        run.steps()
        total = time.monotonic() - run.start
        log(f"PASS: every step in {total:.0f} s")
    except Stop as stop:
        status, retry = 1, stop.setup_debugger
        shot = run.screenshot()
        log(f"FAILED at step '{stop.step}': {stop.message}")
        log(f"kept: {run.serial}" + (f", {shot}" if shot else "") + f" (folder {work})")
        tail = run.text().splitlines()[-15:]
        for line in tail:
            print(f"    | {line}")
    except KeyboardInterrupt:
        status = 1
        log("interrupted")
    finally:
        run.stop()
    if status == 0 and not args.keep:
        for name in ("disk.qcow2", "tavrin-reactos.iso"):
            (work / name).unlink(missing_ok=True)
    return status, retry
    return status


if __name__ == "__main__":
    sys.exit(main())
