#!/usr/bin/python3
"""Static checks of a shipped 32-bit program: headers, imports and resources.

    check_pe.py <exe> install|quelbrin

Prints one `ok ...` or `FAIL ...` line per check; exits 1 if any failed.
"""

import struct
import sys
from xml.etree import ElementTree

import pefile

COMMON_STRINGS = {
    "CompanyName": "Zorvik",
    "FileVersion": "2.00",
    "ProductVersion": "2.00",
}

# What differs between the two programs; everything else is shared.
EXPECTED = {
    "install": {
        "strings": {
            "ProductName": "Office Install for Zorvik Larkspan",
            "InternalName": "install",
            "OriginalFilename": "install.exe",
        },
        # (width, height, colours, bits per pixel) of each image in icon group 1
        "icons": [(32, 32, 16, 4)],
    },
    "quelbrin": {
        "strings": {
            "ProductName": "Uninstall",
            "InternalName": "quelbrin",
            "OriginalFilename": "quelbrin.exe",
        },
        "icons": [(32, 32, 16, 4), (16, 16, 16, 4)],
    },
}

# DLLs present on every Windows the programs support. Anything else (a
# libstdc++/libgcc/winpthread DLL from a non-static link, the UCRT's
# api-ms-win-crt-* forwarders) would make the program fail to start.
ALLOWED_DLLS = {"kernel32", "user32", "gdi32", "advapi32", "shell32",
                "ole32", "oleaut32", "msvcrt"}

LANG_EN_US = 0x0409
CP_UNICODE = 0x04B0
VERSION_2_0_0_0 = (0x00020000, 0x00000000)
VOS__WINDOWS32 = 0x4
VFT_APP = 0x1
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
RT_ICON = pefile.RESOURCE_TYPE["RT_ICON"]
RT_GROUP_ICON = pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
# The whole manifest, outermost first: each element the only child of the one
# before it. Anything more (a common-controls dependency, supportedOS, DPI
# settings) would change how Windows starts the program.
MANIFEST_ELEMENTS = [
    (ASM_V1 + "assembly", {"manifestVersion": "1.0"}),
    (ASM_V3 + "trustInfo", {}),
    (ASM_V3 + "security", {}),
    (ASM_V3 + "requestedPrivileges", {}),
    (ASM_V3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}),
]


def check_pe32_i386(pe, _expected=None):
    magic = pe.OPTIONAL_HEADER.Magic
    machine = pe.FILE_HEADER.Machine
    ok = magic == pefile.OPTIONAL_HEADER_MAGIC_PE and machine == 0x14C
    return ok, f"PE32 i386 (magic {magic:#x}, machine {machine:#x})"


def check_gui_subsystem(pe, _expected):
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    return subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI, f"Windows GUI subsystem (found {subsystem})"


def check_imports(pe, _expected):
    names = [entry.dll.decode("ascii", "replace")
             for attr in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT")
             for entry in getattr(pe, attr, [])]
    stray = [n for n in names if n.lower().removesuffix(".dll") not in ALLOWED_DLLS]
    detail = "imports only system DLLs: " + (", ".join(names) or "(none)")
    if stray:
        detail += "; not allowed: " + ", ".join(stray)
    return not stray, detail


def resources(pe, type_id):
    """[(name id, language id, data entry)] of one resource type."""
    found = []
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for rtype in root.entries if root else []:
        if rtype.id != type_id:
            continue
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                found.append((name.id, lang.id, lang.data.struct))
    return found


def resource_bytes(pe, data_entry):
    return pe.get_data(data_entry.OffsetToData, data_entry.Size)


def check_version_resource(pe, _expected):
    found = [(name, lang) for name, lang, _ in resources(pe, RT_VERSION)]
    ok = found == [(1, LANG_EN_US)] and len(getattr(pe, "FileInfo", [])) == 1
    return ok, f"one version resource, id 1, language 0409 (found {found})"


def check_version_strings(pe, expected):
    want = dict(COMMON_STRINGS, **expected["strings"])
    tables = {st.LangID.decode().lower(): {k.decode(): v.decode() for k, v in st.entries.items()}
              for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
              for st in info.StringTable}
    problems = [f"string tables {sorted(tables)}"] if list(tables) != ["040904b0"] else []
    found = tables.get("040904b0", {})
    problems += [f"{k}={found.get(k)!r}, want {v!r}" for k, v in want.items() if found.get(k) != v]
    problems += [f"extra {k}={v!r}" for k, v in found.items() if k not in want]
    shown = ", ".join(f"{k}={v!r}" for k, v in found.items())
    return not problems, f"version strings 040904b0: {shown}" + "".join(f"; {p}" for p in problems)


def check_version_translation(pe, _expected):
    # pefile keeps only the last pair, so the value length is what shows that
    # there is exactly one.
    found = [(var.entry, var.ValueLength)
             for info in pe.FileInfo[0] if info.Key == b"VarFileInfo"
             for var in info.Var]
    want = [({b"Translation": f"0x{LANG_EN_US:04x} 0x{CP_UNICODE:04x}"}, 4)]
    shown = "; ".join(f"{k.decode()} {v} ({n // 4} pair(s))" for e, n in found for k, v in e.items())
    return found == want, f"version translation 0x0409 0x04b0 only: {shown or '(none)'}"


