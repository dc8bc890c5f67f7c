#!/usr/bin/python3
"""The image checks that need the PE structures themselves, read here without objdump:

- the header checksum equals the checksum of the file (the loader refuses a driver
  whose checksum does not match);
- no section is both writable and executable;
- the version resource (VS_VERSION_INFO) carries the version the load banner prints:
  "Ver m.n" in the image's strings is file and product version m.n.0.0;
- every imported routine is one that its DLL exports, as the mingw import library of
  that DLL lists them.

Usage: check_pe.py IMAGE LIBDIR
Prints "ok: ..." or "FAIL: ..." per check; exits 1 if any check failed.
"""

import os
import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import pe_image  # noqa: E402

# The DLLs a driver may import from, and the import library that lists each one's exports.
IMPORT_LIBRARIES = {"ntoskrnl.exe": "libntoskrnl.a", "hal.dll": "libhal.a", "usbd.sys": "libusbd.a"}
# The banner's version string as the driver stores it: "Ver " major "." minor, NUL-ended,
# not the tail of a longer string.
BANNER_VERSION = re.compile(rb"(?<![\x20-\x7e])Ver (\d+)\.(\d+)\0")


def dotted(version):
    return ".".join(str(part) for part in version)


def check_checksum(image, ok, fail):
    computed = image.computed_checksum()
    if image.header_checksum != computed:
        fail(f"PE checksum in the header is {image.header_checksum:#010x}, the file sums to {computed:#010x}")
    else:
        ok(f"PE checksum {computed:#010x} matches the file")


def check_sections(image, ok, fail):
    bad = [s.name for s in image.sections if s.writable and s.executable]
    for name in bad:
        fail(f"section {name} is both writable and executable")
    if not bad:
        ok(f"no writable and executable section among {len(image.sections)}")


def check_version(image, ok, fail):
    banners = {(int(m.group(1)), int(m.group(2))) for m in BANNER_VERSION.finditer(image.data)}
    if len(banners) != 1:
        found = ", ".join(f"Ver {a}.{b}" for a, b in sorted(banners)) or "none"
        fail(f"expected one banner version string \"Ver m.n\" in the image, found {found}")
        return
    major, minor = banners.pop()
    expected = (major, minor, 0, 0)
    block = image.version_resource()
    if block is None:
        fail("no version resource (VS_VERSION_INFO) in the image")
        return
    info = pe_image.VersionInfo(block)
    fields = {"FILEVERSION": dotted(info.file_version), "PRODUCTVERSION": dotted(info.product_version),
              "FileVersion": info.strings.get("FileVersion"), "ProductVersion": info.strings.get("ProductVersion")}
    wrong = {k: v for k, v in fields.items() if v != dotted(expected)}
    if wrong:
        listed = ", ".join(f"{k} {v!r}" for k, v in wrong.items())
        fail(f"the version resource does not carry the banner's Ver {major}.{minor} ({dotted(expected)}): {listed}")
    else:
        ok(f"version resource {dotted(expected)} matches the banner's Ver {major}.{minor}")


def check_imports(image, libdir, ok, fail):
    exported = {}
    imports = image.imports()
    foreign = 0
    for dll, name in imports:
        library = IMPORT_LIBRARIES.get(dll.lower())
        if library is None:
            continue  # a DLL outside the three is reported by check_image.sh
        if library not in exported:
            exported[library] = pe_image.importable_names(os.path.join(libdir, library))
        if name.startswith("#"):
            fail(f"{dll}!{name}: imported by ordinal, which no kernel DLL guarantees")
            foreign += 1
        elif name not in exported[library]:
            fail(f"{dll}!{name} is not a routine {dll} exports (not in {library})")
            foreign += 1
    if imports and not foreign:
        ok(f"all {len(imports)} imported routines are exported by their DLLs")


def main(argv):
    if len(argv) != 3:
        print("usage: check_pe.py IMAGE LIBDIR", file=sys.stderr)
        return 2
    failures = []

    def ok(message):
        print(f"ok: {message}")

    def fail(message):
        print(f"FAIL: {message}")
        failures.append(message)

    try:
        image = pe_image.PeImage(argv[1])
        for check in (check_checksum, check_sections, check_version):
            check(image, ok, fail)
        check_imports(image, argv[2], ok, fail)
    except (OSError, pe_image.PeError) as error:
        fail(f"cannot read {argv[1]}: {error}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
