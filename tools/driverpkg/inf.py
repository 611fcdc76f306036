"""The INF that installs the driver: a small parser of the INF syntax and the checks that tie the
INF to the image it installs and to the hardware the simulated parent bus reports."""

import datetime
import os
import re

from . import ROOT, fail, ok
from . import pe as image

PORTS_CLASS_GUID = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
USB_CLASS_GUID = "{36FC9E60-C465-11CF-8056-444553540000}"
# What each image's INF must be: its setup class, the hardware ID it installs on (from the
# modem's vendor and product id), and the enumerators it must never bind. The port driver stands
# only on the PDO its parent (tavrinbus) enumerates: bound to the USB device itself it would read
# the hub driver's memory as pipe handles.
PROFILES = {
    "tavrinmdm.sys": ("Ports", PORTS_CLASS_GUID, "TAVRIN\\VID_{v:04X}&PID_{p:04X}&MODEM",
                      ("USB\\",)),
    "tavrinbus.sys": ("USB", USB_CLASS_GUID, "USB\\VID_{v:04X}&PID_{p:04X}", ()),
}
MODEM_IDS_HEADER = os.path.join(ROOT, "sim", "include", "sim", "modem_ids.h")
DRIVERS_DIRID = "12"
# Directives of an install section whose values name other sections.
SECTION_LISTS = ("copyfiles", "addreg", "delreg", "delfiles", "renfiles", "include", "needs",
                 "bitreg", "updateinis", "updateinifields", "ini2reg")


class Inf:
    """Sections in file order; each a list of (key or None, [fields], line number). Section and
    key names compare case-insensitively, as the setup API reads them."""

    def __init__(self, text, name="INF"):
        self.name = name
        self.sections = {}
        self.display = {}
        current = None
        pending = ""
        for number, raw in enumerate(text.splitlines(), 1):
            line = pending + strip_comment(raw)
            pending = ""
            if line.rstrip().endswith("\\"):
                pending = line.rstrip()[:-1]
                continue
            line = line.strip()
            if not line:
                continue
            if line.startswith("["):
                if not line.endswith("]"):
                    fail(f"{name}:{number}: section header without ']'")
                current = line[1:-1].strip()
                self.display.setdefault(current.lower(), current)
                self.sections.setdefault(current.lower(), [])
                continue
            if current is None:
                fail(f"{name}:{number}: a line outside any section")
            key, value = None, line
            if "=" in line and not line.startswith('"'):
                key, value = (p.strip() for p in line.split("=", 1))
            self.sections[current.lower()].append((key, split_fields(value), number))

    def has(self, section):
        return section.lower() in self.sections

    def entries(self, section):
        if not self.has(section):
            fail(f"{self.name}: section [{section}] is missing")
        return self.sections[section.lower()]

    def value(self, section, key):
        """Fields of the first `key = ...` of `section`, or None."""
        for k, fields, _ in self.entries(section):
            if k is not None and k.lower() == key.lower():
                return fields
        return None

    def strings(self):
        return {k.lower(): unquote(f[0]) if f else ""
                for k, f, _ in self.sections.get("strings", []) if k is not None}


def strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def split_fields(value):
    fields, current, quoted = [], "", False
    for c in value:
        if c == '"':
            quoted = not quoted
            current += c
        elif c == "," and not quoted:
            fields.append(current.strip())
            current = ""
        else:
            current += c
    fields.append(current.strip())
    return fields


def unquote(text):
    return text[1:-1] if len(text) >= 2 and text[0] == text[-1] == '"' else text


def modem_hardware_id(header=MODEM_IDS_HEADER, image_name="tavrinmdm.sys"):
    """The hardware ID the image installs on (TAVRIN\\VID_xxxx&PID_yyyy&MODEM for the port driver,
    USB\\VID_xxxx&PID_yyyy for the bus driver), from the simulation's own definition of the
    modem's identity."""
    with open(header, encoding="utf-8") as f:
        text = f.read()
    values = {}
    for name in ("kModemVendorId", "kModemProductId"):
        m = re.search(rf"\b{name}\s*=\s*(0x[0-9A-Fa-f]+|\d+)\s*;", text)
        if not m:
            fail(f"{header}: no definition of {name}")
        values[name] = int(m.group(1), 0)
    pattern = PROFILES.get(image_name, PROFILES["tavrinmdm.sys"])[2]
    return pattern.format(v=values["kModemVendorId"], p=values["kModemProductId"])


