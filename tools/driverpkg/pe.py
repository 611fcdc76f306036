"""What the kernel loader of 32-bit Windows 2000 and XP expects of a driver image, checked on the
PE file with pefile: the headers and sections, the imports against the baseline list, the version
resource against the banner's version, and the CodeView record against the PDB."""

import os
import re
import struct
import uuid

import pefile

from . import ROOT, fail, ok
from . import pdb

BASELINE = "Windows 2000"
BASELINE_FILE = os.path.join(ROOT, "drivers", "tavrinmdm", "x86", "imports")
ALLOWED_MODULES = ("ntoskrnl.exe", "hal.dll")
# Windows 2000 is NT 5.0: an image that asks for a newer subsystem or OS is not its own.
NEWEST_VERSION = (5, 0)
# The loader may drop these after start-up: the start-up stub, the relocations (applied once at
# load) and debug sections.
MAY_BE_DISCARDABLE = ("INIT", ".reloc", ".debug")
VOS_NT_WINDOWS32 = 0x00040004
VFT_DRV = 3


def load(path):
    try:
        return pefile.PE(path)
    except pefile.PEFormatError as e:
        fail(f"not a PE image: {e.value}")


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def section_of(pe, rva):
    for s in pe.sections:
        if s.contains_rva(rva):
            return s
    return None


def check_shape(pe):
    """The headers and sections a kernel-mode driver image must have."""
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    if fh.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        fail(f"machine 0x{fh.Machine:04x}, expected i386 (0x014c)")
    if oh.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
        fail(f"optional header magic 0x{oh.Magic:04x}, expected PE32")
    ok("PE32 image for i386")

    if oh.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"]:
        fail(f"subsystem {oh.Subsystem}, expected native (1)")
    for what, version in (
            ("subsystem", (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)),
            ("operating system", (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion))):
        if version > NEWEST_VERSION:
            fail(f"{what} version {version[0]}.{version[1]} is newer than {BASELINE} "
                 f"({NEWEST_VERSION[0]}.{NEWEST_VERSION[1]})")
    ok(f"subsystem native {oh.MajorSubsystemVersion}.{oh.MinorSubsystemVersion}, "
       f"OS version {oh.MajorOperatingSystemVersion}.{oh.MinorOperatingSystemVersion}")

    relocs = pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]
    if fh.Characteristics & 0x0001 or relocs.VirtualAddress == 0 or relocs.Size == 0:
        fail("base relocations missing: the loader could not place the image")
    ok(f"base relocations present ({relocs.Size} bytes)")

    if not oh.DllCharacteristics & 0x2000:
        fail("not marked as a WDM driver (IMAGE_DLLCHARACTERISTICS_WDM_DRIVER)")
    ok("marked as a WDM driver")

    exports = pe.OPTIONAL_HEADER.DATA_DIRECTORY[0]
    if exports.VirtualAddress != 0 or exports.Size != 0:
        fail("the image has an export table")
    ok("no export table")

    names = [section_name(s) for s in pe.sections]
    pageable = [n for n in names if n.upper().startswith("PAGE")]
    if pageable:
        fail(f"pageable sections present: {', '.join(pageable)}")
    ok("no pageable section: " + " ".join(names))

    init = [s for s in pe.sections if section_name(s) == "INIT"]
    if len(init) != 1:
        fail("no section INIT (the start-up stub belongs there)")
    init = init[0]
    discardable = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_DISCARDABLE"]
    if not init.Characteristics & discardable:
        fail("section INIT is not discardable")
    wrongly = [section_name(s) for s in pe.sections if s.Characteristics & discardable
               and not section_name(s).startswith(MAY_BE_DISCARDABLE)]
    if wrongly:
        fail(f"resident sections marked discardable: {', '.join(wrongly)}")
    ok(f"section INIT discardable, no other code or data section discardable")

    where = section_of(pe, oh.AddressOfEntryPoint)
    if where is not init:
        fail(f"entry point 0x{oh.AddressOfEntryPoint:x} lies in "
             f"{section_name(where) if where else 'no section'}, expected INIT")
    ok(f"entry point 0x{oh.AddressOfEntryPoint:x} inside INIT")

    computed = pe.generate_checksum()
    if oh.CheckSum != computed:
        fail(f"header checksum 0x{oh.CheckSum:08x}, the file sums to 0x{computed:08x}")
    ok(f"header checksum 0x{oh.CheckSum:08x} matches the file")


def load_baseline(path=BASELINE_FILE):
    """{(module in lower case, routine): oldest platform} from the baseline list."""
    baseline = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split(None, 2)
            if len(parts) != 3:
                fail(f"{path}:{number}: expected 'module routine platform'")
            module, routine, platform = parts
            baseline[(module.lower(), routine)] = platform
    return baseline


def imports_of(pe):
    """{module: [routine names]} as the image's import directory lists them."""
    result = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = [i.name.decode("ascii") if i.name else f"#{i.ordinal}" for i in entry.imports]
        result[entry.dll.decode("ascii")] = names
    return result


def check_imports(imports, baseline):
    """Every imported routine is in the baseline list and no newer than the baseline."""
    if not imports:
        fail("no import table")
    modules = sorted(d for d in imports if d.lower() not in ALLOWED_MODULES)
    if modules:
        fail(f"imports from {', '.join(modules)}; only ntoskrnl.exe and HAL.dll are allowed")
    unknown, newer = [], []
    for module, routines in sorted(imports.items()):
        for routine in routines:
            platform = baseline.get((module.lower(), routine))
            if platform is None:
                unknown.append(f"{routine} ({module})")
            elif platform != BASELINE:
                newer.append(f"{routine} ({module}) needs {platform}")
    if newer:
        fail(f"imports newer than {BASELINE}, so the image would not load there: "
             + "; ".join(newer))
    if unknown:
        fail("imports routines outside the baseline list (drivers/tavrinmdm/x86/imports): "
             + ", ".join(unknown))
    count = sum(len(r) for r in imports.values())
    ok(f"{count} imports, all exported by {BASELINE}: "
       + ", ".join(f"{d} ({len(r)})" for d, r in sorted(imports.items())))


