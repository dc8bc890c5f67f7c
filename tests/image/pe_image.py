"""Reads what the Windows loader and a driver validation tool look at in a PE32+ image:
the header checksum (and the sum computed over the file), the section table, the
import directory and the version resource. Also reads the symbol index of a GNU ar
archive, which is how the mingw import libraries list the routines a DLL exports.

Every malformed structure raises PeError with what was wrong and where; nothing here
guesses past a bad offset.
"""

import struct

IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


class PeError(Exception):
    pass


def _unpack(fmt, data, offset, what):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise PeError(f"{what} at offset {offset:#x} runs past the end of the data ({len(data)} bytes)")
    return struct.unpack_from(fmt, data, offset)


def pe_checksum(data, checksum_offset):
    """The image checksum as the loader computes it: the file's little-endian 16-bit
    words, with the checksum field itself counted as zero, summed with end-around
    carry into 16 bits, plus the file length."""
    words = bytearray(data)
    words[checksum_offset:checksum_offset + 4] = bytes(4)
    if len(words) % 2:
        words.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


class Section:
    def __init__(self, name, virtual_size, virtual_address, raw_size, raw_offset, characteristics):
        self.name = name
        self.virtual_size = virtual_size
        self.virtual_address = virtual_address
        self.raw_size = raw_size
        self.raw_offset = raw_offset
        self.characteristics = characteristics

    @property
    def writable(self):
        return bool(self.characteristics & IMAGE_SCN_MEM_WRITE)

    @property
    def executable(self):
        return bool(self.characteristics & IMAGE_SCN_MEM_EXECUTE)


class PeImage:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        self.file_length = len(self.data)
        data = self.data
        if data[:2] != b"MZ":
            raise PeError("no MZ signature: not a PE image")
        (pe_offset,) = _unpack("<I", data, 0x3C, "e_lfanew")
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PeError(f"no PE signature at {pe_offset:#x}")
        coff = pe_offset + 4
        self.machine, section_count, _, _, _, optional_size, _ = _unpack("<HHIIIHH", data, coff, "COFF header")
        optional = coff + 20
        (self.magic,) = _unpack("<H", data, optional, "optional header")
        if self.magic != 0x20B:
            raise PeError(f"optional header magic {self.magic:#x} is not PE32+ (0x20b)")
        self.checksum_offset = optional + 64
        (self.header_checksum,) = _unpack("<I", data, self.checksum_offset, "CheckSum")
        (directory_count,) = _unpack("<I", data, optional + 108, "NumberOfRvaAndSizes")
        self.directories = [
            _unpack("<II", data, optional + 112 + 8 * i, f"data directory {i}") for i in range(directory_count)
        ]
        self.sections = []
        table = optional + optional_size
        for i in range(section_count):
            raw_name, vsize, vaddr, rsize, roff, _, _, _, _, characteristics = _unpack(
                "<8sIIIIIIHHI", data, table + 40 * i, f"section header {i}")
            name = raw_name.rstrip(b"\0").decode("ascii", "replace")
            self.sections.append(Section(name, vsize, vaddr, rsize, roff, characteristics))

    def computed_checksum(self):
        return pe_checksum(self.data, self.checksum_offset)

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset_of(self, rva, what):
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                delta = rva - s.virtual_address
                if delta >= s.raw_size:
                    raise PeError(f"{what} (RVA {rva:#x}) lies in the uninitialised part of {s.name}")
                return s.raw_offset + delta
        raise PeError(f"{what} (RVA {rva:#x}) is in no section")

    def c_string(self, rva, what):
        start = self.offset_of(rva, what)
        end = self.data.find(b"\0", start)
        if end < 0:
            raise PeError(f"{what} at RVA {rva:#x} is not terminated")
        return self.data[start:end].decode("ascii", "replace")

    def imports(self):
        """[(dll, routine name or '#ordinal')] in the order of the import directory."""
        rva, size = self.directory(1)
        if rva == 0 or size == 0:
            return []
        result = []
        descriptor = self.offset_of(rva, "import directory")
        while True:
            lookup, _, _, name_rva, thunks = _unpack("<IIIII", self.data, descriptor, "import descriptor")
            if name_rva == 0 and thunks == 0:
                return result
            dll = self.c_string(name_rva, "imported DLL name")
            entry = self.offset_of(lookup or thunks, f"lookup table of {dll}")
            while True:
                (value,) = _unpack("<Q", self.data, entry, f"lookup entry of {dll}")
                if value == 0:
                    break
                if value & (1 << 63):
                    result.append((dll, f"#{value & 0xFFFF}"))
                else:
                    # IMAGE_IMPORT_BY_NAME: a 16-bit hint, then the name.
                    result.append((dll, self.c_string((value & 0x7FFFFFFF) + 2, f"imported name from {dll}")))
                entry += 8
            descriptor += 20

    def _resource_entries(self, base, directory_offset):
        named, numbered = _unpack("<HH", self.data, directory_offset + 12, "resource directory")
        entries = []
        for i in range(named + numbered):
            ident, target = _unpack("<II", self.data, directory_offset + 16 + 8 * i, "resource directory entry")
            entries.append((ident, bool(target & 0x80000000), base + (target & 0x7FFFFFFF)))
        return entries

    def version_resource(self):
        """The raw VS_VERSIONINFO block of the first RT_VERSION resource, or None."""
        rva, size = self.directory(2)
        if rva == 0 or size == 0:
            return None
        base = self.offset_of(rva, "resource directory")
        for ident, is_directory, target in self._resource_entries(base, base):
            if ident != RT_VERSION:
                continue
            # Type, then name, then language: take the first of each below RT_VERSION.
            node, node_is_directory = target, is_directory
            while node_is_directory:
                entries = self._resource_entries(base, node)
                if not entries:
                    raise PeError("the version resource directory is empty")
                _, node_is_directory, node = entries[0]
            data_rva, data_size, _, _ = _unpack("<IIII", self.data, node, "version resource data entry")
            start = self.offset_of(data_rva, "version resource data")
            return self.data[start:start + data_size]
        return None


