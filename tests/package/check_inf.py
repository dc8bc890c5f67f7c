#!/usr/bin/python3
"""Checks varnoobex.inf for the mistakes a driver validation tool rejects before the
package ever reaches a Windows machine: a syntax error, a referenced section that is
missing, a model without its NTamd64 install or services section, a hardware ID for
another interface than 7, a function service that is missing, misnamed or not a
demand-start kernel driver, a service binary that is not the file the package copies,
a copied file without a source disk or destination directory, a missing or malformed
DriverVer, no catalog file, the wrong signature, class or class GUID for a COM port,
and an undefined string token.

With --package it also checks the assembled package folder: every copied file is
beside the INF, and DriverVer carries the version resource of varnoobex.sys.

Usage: check_inf.py [--package] INF
Prints "ok: ..." or "FAIL: file:line: ..." per check; exits 1 if any check failed.
"""

import datetime
import os
import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "image"))
import pe_image  # noqa: E402  (the image checker's PE reader, for the package's version)

PORTS_CLASS_GUID = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
DRIVER_FILE = "varnoobex.sys"
SERVICE_NAME = "varnoobex"
ARCHITECTURE = "ntamd64"
SPSVCINST_ASSOCSERVICE = 0x2
# What the service must be: a kernel driver, started on demand when the phone is
# attached, whose load failure is logged without stopping the boot.
SERVICE_SETTINGS = {"ServiceType": (1, "SERVICE_KERNEL_DRIVER"),
                    "StartType": (3, "SERVICE_DEMAND_START"),
                    "ErrorControl": (1, "SERVICE_ERROR_NORMAL")}
# The driver serves interface 7 of the phone; the IDs are four hex digits, or the
# xxxx placeholder that the installer replaces with the phone's own.
HARDWARE_ID = re.compile(r"^USB\\VID_([0-9A-F]{4}|xxxx)&PID_([0-9A-F]{4}|xxxx)&MI_07$", re.I)
# Install directives whose values name sections of this INF.
SECTION_DIRECTIVES = ("copyfiles", "addreg", "delreg", "bitreg", "renfiles", "delfiles",
                      "updateinis", "updateinifields", "ini2reg", "addproperty", "delproperty")


class Line:
    def __init__(self, number, key, values):
        self.number = number
        self.key = key          # None for a line without "="
        self.values = values    # fields split at commas, quotes removed, tokens still in


class Inf:
    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(path)
        self.sections = {}      # lower-case name -> (name as written, [Line])
        self.errors = []
        with open(path, encoding="utf-8-sig", errors="replace") as f:
            self._parse(f.read().splitlines())

    def fail(self, line, message):
        where = f"{self.name}:{line}" if line else self.name
        self.errors.append(f"{where}: {message}")

    def _parse(self, raw_lines):
        current = None
        pending, pending_number = "", 0
        for number, raw in enumerate(raw_lines, 1):
            text = _strip_comment(raw).rstrip()
            if not pending:
                pending_number = number
            if text.endswith("\\"):
                pending += text[:-1]
                continue
            text, pending = (pending + text).strip(), ""
            if not text:
                continue
            if text.startswith("["):
                if not text.endswith("]"):
                    self.fail(pending_number, f"section header {text!r} has no closing bracket")
                    continue
                name = text[1:-1].strip()
                current = self.sections.setdefault(name.lower(), (name, []))[1]
                continue
            if current is None:
                self.fail(pending_number, "line outside any section")
                continue
            key, values = _split_line(text)
            current.append(Line(pending_number, key, values))

    def section(self, name):
        entry = self.sections.get(name.lower())
        return entry[1] if entry else None

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, section, key):
        return [l for l in self.section(section) or [] if l.key and l.key.lower() == key.lower()]

    def value(self, section, key):
        found = self.entries(section, key)
        return (found[0].values[0] if found and found[0].values else None), (found[0].number if found else 0)

    def require(self, name, number, referrer):
        if self.has(name):
            return True
        self.fail(number, f"section [{name}] is referenced by {referrer} but missing")
        return False

    def expand(self, text, number):
        """Replaces %token% with its [Strings] value; %N% directory IDs stay as they are."""
        def substitute(match):
            token = match.group(1)
            if token == "" or token.isdigit():
                return match.group(0)
            value, _ = self.value("Strings", token)
            if value is None:
                self.fail(number, f"string token %{token}% is not defined in [Strings]")
                return match.group(0)
            return value
        return re.sub(r"%([^%]*)%", substitute, text)


def _strip_comment(text):
    quoted = False
    for i, c in enumerate(text):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return text[:i]
    return text


def _split_fields(text):
    fields, field, quoted = [], "", False
    for c in text:
        if c == '"':
            quoted = not quoted
        elif c == "," and not quoted:
            fields.append(field.strip())
            field = ""
            continue
        field += c
    fields.append(field.strip())
    return [f[1:-1] if len(f) >= 2 and f[0] == f[-1] == '"' else f for f in fields]


