"""The checks of the x86 image, its INF and its package refuse what Windows 2000 or XP would not
load or install, and what a debugger could not use. Each table feeds a check one fault at a time,
starting from the real build (build/x86, or $TAVRIN_X86_BUILD) and changing one thing."""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from driverpkg import CheckError  # noqa: E402
from driverpkg import inf as infmod  # noqa: E402
from driverpkg import pdb  # noqa: E402
from driverpkg import pe as image  # noqa: E402

BUILD = os.environ.get("TAVRIN_X86_BUILD", os.path.join(ROOT, "build", "x86"))
IMAGE = os.path.join(BUILD, "tavrinmdm.sys")


class Scratch(unittest.TestCase):
    """A copy of the built image, PDB and INF in a directory of its own for each test."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="driverpkg-")
        for name in ("tavrinmdm.sys", "tavrinmdm.pdb", "tavrinmdm.inf"):
            shutil.copy2(os.path.join(BUILD, name), self.dir)
        self.image = os.path.join(self.dir, "tavrinmdm.sys")
        self.pdb = os.path.join(self.dir, "tavrinmdm.pdb")
        self.inf = os.path.join(self.dir, "tavrinmdm.inf")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def patch_image(self, change=None, raw=None):
        """Changes the copy through pefile (change(pe)) or as bytes (raw(bytes) -> bytes) and
        writes it back with a correct checksum."""
        pe = image.load(self.image)
        if change:
            change(pe)
        data = pe.write()
        pe.close()
        if raw:
            data = raw(bytes(data))
        with open(self.image, "wb") as f:
            f.write(data)
        pe = image.load(self.image)
        pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
        data = pe.write()
        pe.close()
        with open(self.image, "wb") as f:
            f.write(data)

    def assertRefused(self, check, *phrases):
        with self.assertRaises(CheckError) as caught:
            check()
        for phrase in phrases:
            self.assertIn(phrase, str(caught.exception))


class ImageCheck(Scratch):
    def test_the_build_passes(self):
        self.assertEqual(image.check_image(self.image, require_pdb=True),
                         image.dotted(image.version_resource(image.load(self.image))["file"]))

    def test_imports_windows_2000_does_not_export_are_refused_by_name_and_platform(self):
        # A real image, linked like the driver, that imports KeFlushQueuedDpcs.
        fixture = os.path.join(BUILD, "tests", "xp_sp2_import.sys")
        self.assertRefused(lambda: image.check_image(fixture), "KeFlushQueuedDpcs (ntoskrnl.exe)",
                           "needs Windows XP SP2", "newer than Windows 2000")
        baseline = image.load_baseline()
        rows = [
            ({"ntoskrnl.exe": ["KeRegisterBugCheckReasonCallback"]}, ["needs Windows XP SP1"]),
            ({"HAL.dll": ["KeAcquireInStackQueuedSpinLock"]}, ["needs Windows XP"]),
            ({"ntoskrnl.exe": ["IoConnectInterruptEx"]}, ["outside the baseline list",
                                                          "IoConnectInterruptEx (ntoskrnl.exe)"]),
            ({"ntoskrnl.exe": ["#123"]}, ["outside the baseline list", "#123"]),
            ({"ntoskrnl.exe": ["DbgPrint"], "usbd.sys": ["USBD_ParseConfigurationDescriptorEx"]},
             ["imports from usbd.sys"]),
            ({}, ["no import table"]),
        ]
        for imports, phrases in rows:
            with self.subTest(imports=imports):
                self.assertRefused(lambda: image.check_imports(imports, baseline), *phrases)

    def test_headers_and_version_resource_faults_are_refused(self):
        def version_string(data, old, new):
            # The resource's FileVersion string (the first of the two), UTF-16, same length.
            old, new = old.encode("utf-16-le") + b"\0\0", new.encode("utf-16-le") + b"\0\0"
            return data.replace(old, new, 1)

        version = image.banner_version(image.load(IMAGE))
        other = version[:-1] + str((int(version[-1]) + 1) % 10)
        rows = [
            ("subsystem 6.0", lambda pe: setattr(pe.OPTIONAL_HEADER, "MajorSubsystemVersion", 6),
             ["subsystem version 6.0 is newer than Windows 2000"]),
            ("OS 5.1", lambda pe: setattr(pe.OPTIONAL_HEADER, "MinorOperatingSystemVersion", 1),
             ["operating system version 5.1"]),
            ("no WDM mark", lambda pe: setattr(pe.OPTIONAL_HEADER, "DllCharacteristics",
                                               pe.OPTIONAL_HEADER.DllCharacteristics & ~0x2000),
             ["WDM driver"]),
            ("INIT resident", lambda pe: setattr(
                [s for s in pe.sections if s.Name.startswith(b"INIT")][0], "Characteristics",
                0x60000020), ["INIT is not discardable"]),
            ("file version", lambda pe: setattr(pe.VS_FIXEDFILEINFO[0], "FileVersionLS", 0x00630063),
             ["file version", f"differs from the banner's {version}"]),
            ("FileVersion string", dict(raw=lambda data: version_string(data, version, other)),
             [f"FileVersion '{other}'", f"banner's {version}"]),
            ("file type", lambda pe: setattr(pe.VS_FIXEDFILEINFO[0], "FileType", 1),
             ["expected a driver"]),
        ]
        for name, change, phrases in rows:
            with self.subTest(name):
                shutil.copy2(IMAGE, self.image)
                self.patch_image(**(change if isinstance(change, dict) else dict(change=change)))
                self.assertRefused(lambda: image.check_image(self.image), *phrases)

        # The checksum itself.
        shutil.copy2(IMAGE, self.image)
        with open(self.image, "r+b") as f:
            f.seek(-1, os.SEEK_END)
            last = f.read(1)
            f.seek(-1, os.SEEK_END)
            f.write(bytes([last[0] ^ 0xFF]))
        self.assertRefused(lambda: image.check_image(self.image), "header checksum")

    def test_a_pdb_that_is_not_the_images_is_refused(self):
        # The GUID sits at bytes 12..27 of the PDB's information stream: flip one of its bytes
        # where the stream's first block lies; likewise the age at bytes 8..11.
        with open(self.pdb, "rb") as f:
            data = bytearray(f.read())
        info = pdb.read_stream(bytes(data), 1)
        at = bytes(data).index(info[:28])
        rows = [("GUID", at + 12, ["the image expects PDB"]),
                ("age", at + 8, ["the image expects PDB", "age"])]
        for name, offset, phrases in rows:
            with self.subTest(name):
                changed = bytearray(data)
                changed[offset] ^= 0x01
                with open(self.pdb, "wb") as f:
                    f.write(changed)
                self.assertRefused(lambda: image.check_image(self.image, True), *phrases)
        os.remove(self.pdb)
        self.assertRaises(OSError, lambda: image.check_image(self.image, True))
        gcc = os.path.join(ROOT, "build", "x86-gcc", "tavrinmdm.sys")
        if os.path.exists(gcc):
            self.assertRefused(lambda: image.check_image(gcc, require_pdb=True), "no CodeView")


class InfCheck(Scratch):
    def test_the_build_passes(self):
        infmod.check_file(self.inf, self.image)

    def test_every_fault_is_refused_with_its_reason(self):
        with open(self.inf, encoding="utf-8") as f:
            good = f.read()
        version = image.dotted(image.version_resource(image.load(self.image))["file"])
        rows = [
            ("undefined string", r'\nDiskName\s*=.*', "", ["%DiskName%", "not defined"]),
            ("missing section", r"\[TavrinMdm_CopyFiles\]\ntavrinmdm\.sys", "",
             ["[TavrinMdm_CopyFiles] is missing"]),
            ("missing services", r"\[TavrinMdm_Install\.NT\.Services\]", "[Other]",
             ["[TavrinMdm_Install.NT.Services] is missing"]),
            ("service name", r"AddService = tavrinmdm,", "AddService = tavrin,",
             ["service 'tavrin' differs from the image's name 'tavrinmdm'"]),
            ("binary", r"%12%\\tavrinmdm\.sys", r"%12%\\tavrin.sys", ["ServiceBinary"]),
            ("copied file", r"\[TavrinMdm_CopyFiles\]\ntavrinmdm\.sys",
             "[TavrinMdm_CopyFiles]\ntavrin.sys", ["copies ['tavrin.sys']"]),
            ("destination", r"DefaultDestDir = 12", "DefaultDestDir = 11",
             ["not copied to the drivers directory"]),
            ("version", re.escape(version), "9.9.9.9", ["DriverVer version 9.9.9.9 differs"]),
            ("date", r"DriverVer   = \d\d/\d\d/\d{4}", "DriverVer   = 01/01/2001",
             ["DriverVer date 01/01/2001 differs"]),
            ("hardware ID", r"PID_0001&MODEM", "PID_0002&MODEM", ["no models entry installs on"]),
            ("raw USB device", r"TAVRIN\\MODEM", r"USB\\VID_1A2B&PID_0001",
             ["USB\\VID_1A2B&PID_0001 binds the raw USB device"]),
            ("property page", r"HKR,,EnumPropPages32", "HKR,,EnumPropPages", ["EnumPropPages32"]),
            ("port subclass", r"HKR,,PortSubClass,1,01", "HKR,,PortSubClass,1,02",
             ["PortSubClass"]),
            ("start type", r"StartType     = 3", "StartType     = 2", ["StartType is 2"]),
            ("error control", r"ErrorControl  = 1", "ErrorControl  = 3", ["ErrorControl is 3"]),
            ("not the function driver", r"0x00000002", "0x00000000", ["SPSVCINST_ASSOCSERVICE"]),
            ("class", r"Class       = Ports", "Class       = Modem", ["Class must be Ports"]),
            ("source disk", r"tavrinmdm\.sys = 1", "tavrinmdm.sys = 2", ["[SourceDisksFiles]"]),
        ]
        for name, pattern, replacement, phrases in rows:
            with self.subTest(name):
                text, count = re.subn(pattern, replacement, good, count=1)
                self.assertEqual(count, 1, f"the pattern of '{name}' matches the INF")
                with open(self.inf, "w", encoding="utf-8") as f:
                    f.write(text)
                self.assertRefused(lambda: infmod.check_file(self.inf, self.image), *phrases)

    def test_the_hardware_id_comes_from_the_simulations_definition(self):
        self.assertEqual(infmod.modem_hardware_id(), "TAVRIN\\VID_1A2B&PID_0001&MODEM")
        self.assertEqual(infmod.modem_hardware_id(image_name="tavrinbus.sys"),
                         "USB\\VID_1A2B&PID_0001")
        header = os.path.join(self.dir, "modem_ids.h")
        with open(header, "w", encoding="utf-8") as f:
            f.write("inline constexpr uint16_t kModemVendorId = 0x1A2B;\n"
                    "inline constexpr uint16_t kModemProductId = 0x0002;\n")
        self.assertRefused(lambda: infmod.check_file(self.inf, self.image, header),
                           "TAVRIN\\VID_1A2B&PID_0002&MODEM")


class Package(unittest.TestCase):
    def test_a_package_lacking_or_adding_a_file_is_refused(self):
        dist = tempfile.mkdtemp(prefix="dist-")
        try:
            tool = os.path.join(ROOT, "tools", "package")
            made = subprocess.run([sys.executable, tool, BUILD, dist], capture_output=True,
                                  text=True)
            self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
            (package,) = [os.path.join(dist, d) for d in os.listdir(dist)]
            for action, name in (("remove", "tavrinmdm.pdb"), ("add", "notes.txt")):
                with self.subTest(action=action, name=name):
                    shutil.rmtree(package)
                    subprocess.run([sys.executable, tool, BUILD, dist], capture_output=True,
                                   check=True)
                    path = os.path.join(package, name)
                    if action == "remove":
                        os.remove(path)
                    else:
                        open(path, "w").close()
                    checked = subprocess.run([sys.executable, tool, "--check", package],
                                             capture_output=True, text=True)
                    self.assertEqual(checked.returncode, 1)
                    self.assertIn("expected INSTALL.txt, tavrinbus.inf, tavrinbus.pdb",
                                  checked.stderr)
            # The guide a person opens in Notepad: CRLF line endings only.
            subprocess.run([sys.executable, tool, BUILD, dist], capture_output=True, check=True)
            guide = os.path.join(package, "INSTALL.txt")
            with open(guide, "rb") as f:
                text = f.read()
            with open(guide, "wb") as f:
                f.write(text.replace(b"\r\n", b"\n", 1))
            checked = subprocess.run([sys.executable, tool, "--check", package],
                                     capture_output=True, text=True)
            self.assertEqual(checked.returncode, 1)
            self.assertIn("line endings other than CRLF", checked.stderr)
        finally:
            shutil.rmtree(dist)


if __name__ == "__main__":
    unittest.main()