def _read_utf16z(block, offset, end):
    text = []
    while offset + 2 <= end:
        (unit,) = struct.unpack_from("<H", block, offset)
        offset += 2
        if unit == 0:
            return "".join(text), offset
        text.append(chr(unit))
    raise PeError("unterminated UTF-16 key in the version resource")


def _align4(offset):
    return (offset + 3) & ~3


def parse_version_block(block, offset=0):
    """One node of the VS_VERSIONINFO tree: (key, value bytes, text flag, children, length)."""
    length, value_length, value_type = _unpack("<HHH", block, offset, "version resource node")
    if length < 6 or offset + length > len(block):
        raise PeError(f"version resource node at {offset:#x} claims {length} bytes")
    end = offset + length
    key, cursor = _read_utf16z(block, offset + 6, end)
    cursor = _align4(cursor)
    # A text value's length counts UTF-16 units, a binary value's counts bytes.
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = block[cursor:cursor + value_bytes]
    cursor = _align4(cursor + value_bytes)
    children = []
    while cursor < end:
        child = parse_version_block(block, cursor)
        children.append(child)
        cursor = _align4(cursor + child[4])
    return key, value, value_type == 1, children, length


class VersionInfo:
    def __init__(self, block):
        key, value, _, children, _ = parse_version_block(block)
        if key != "VS_VERSION_INFO":
            raise PeError(f"the version resource's root key is {key!r}, not VS_VERSION_INFO")
        if len(value) < 52:
            raise PeError("the version resource has no VS_FIXEDFILEINFO")
        fields = struct.unpack_from("<13I", value)
        if fields[0] != VS_FIXEDFILEINFO_SIGNATURE:
            raise PeError(f"VS_FIXEDFILEINFO signature {fields[0]:#x} is not {VS_FIXEDFILEINFO_SIGNATURE:#x}")
        self.file_version = (fields[2] >> 16, fields[2] & 0xFFFF, fields[3] >> 16, fields[3] & 0xFFFF)
        self.product_version = (fields[4] >> 16, fields[4] & 0xFFFF, fields[5] >> 16, fields[5] & 0xFFFF)
        self.file_os, self.file_type, self.file_subtype = fields[8], fields[9], fields[10]
        self.strings = {}
        for child_key, _, _, tables, _ in children:
            if child_key != "StringFileInfo":
                continue
            for _, _, _, entries, _ in tables:
                for name, text, is_text, _, _ in entries:
                    decoded = text.decode("utf-16-le") if is_text else ""
                    self.strings.setdefault(name, decoded.rstrip("\0"))


def archive_symbols(path):
    """The symbol names in the index of a GNU ar archive (the '/' or '/SYM64/' member)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"!<arch>\n":
        raise PeError(f"{path} is not an ar archive")
    name = data[8:24].rstrip()
    size = int(data[56:66])
    body = data[68:68 + size]
    if name == b"/":
        width, fmt = 4, ">I"
    elif name == b"/SYM64/":
        width, fmt = 8, ">Q"
    else:
        raise PeError(f"{path} has no symbol index")
    (count,) = struct.unpack_from(fmt, body, 0)
    names = body[width + width * count:].split(b"\0")[:count]
    return {n.decode("ascii", "replace") for n in names}


def importable_names(path):
    """The routines an import library lets an image import: every __imp_NAME it defines."""
    return {s[len("__imp_"):] for s in archive_symbols(path) if s.startswith("__imp_")}