def install_section(inf, name):
    """The install section a models entry names, as Windows 2000 and XP pick it: name.NTx86,
    then name.NT, then name."""
    for candidate in (name + ".NTx86", name + ".NT", name):
        if inf.has(candidate):
            return candidate
    fail(f"{inf.name}: install section [{name}] (or .NT, .NTx86) is missing")


def check_strings(inf):
    """Every %token% outside [Strings] is defined there (numeric directory IDs excepted)."""
    defined = inf.strings()
    undefined = []
    for section, entries in inf.sections.items():
        if section == "strings":
            continue
        for key, fields, number in entries:
            for text in ([key] if key else []) + fields:
                for token in re.findall(r"%([^%]*)%", text):
                    if token and not token.isdigit() and token.lower() not in defined:
                        undefined.append(f"%{token}% (line {number})")
    if undefined:
        fail(f"{inf.name}: strings used but not defined in [Strings]: {', '.join(undefined)}")
    ok(f"every string used is defined ({len(defined)} in [Strings])")


def parse_driver_ver(inf):
    fields = inf.value("Version", "DriverVer")
    if not fields or len(fields) != 2:
        fail(f"{inf.name}: DriverVer must be 'mm/dd/yyyy,w.x.y.z'")
    try:
        date = datetime.datetime.strptime(fields[0], "%m/%d/%Y").date()
    except ValueError:
        fail(f"{inf.name}: DriverVer date '{fields[0]}' is not mm/dd/yyyy")
    if not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", fields[1]):
        fail(f"{inf.name}: DriverVer version '{fields[1]}' is not w.x.y.z")
    return date, fields[1]


def image_date(pe):
    return datetime.datetime.fromtimestamp(pe.FILE_HEADER.TimeDateStamp,
                                           datetime.timezone.utc).date()