def _split_line(text):
    quoted = False
    for i, c in enumerate(text):
        if c == '"':
            quoted = not quoted
        elif c == "=" and not quoted:
            return text[:i].strip().strip('"'), _split_fields(text[i + 1:])
    return None, _split_fields(text)


def _number(text):
    try:
        return int(text, 0)
    except (TypeError, ValueError):
        return None


def check_version(inf):
    if not inf.require("Version", 0, "every INF"):
        return None
    signature, number = inf.value("Version", "Signature")
    if signature is None or signature.lower() not in ("$windows nt$", "$chicago$"):
        inf.fail(number, f'Signature is {signature!r}; Windows reads only "$WINDOWS NT$" INF files')

    cls, number = inf.value("Version", "Class")
    if cls is None or cls.lower() != "ports":
        inf.fail(number, f"Class is {cls!r}; a COM port installs in the Ports class")
    guid, number = inf.value("Version", "ClassGuid")
    if guid is None or guid.upper() != PORTS_CLASS_GUID:
        inf.fail(number, f"ClassGuid is {guid!r}, not the Ports class GUID {PORTS_CLASS_GUID}")

    catalogs = [l for l in inf.section("Version") if l.key and l.key.lower() in ("catalogfile", f"catalogfile.{ARCHITECTURE}")]
    if not any(l.values and l.values[0] for l in catalogs):
        inf.fail(0, "[Version] has no CatalogFile: the package cannot be signed")

    driver_ver, number = inf.value("Version", "DriverVer")
    if driver_ver is None:
        inf.fail(0, "[Version] has no DriverVer")
        return None
    fields = inf.entries("Version", "DriverVer")[0].values
    version = _driver_version(fields)
    if version is None:
        inf.fail(number, f"DriverVer {','.join(fields)!r} is not mm/dd/yyyy,w.x.y.z")
    return version


def _driver_version(fields):
    if len(fields) != 2:
        return None
    try:
        datetime.datetime.strptime(fields[0], "%m/%d/%Y")
    except ValueError:
        return None
    parts = fields[1].split(".")
    if len(parts) != 4 or not all(p.isdigit() and int(p) <= 0xFFFF for p in parts):
        return None
    return tuple(int(p) for p in parts)


def check_models(inf):
    """Returns the install sections (decorated names) that the x64 models use."""
    installs = []
    if not inf.require("Manufacturer", 0, "a device INF"):
        return installs
    for line in inf.section("Manufacturer"):
        models, decorations = line.values[0], [d.lower() for d in line.values[1:]]
        if not any(d.split(".")[0] == ARCHITECTURE for d in decorations):
            inf.fail(line.number, f"[Manufacturer] entry for [{models}] has no NTamd64 decoration: "
                                  "x64 Windows would find no models in it")
        for decoration in line.values[1:]:
            decorated = f"{models}.{decoration}"
            if not inf.require(decorated, line.number, "[Manufacturer]"):
                continue
            for model in inf.section(decorated):
                installs += check_model(inf, decorated, model)
    return installs


def check_model(inf, section, model):
    install, ids = model.values[0], [i for i in model.values[1:] if i]
    if not ids:
        inf.fail(model.number, f"model line in [{section}] names no hardware ID")
    for hardware_id in ids:
        if not HARDWARE_ID.match(hardware_id):
            inf.fail(model.number, f"hardware ID {hardware_id!r} is not USB\\VID_vvvv&PID_pppp&MI_07: "
                                   "the driver serves interface 7 of the phone")
    decorated = f"{install}.{ARCHITECTURE}"
    found = inf.sections.get(decorated.lower())
    if not found:
        inf.fail(model.number, f"model {ids[0] if ids else install!r} in [{section}] has no decorated "
                               f"install section [{install}.NTamd64]")
        return []
    decorated = found[0]
    if not inf.has(decorated + ".Services"):
        inf.fail(model.number, f"[{decorated}.Services] is missing: the device would have no function driver")
    return [decorated]


def check_install(inf, install):
    """Checks one decorated install section and returns the files it copies as
    {file name (lower case): destination directory ID}."""
    copied = {}
    for line in inf.section(install):
        key = (line.key or "").lower()
        if key not in SECTION_DIRECTIVES:
            continue
        for target in filter(None, line.values):
            if key == "copyfiles" and target.startswith("@"):
                copied[target[1:].lower()] = destination_dir(inf, None, line.number)
            elif inf.require(target, line.number, f"{line.key} in [{install}]") and key == "copyfiles":
                directory = destination_dir(inf, target, line.number)
                for entry in inf.section(target):
                    name = entry.values[0] if entry.key is None else entry.key
                    copied[name.lower()] = directory
    return copied


def destination_dir(inf, copy_section, number):
    for key in ([copy_section] if copy_section else []) + ["DefaultDestDir"]:
        value, _ = inf.value("DestinationDirs", key)
        if value:
            return value
    inf.fail(number, f"[DestinationDirs] gives no directory for [{copy_section or 'CopyFiles=@file'}] "
                     "and there is no DefaultDestDir")
    return None