def check_fixed_file_info(pe, _expected):
    ffi = pe.VS_FIXEDFILEINFO[0]
    found = {
        "FileVersion": (ffi.FileVersionMS, ffi.FileVersionLS),
        "ProductVersion": (ffi.ProductVersionMS, ffi.ProductVersionLS),
        "FileFlags": ffi.FileFlags,
        "FileOS": ffi.FileOS,
        "FileType": ffi.FileType,
        "FileSubtype": ffi.FileSubtype,
    }
    want = {
        "FileVersion": VERSION_2_0_0_0,
        "ProductVersion": VERSION_2_0_0_0,
        "FileFlags": 0,
        "FileOS": VOS__WINDOWS32,
        "FileType": VFT_APP,
        "FileSubtype": 0,
    }
    wrong = {k: hex(v) if isinstance(v, int) else tuple(map(hex, v))
             for k, v in found.items() if v != want[k]}
    detail = "version fixed info 2.0.0.0, flags 0, VOS__WINDOWS32, VFT_APP"
    return not wrong, detail + (f"; wrong: {wrong}" if wrong else "")


def check_icon_group(pe, expected):
    groups = resources(pe, RT_GROUP_ICON)
    if [name for name, _, _ in groups] != [1]:
        return False, f"exactly one icon group, id 1 (found ids {[n for n, _, _ in groups]})"
    icons = {name: entry for name, _, entry in resources(pe, RT_ICON)}
    data = resource_bytes(pe, groups[0][2])
    _, kind, count = struct.unpack_from("<HHH", data)
    images, problems = [], []
    for i in range(count):
        w, h, colours, _, _, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        images.append((w, h, colours, bits))
        # The group's directory must describe the image it points at.
        if icon_id not in icons:
            problems.append(f"icon {icon_id} missing")
            continue
        image = resource_bytes(pe, icons[icon_id])
        hdr_size, bw, bh, _, bbits = struct.unpack_from("<IiiHH", image)
        if (hdr_size, bw, bh, bbits, len(image)) != (40, w, 2 * h, bits, size):
            problems.append(f"icon {icon_id} bitmap is {bw}x{bh // 2} {bbits} bpp, {len(image)} bytes")
    ok = kind == 1 and sorted(images) == sorted(expected["icons"]) and not problems
    return ok, (f"icon group 1 images (w, h, colours, bpp) = {expected['icons']} "
                f"(found {images}{'; ' + '; '.join(problems) if problems else ''})")


def manifest_problem(xml):
    """Why the manifest text is not exactly MANIFEST_ELEMENTS, or None."""
    try:
        element = ElementTree.fromstring(xml)
    except ElementTree.ParseError as e:
        return f"not well-formed XML ({e})"
    for depth, (tag, attrib) in enumerate(MANIFEST_ELEMENTS):
        if (element.tag, element.attrib) != (tag, attrib):
            return f"found <{element.tag} {element.attrib}> where <{tag} {attrib}> belongs"
        if (element.text or "").strip() or (element.tail or "").strip():
            return f"text beside <{element.tag}>"
        children = list(element)
        want = 0 if depth == len(MANIFEST_ELEMENTS) - 1 else 1
        if len(children) != want:
            return f"<{element.tag}> has {len(children)} child elements, want {want}"
        element = children[0] if children else None
    return None


def check_manifest(pe, _expected):
    found = resources(pe, RT_MANIFEST)
    ids = [(name, lang) for name, lang, _ in found]
    if ids != [(1, LANG_EN_US)]:
        return False, f"one manifest, id 1, language 0409 (found {ids})"
    problem = manifest_problem(resource_bytes(pe, found[0][2]))
    detail = "manifest 1 asks for asInvoker, uiAccess false, and nothing else"
    return problem is None, detail + (f"; {problem}" if problem else "")


CHECKS = [
    check_pe32_i386,
    check_gui_subsystem,
    check_imports,
    check_version_resource,
    check_version_strings,
    check_version_translation,
    check_fixed_file_info,
    check_icon_group,
    check_manifest,
]


def run(checks, *args):
    """Print each check's line; return True if all passed."""
    all_ok = True
    for check in checks:
        try:
            ok, detail = check(*args)
        except (AttributeError, IndexError, KeyError, struct.error, pefile.PEFormatError) as e:
            ok, detail = False, f"{check.__name__}: cannot read ({type(e).__name__}: {e})"
        print(("ok " if ok else "FAIL ") + detail)
        all_ok &= ok
    return all_ok


def main(argv):
    if len(argv) != 3 or argv[2] not in EXPECTED:
        print(f"usage: {argv[0]} <exe> {'|'.join(EXPECTED)}", file=sys.stderr)
        return 2
    try:
        pe = pefile.PE(argv[1])
    except (OSError, pefile.PEFormatError) as e:
        print(f"FAIL {argv[1]} is not a readable PE file: {e}")
        return 1
    return 0 if run(CHECKS, pe, EXPECTED[argv[2]]) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