def check(inf, pe, image_name, hardware_id):
    """The INF installs exactly this image on its device (the port driver on the modem's PDO of
    the Ports class, the bus driver on the USB device of the USB class), as a demand-start kernel
    service, and says the image's version and date."""
    class_name, class_guid, _, forbidden = PROFILES.get(image_name, PROFILES["tavrinmdm.sys"])
    version = inf.entries("Version")
    signature = inf.value("Version", "Signature")
    if not signature or unquote(signature[0]).lower() not in ("$windows nt$", "$chicago$"):
        fail(f"{inf.name}: Signature must be \"$Windows NT$\"")
    klass = inf.value("Version", "Class")
    guid = inf.value("Version", "ClassGuid")
    if (not klass or klass[0].lower() != class_name.lower() or not guid or
            guid[0].upper() != class_guid):
        fail(f"{inf.name}: Class must be {class_name}, ClassGuid {class_guid}")
    if not inf.value("Version", "Provider"):
        fail(f"{inf.name}: [Version] has no Provider")
    ok(f"[Version]: {len(version)} entries, class {class_name} {class_guid}")
    check_strings(inf)

    # Manufacturer -> models -> install section, matching the modem's hardware ID.
    matched = []
    for _, fields, _ in inf.entries("Manufacturer"):
        models = fields[0]
        for _, entry, number in inf.entries(models):
            if len(entry) < 2:
                fail(f"{inf.name}:{number}: a models entry needs an install section and an ID")
            ids = [i.upper() for i in entry[1:]]
            for i in ids:
                if any(i.startswith(prefix) for prefix in forbidden):
                    fail(f"{inf.name}:{number}: {i} binds the raw USB device; {image_name} "
                         "installs only on the PDO the modem's parent bus driver enumerates")
            if hardware_id.upper() in ids:
                matched.append(entry[0])
    if not matched:
        fail(f"{inf.name}: no models entry installs on {hardware_id}, the hardware ID the "
             "parent bus reports for the modem")
    install = install_section(inf, matched[0])
    ok(f"{hardware_id} installs through [{install}]")
    if class_name == "Ports":
        check_ports_addreg(inf, install)

    # Every section the install section names exists; the files it copies are the image.
    copied = []
    for key, fields, number in inf.entries(install):
        if key is None or key.lower() not in SECTION_LISTS:
            continue
        for name in fields:
            if name.startswith("@"):
                copied.append(name[1:])
            elif name:
                entries = inf.entries(name)
                if key.lower() == "copyfiles":
                    copied.extend(f[0] for k, f, _ in entries if k is None)
                    destination = (inf.value("DestinationDirs", name)
                                   or inf.value("DestinationDirs", "DefaultDestDir"))
                    if not destination or destination[0] != DRIVERS_DIRID:
                        fail(f"{inf.name}: [{name}] is not copied to the drivers directory "
                             f"(DestinationDirs {DRIVERS_DIRID})")
    if copied != [image_name]:
        fail(f"{inf.name}: copies {copied or 'nothing'}, expected the image {image_name}")
    disks = {k for k, _, _ in inf.entries("SourceDisksNames") if k}
    source = inf.value("SourceDisksFiles", image_name)
    if not source or source[0] not in disks:
        fail(f"{inf.name}: [SourceDisksFiles] does not place {image_name} on a disk of "
             "[SourceDisksNames]")
    ok(f"copies {image_name} to the drivers directory from disk {source[0]}")

    # The service.
    service_name = os.path.splitext(image_name)[0]
    services = inf.entries(install + ".Services")
    adds = [f for k, f, _ in services if k and k.lower() == "addservice"]
    if len(adds) != 1 or len(adds[0]) < 3:
        fail(f"{inf.name}: [{install}.Services] needs one 'AddService = name, flags, section'")
    name, flags, section = adds[0][:3]
    if name != service_name:
        fail(f"{inf.name}: service '{name}' differs from the image's name '{service_name}'")
    if not int(flags, 0) & 0x2:
        fail(f"{inf.name}: AddService flags {flags} do not make {name} the function driver "
             "(SPSVCINST_ASSOCSERVICE, 0x2)")
    expected = {"ServiceType": "1", "StartType": "3", "ErrorControl": "1"}
    for key, want in expected.items():
        got = inf.value(section, key)
        if not got or got[0] != want:
            fail(f"{inf.name}: [{section}] {key} is {got[0] if got else 'missing'}, expected "
                 f"{want} (kernel driver, demand start, normal error control)")
    binary = inf.value(section, "ServiceBinary")
    if not binary or binary[0].lower() != f"%{DRIVERS_DIRID}%\\{image_name}".lower():
        fail(f"{inf.name}: ServiceBinary {binary[0] if binary else 'missing'}, expected "
             f"%{DRIVERS_DIRID}%\\{image_name}")
    ok(f"service {name}: kernel driver, demand start, normal error control, "
       f"%{DRIVERS_DIRID}%\\{image_name}")

    # DriverVer: the image's version resource and date.
    date, ver = parse_driver_ver(inf)
    resource = image.dotted(image.version_resource(pe)["file"])
    if ver != resource:
        fail(f"{inf.name}: DriverVer version {ver} differs from the image's {resource}")
    if date != image_date(pe):
        fail(f"{inf.name}: DriverVer date {date:%m/%d/%Y} differs from the image's "
             f"{image_date(pe):%m/%d/%Y}")
    ok(f"DriverVer {date:%m/%d/%Y},{ver} is the image's date and version")


def check_ports_addreg(inf, install):
    """A Ports-class install writes, into the driver key, the port settings page provider
    (EnumPropPages32 = MsPorts.dll,SerialPortPropPageProvider) and PortSubClass 01 (a serial
    port), as the system's own serial port INF does."""
    found = {}
    for key, fields, _ in inf.entries(install):
        if key is None or key.lower() != "addreg":
            continue
        for section in fields:
            for _, entry, _ in inf.entries(section):
                if len(entry) >= 3 and entry[0].upper() == "HKR":
                    found[entry[2].lower()] = [unquote(f) for f in entry[3:]]
    pages = found.get("enumproppages32")
    if not pages or pages[-1].lower() != "msports.dll,serialportproppageprovider":
        fail(f"{inf.name}: [{install}] writes no EnumPropPages32 = "
             "\"MsPorts.dll,SerialPortPropPageProvider\" (the port settings page)")
    subclass = found.get("portsubclass")
    if not subclass or subclass[0] != "1" or subclass[-1].lower().lstrip("0") != "1":
        fail(f"{inf.name}: [{install}] writes no PortSubClass (binary 01: a serial port)")
    ok("EnumPropPages32 and PortSubClass written to the driver key")


def check_file(inf_path, image_path, modem_ids=MODEM_IDS_HEADER):
    """Every check of the INF at inf_path against the image at image_path."""
    with open(inf_path, encoding="utf-8") as f:
        inf = Inf(f.read(), os.path.basename(inf_path))
    name = os.path.basename(image_path)
    check(inf, image.load(image_path), name, modem_hardware_id(modem_ids, name))