def check_services(inf, install, copied):
    services = f"{install}.Services"
    if not inf.has(services):
        return
    associated = []
    for line in inf.entries(services, "AddService"):
        fields = line.values + [""] * (3 - len(line.values))
        flags = _number(fields[1] or "0")
        if flags is not None and flags & SPSVCINST_ASSOCSERVICE:
            associated.append(line)
        if fields[2]:
            inf.require(fields[2], line.number, f"AddService in [{services}]")
        if len(fields) > 3 and fields[3]:
            inf.require(fields[3], line.number, f"AddService in [{services}]")
    if len(associated) != 1:
        inf.fail(0, f"[{services}] has {len(associated)} AddService entries with flag 0x2; "
                    "exactly one service must be the device's function driver")
        return
    line = associated[0]
    name, section = line.values[0], line.values[2] if len(line.values) > 2 else ""
    if name.lower() != SERVICE_NAME:
        inf.fail(line.number, f"the function driver's service is {name!r}, not {SERVICE_NAME!r}")
    if not inf.has(section):
        return
    for key, (expected, meaning) in SERVICE_SETTINGS.items():
        value, number = inf.value(section, key)
        if _number(value) != expected:
            inf.fail(number, f"[{section}] {key} is {value!r}, not {expected} ({meaning})")
    binary, number = inf.value(section, "ServiceBinary")
    match = re.fullmatch(r"%(\d+)%\\([^\\]+)", binary or "")
    if not match:
        inf.fail(number, f"[{section}] ServiceBinary {binary!r} is not %dirid%\\file")
        return
    directory, file_name = match.group(1), match.group(2).lower()
    if file_name in copied and copied[file_name] is None:
        return  # its copy has no destination, which destination_dir already reported
    copies = ", ".join(f"{f} to %{d}%" for f, d in sorted(copied.items())) or "nothing"
    if copied.get(file_name) != directory:
        inf.fail(number, f"ServiceBinary {binary} is not a file that [{install}] copies (it copies {copies})")


def source_sections(inf, base):
    return [s for s in (f"{base}.amd64", base) if inf.has(s)]


def check_sources(inf, copied):
    file_sections, disk_sections = source_sections(inf, "SourceDisksFiles"), source_sections(inf, "SourceDisksNames")
    disks = {(l.key or "").lower() for s in disk_sections for l in inf.section(s)}
    for file_name in sorted(copied):
        entries = [l for s in file_sections for l in inf.entries(s, file_name)]
        if not entries:
            inf.fail(0, f"{file_name} is copied but not listed in [SourceDisksFiles]")
            continue
        disk = entries[0].values[0] if entries[0].values else ""
        if disk.lower() not in disks:
            inf.fail(entries[0].number, f"{file_name} is on disk {disk!r}, which [SourceDisksNames] does not list")
    if DRIVER_FILE not in copied:
        inf.fail(0, f"no install section copies {DRIVER_FILE}")


def check_strings(inf):
    # Every %token% anywhere must resolve; expanding each line reports those that do not.
    for name, lines in inf.sections.values():
        if name.lower() == "strings":
            continue
        for line in lines:
            for text in [line.key or ""] + line.values:
                inf.expand(text, line.number)


def check_package(inf, version, copied):
    folder = os.path.dirname(os.path.abspath(inf.path))
    for file_name in sorted(copied):
        if not os.path.isfile(os.path.join(folder, file_name)):
            inf.fail(0, f"{file_name} is not in the package folder {folder}")
            return
    try:
        image = pe_image.PeImage(os.path.join(folder, DRIVER_FILE))
        block = image.version_resource()
        if block is None:
            inf.fail(0, f"{DRIVER_FILE} has no version resource to compare with DriverVer")
            return
        file_version = pe_image.VersionInfo(block).file_version
    except pe_image.PeError as error:
        inf.fail(0, f"{DRIVER_FILE}: {error}")
        return
    if version is not None and version != file_version:
        inf.fail(0, f"DriverVer version {'.'.join(map(str, version))} differs from {DRIVER_FILE}'s "
                    f"file version {'.'.join(map(str, file_version))}")


def check(path, package):
    inf = Inf(path)
    version = check_version(inf)
    copied = {}
    installs = check_models(inf)
    for install in dict.fromkeys(installs):
        files = check_install(inf, install)
        check_services(inf, install, files)
        copied.update(files)
    if installs:
        check_sources(inf, copied)
    check_strings(inf)
    if package:
        check_package(inf, version, copied)
    return inf


def main(argv):
    args = argv[1:]
    package = "--package" in args
    args = [a for a in args if a != "--package"]
    if len(args) != 1:
        print("usage: check_inf.py [--package] INF", file=sys.stderr)
        return 2
    if not os.path.isfile(args[0]):
        print(f"FAIL: no INF at {args[0]}")
        return 1
    inf = check(args[0], package)
    for error in dict.fromkeys(inf.errors):
        print(f"FAIL: {error}")
    if inf.errors:
        print(f"{len(set(inf.errors))} INF check(s) failed for {args[0]}")
        return 1
    print(f"ok: {inf.name}: sections, models, install, service, files, strings"
          + (" and the package folder" if package else "") + " check out")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
