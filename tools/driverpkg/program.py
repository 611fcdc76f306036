"""What the loader of Windows 2000 and XP expects of a user-mode program that ships beside the
driver (win32/): a PE32 console image for i386, no newer than 5.0, importing only from kernel32.dll
and advapi32.dll, each function in the program's baseline list."""

import os

from . import ROOT, fail, ok
from . import pe as image


def baseline_of(path):
    """win32/<program>/imports: the baseline list of a program, by its file name."""
    name = os.path.splitext(os.path.basename(path))[0]
    return os.path.join(ROOT, "win32", name, "imports")


ALLOWED_MODULES = ("kernel32.dll", "advapi32.dll")
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3


def check_program(path, baseline_file):
    pe = image.load(path)
    try:
        fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
        if fh.Machine != 0x14C or oh.Magic != 0x10B:
            fail("not a PE32 image for i386")
        ok("PE32 for i386")
        if oh.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
            fail(f"subsystem {oh.Subsystem}; a console program has 3")
        versions = {
            "subsystem": (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion),
            "OS": (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion),
        }
        for what, version in versions.items():
            if version > image.NEWEST_VERSION:
                fail(f"{what} version {version[0]}.{version[1]} is newer than 5.0 (Windows 2000)")
        ok("console subsystem; subsystem and OS versions 5.0 at most")
        if not oh.DATA_DIRECTORY[5].Size:
            fail("no base relocations")
        ok("base relocations present")
        imports = image.imports_of(pe)
        if not imports:
            fail("no import table")
        modules = sorted(d for d in imports if d.lower() not in ALLOWED_MODULES)
        if modules:
            fail(f"imports from {', '.join(modules)}; only KERNEL32.dll and ADVAPI32.dll are allowed")
        baseline = image.load_baseline(baseline_file)
        unknown, newer = [], []
        for module, routines in sorted(imports.items()):
            for routine in routines:
                platform = baseline.get((module.lower(), routine))
                if platform is None:
                    unknown.append(f"{routine} ({module})")
                elif platform != image.BASELINE:
                    newer.append(f"{routine} ({module}) needs {platform}")
        if newer:
            fail(f"imports newer than {image.BASELINE}: " + "; ".join(newer))
        if unknown:
            fail(f"imports outside the baseline list ({baseline_file}): " + ", ".join(unknown))
        count = sum(len(r) for r in imports.values())
        ok(f"{count} imports, all exported by {image.BASELINE}: "
           + ", ".join(f"{d} ({len(r)})" for d, r in sorted(imports.items())))
    finally:
        pe.close()