def version_resource(pe):
    """The VERSIONINFO resource: its fixed part and its strings."""
    if not hasattr(pe, "VS_FIXEDFILEINFO") or not pe.VS_FIXEDFILEINFO:
        fail("no version resource")
    fixed = pe.VS_FIXEDFILEINFO[0]

    def numbers(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                for key, value in table.entries.items():
                    strings[key.decode("utf-8")] = value.decode("utf-8")
    return {
        "file": numbers(fixed.FileVersionMS, fixed.FileVersionLS),
        "product": numbers(fixed.ProductVersionMS, fixed.ProductVersionLS),
        "os": fixed.FileOS,
        "type": fixed.FileType,
        "strings": strings,
    }


# The images the tree ships, by file name, with the format of the banner each prints its version
# with at load.
BANNERS = {"tavrinmdm.sys": b"RIVEZUVE(%s)", "tavrinbus.sys": b"TAVRINBUS(%s)"}


def banner_version(pe, name="tavrinmdm.sys"):
    """The version string the load and unload banners print: the one NUL-terminated dotted
    version among the image's read-only strings, beside the banner's own format."""
    if pe.__data__.find(BANNERS[name]) < 0:
        fail("the banner's format is not in the image")
    found = set()
    for s in pe.sections:
        if section_name(s) in (".rdata", ".data"):
            raw = s.get_data()
            found.update(m.decode() for m in re.findall(rb"(?<=\0)(\d+\.\d+\.\d+(?:\.\d+)?)(?=\0)",
                                                          b"\0" + raw))
    if len(found) != 1:
        fail(f"expected one version string for the banner, found {sorted(found) or 'none'}")
    return found.pop()


def dotted(numbers):
    return ".".join(str(n) for n in numbers)


def check_version(pe, name="tavrinmdm.sys"):
    """The version resource says what the banner prints, for a kernel driver named `name`."""
    resource = version_resource(pe)
    banner = banner_version(pe, name)
    strings = resource["strings"]
    expected = tuple(int(p) for p in banner.split(".")) + (0,) * (4 - banner.count(".") - 1)
    for what, numbers in (("file", resource["file"]), ("product", resource["product"])):
        if numbers != expected:
            fail(f"{what} version {dotted(numbers)} in the version resource differs from the "
                 f"banner's {banner}")
    for key in ("FileVersion", "ProductVersion"):
        if strings.get(key) != banner:
            fail(f"{key} '{strings.get(key)}' in the version resource differs from the banner's "
                 f"{banner}")
    if strings.get("OriginalFilename") != name:
        fail(f"OriginalFilename '{strings.get('OriginalFilename')}', expected {name}")
    if resource["type"] != VFT_DRV:
        fail(f"file type {resource['type']}, expected a driver (VFT_DRV, 3)")
    if resource["os"] != VOS_NT_WINDOWS32:
        fail(f"file OS 0x{resource['os']:x}, expected NT Win32 (VOS_NT_WINDOWS32, 0x40004)")
    ok(f"version resource {banner} (file and product) equals the banner's; "
       f"{name}, driver, NT Win32")
    return banner


def codeview(pe):
    """(GUID, age, PDB file name) of the image's CodeView (RSDS) record, or None."""
    for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        if entry.struct.Type != 2:  # IMAGE_DEBUG_TYPE_CODEVIEW
            continue
        raw = pe.__data__[entry.struct.PointerToRawData:
                          entry.struct.PointerToRawData + entry.struct.SizeOfData]
        if raw[:4] != b"RSDS" or len(raw) < 25:
            fail("the CodeView record is not a PDB 7.0 (RSDS) record")
        (age,) = struct.unpack_from("<I", raw, 20)
        name = raw[24:].split(b"\0", 1)[0].decode("utf-8", "replace")
        return uuid.UUID(bytes_le=bytes(raw[4:20])), age, name
    return None


def check_pdb(pe, pdb_path):
    """The image's CodeView record names this PDB by file name, with its GUID and age."""
    record = codeview(pe)
    if record is None:
        fail("the image has no CodeView record in its debug directory")
    guid, age, name = record
    if name != os.path.basename(pdb_path):
        fail(f"the image names its PDB '{name}', expected '{os.path.basename(pdb_path)}' "
             "(a file name, so that a debugger finds it beside the image or on a symbol path)")
    pdb_guid, pdb_age = pdb.identity(pdb_path)
    if (pdb_guid, pdb_age) != (guid, age):
        fail(f"the image expects PDB {{{guid}}} age {age}, {pdb_path} is {{{pdb_guid}}} "
             f"age {pdb_age}")
    ok(f"debug directory names {name} {{{guid}}} age {age}, which the PDB matches")


def check_image(path, require_pdb=False, baseline_file=BASELINE_FILE):
    """Every check of the image; returns its version."""
    pe = load(path)
    check_shape(pe)
    check_imports(imports_of(pe), load_baseline(baseline_file))
    # An image of the tree by its own file name; any other name is checked as the port driver.
    name = os.path.basename(path)
    version = check_version(pe, name if name in BANNERS else "tavrinmdm.sys")
    record = codeview(pe)
    if record is None:
        if require_pdb:
            fail("no CodeView record: a debugger could not find the image's symbols")
        ok("no debug directory (an image built without a PDB)")
    else:
        check_pdb(pe, os.path.join(os.path.dirname(path), record[2]))
    return version
