#!/usr/bin/env python3
"""Reads the papers of a Windows program file: its application manifest, its
version resource and its icon, straight from the PE resource section.

    pe_resources.py check PROGRAM.exe VERSION   exit 1 and name each fault
    pe_resources.py show PROGRAM.exe            print what the file carries

`check` wants exactly one manifest, well-formed XML, asking for Common
Controls 6, per-monitor DPI awareness (version 2, the older per-monitor value
as fallback, and the pre-Windows-10 "true/pm"), the supported systems from
Vista to 10/11 and asInvoker; a version resource whose fixed and string
versions are VERSION; and one icon with 16, 32, 48 and 256 pixel images. A
manifest fault shows on Windows only when the program is started, so the
build runs this on every link.
"""
import struct
import sys
import xml.etree.ElementTree as ET

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
WS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
WS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
VERSION_STRINGS = ("FileDescription", "ProductName", "FileVersion", "ProductVersion")


class Resources:
    """The resource tree of a PE file: {type: {name: {language: bytes}}}."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("%s: not a program file" % path)
        (pe,) = struct.unpack_from("<I", d, 0x3C)
        if d[pe : pe + 4] != b"PE\0\0":
            raise ValueError("%s: no PE header" % path)
        sections, optional_size = struct.unpack_from("<H12xH", d, pe + 6)
        optional = pe + 24
        (magic,) = struct.unpack_from("<H", d, optional)
        directories = optional + (112 if magic == 0x20B else 96)
        self.root, _ = struct.unpack_from("<II", d, directories + 2 * 8)
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<IIII", d, table + 40 * i + 8)
            self.sections.append((address, max(size, raw_size), raw))
        self.tree = self._directory(self.root, 0) if self.root else {}

    def _offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError("address 0x%x lies in no section" % rva)

    def _directory(self, rva, depth):
        d = self.data
        at = self._offset(rva)
        named, numbered = struct.unpack_from("<12xHH", d, at)
        result = {}
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", d, at + 16 + 8 * i)
            if name & 0x80000000:
                where = self._offset(self.root + (name & 0x7FFFFFFF))
                (length,) = struct.unpack_from("<H", d, where)
                name = d[where + 2 : where + 2 + 2 * length].decode("utf-16-le")
            if target & 0x80000000:
                result[name] = self._directory(self.root + (target & 0x7FFFFFFF), depth + 1)
            else:
                data_rva, size = struct.unpack_from("<II", d, self._offset(self.root + target))
                start = self._offset(data_rva)
                result[name] = d[start : start + size]
        return result

    def items(self, kind):
        """(name, language, bytes) of every resource of one type."""
        for name, languages in self.tree.get(kind, {}).items():
            for language, body in languages.items():
                yield name, language, body


def version_node(block, at=0):
    """One node of a version resource: (key, value bytes, text?, children)."""
    length, value_length, text = struct.unpack_from("<HHH", block, at)
    end = at + length
    key_end = at + 6
    while block[key_end : key_end + 2] != b"\0\0":
        key_end += 2
    key = block[at + 6 : key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if text else value_length
    value = block[pos : pos + value_size]
    pos = (pos + value_size + 3) & ~3
    children = []
    while pos < end:
        child = version_node(block, pos)
        children.append(child[:4])
        pos = (pos + child[4] + 3) & ~3
    return key, value, text, children, length


def read_version(block):
    """The fixed versions and the strings of a version resource."""
    key, value, _, children, _ = version_node(block)
    if key != "VS_VERSION_INFO" or len(value) < 52:
        raise ValueError("no VS_VERSION_INFO block")
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", value)
    if signature != 0xFEEF04BD:
        raise ValueError("VS_FIXEDFILEINFO without its signature")

    def quad(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings = {}
    for child_key, _, _, tables in children:
        if child_key == "StringFileInfo":
            for _, _, _, entries in tables:
                for name, text, _, _ in entries:
                    strings[name] = text.decode("utf-16-le").rstrip("\0")
    return quad(file_ms, file_ls), quad(product_ms, product_ls), strings


def icon_sizes(res, group):
    """The pixel sizes of one icon group, checking that every image is there."""
    _, _, count = struct.unpack_from("<HHH", group)
    icons = {name: body for name, _, body in res.items(RT_ICON)}
    sizes = []
    for i in range(count):
        width, height, _, _, _, bits, size, ident = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        width, height = width or 256, height or 256
        image = icons.get(ident)
        if image is None or len(image) != size:
            raise ValueError("icon image %d is missing or of the wrong length" % ident)
        if image[:8] == b"\x89PNG\r\n\x1a\n":
            stored = struct.unpack_from(">II", image, 16)
        else:
            w, h = struct.unpack_from("<ii", image, 4)
            stored = (w, h // 2)
        if stored != (width, height):
            raise ValueError("icon image %d is %dx%d, listed as %dx%d" % ((ident,) + stored + (width, height)))
        sizes.append((width, bits))
    return sizes


def manifest_faults(text):
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        return ["the manifest is not well-formed XML: %s" % e]
    faults = []
    if root.tag != ASM_V1 + "assembly" or root.get("manifestVersion") != "1.0":
        faults.append("the root is not an asm.v1 assembly of manifestVersion 1.0")
    controls = [
        a
        for a in root.iter(ASM_V1 + "assemblyIdentity")
        if a.get("name") == "Microsoft.Windows.Common-Controls"
    ]
    if not any(
        a.get("version") == "6.0.0.0" and a.get("publicKeyToken") == "6595b64144ccf1df" for a in controls
    ):
        faults.append("no dependency on Common Controls 6.0.0.0")
    awareness = [(e.text or "").strip() for e in root.iter(WS_2016 + "dpiAwareness")]
    if [[v.strip() for v in a.split(",")] for a in awareness] != [["PerMonitorV2", "PerMonitor"]]:
        faults.append("dpiAwareness is not 'PerMonitorV2, PerMonitor': %r" % awareness)
    aware = [(e.text or "").strip() for e in root.iter(WS_2005 + "dpiAware")]
    if aware != ["true/pm"]:
        faults.append("dpiAware is not 'true/pm': %r" % aware)
    places = [s for s in root.iter(ASM_V3 + "windowsSettings")]
    if len(places) != 1 or not all(
        list(places[0].iter(tag)) for tag in (WS_2016 + "dpiAwareness", WS_2005 + "dpiAware")
    ):
        faults.append("the DPI settings are not in one asm.v3 application/windowsSettings")
    systems = {e.get("Id", "").lower() for e in root.iter(COMPAT + "supportedOS")}
    if systems != set(SUPPORTED_OS):
        faults.append("supportedOS lists %s, not Vista to 10/11" % sorted(systems))
    levels = [e.get("level") for e in root.iter(ASM_V3 + "requestedExecutionLevel")]
    if levels != ["asInvoker"]:
        faults.append("requestedExecutionLevel is not asInvoker: %r" % levels)
    return faults


def check(path, version):
    res = Resources(path)
    faults = []
    manifests = list(res.items(RT_MANIFEST))
    if [name for name, _, _ in manifests] != [1]:
        faults.append("want one manifest, resource 1; found %r" % [m[0] for m in manifests])
    for _, _, body in manifests:
        faults += manifest_faults(body)

    quad = ".".join((version.split(".") + ["0"] * 4)[:4])
    versions = list(res.items(RT_VERSION))
    if len(versions) != 1:
        faults.append("want one version resource, found %d" % len(versions))
    else:
        file_version, product_version, strings = read_version(versions[0][2])
        if (file_version, product_version) != (quad, quad):
            faults.append("fixed versions %s/%s, not %s" % (file_version, product_version, quad))
        for name in VERSION_STRINGS:
            if not strings.get(name):
                faults.append("the version resource has no %s" % name)
        for name in ("FileVersion", "ProductVersion"):
            if strings.get(name) not in (None, version):
                faults.append("%s is %r, not %r" % (name, strings[name], version))

    groups = list(res.items(RT_GROUP_ICON))
    if len(groups) != 1:
        faults.append("want one icon, found %d" % len(groups))
    else:
        sizes = sorted(size for size, _ in icon_sizes(res, groups[0][2]))
        if sizes != [16, 32, 48, 256]:
            faults.append("the icon has the sizes %r, not 16, 32, 48 and 256" % sizes)
    return faults


def show(path):
    res = Resources(path)
    for name, language, body in res.items(RT_MANIFEST):
        print("manifest %s (language %s), %d bytes:" % (name, language, len(body)))
        print(body.decode("utf-8").rstrip())
    for _, _, body in res.items(RT_VERSION):
        file_version, product_version, strings = read_version(body)
        print("version resource: file %s, product %s" % (file_version, product_version))
        for name, text in strings.items():
            print("  %s: %s" % (name, text))
    for name, _, group in res.items(RT_GROUP_ICON):
        sizes = ", ".join("%dx%d %d-bit" % (s, s, b) for s, b in icon_sizes(res, group))
        print("icon %s: %s" % (name, sizes))


def main(argv):
    if len(argv) == 4 and argv[1] == "check":
        faults = check(argv[2], argv[3])
        for fault in faults:
            sys.stderr.write("%s: %s\n" % (argv[2], fault))
        if not faults:
            print("%s: manifest, version %s and icon are in order" % (argv[2], argv[3]))
        return 1 if faults else 0
    if len(argv) == 3 and argv[1] == "show":
        show(argv[2])
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
