#!/usr/bin/python3
"""Checks the built Windows installers from Linux: PE header, imports, and the resources Windows reads
at start-up (manifest, icon groups, version information).

Reads $STRELL_BUILD_DIR/StrellDriverInstaller.exe and StrellDriverInstaller-loopback.exe, and the
committed icon and its drawing script below $STRELL_SOURCE_DIR/resources. Prints unittest's report;
exits non-zero when a check fails.
"""

import functools
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
import zlib

import pefile

buildDir = os.environ.get("STRELL_BUILD_DIR", os.getcwd())
sourceDir = os.environ.get(
    "STRELL_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
)
exeNames = ("StrellDriverInstaller.exe", "StrellDriverInstaller-loopback.exe")
icoPath = os.path.join(sourceDir, "resources", "StrellDriverInstaller.ico")
makeIconsPath = os.path.join(sourceDir, "resources", "make-icons.py")

rtIcon, rtGroupIcon, rtVersion, rtManifest = 3, 14, 16, 24
langEnglishUs = 0x0409

# (size, bits per pixel, stored as): the images every icon group must have.
expectedImages = sorted(
    [(size, depth, "dib") for size in (16, 32, 48, 64) for depth in (4, 24, 32)] + [(512, 32, "png")]
)

# DLLs that every Windows installation has; anything else (a compiler runtime, zlib1.dll, libpng...)
# would have to be shipped beside the exe, which this single-file installer must not need.
systemDlls = {
    "advapi32.dll", "bcrypt.dll", "cfgmgr32.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll",
    "d2d1.dll", "d3d11.dll", "dwmapi.dll", "dwrite.dll", "dxgi.dll", "gdi32.dll", "imm32.dll",
    "iphlpapi.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll",
    "opengl32.dll", "rpcrt4.dll", "secur32.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "userenv.dll", "uxtheme.dll", "version.dll", "winhttp.dll", "wininet.dll",
    "winmm.dll", "ws2_32.dll", "wsock32.dll",
}

# The KnownDLLs list of Windows 10 and 11 (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs),
# plus ntdll.dll, which is always known. Windows loads these from System32 only; any other DLL it looks for
# in the exe's folder first, so the installer must not import one statically.
knownDlls = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll", "gdi32.dll",
    "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll",
    "nsi.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll",
    "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}
# What the framework and the package hash need that is not a known DLL: delay-loaded, after start-up has
# limited the DLL search.
delayLoadedDlls = ("version.dll", "winmm.dll", "wininet.dll", "dxgi.dll", "wsock32.dll", "bcrypt.dll")
# Known DLLs that stay imported: none of them pulls in a DLL outside System32, also under Wine.
importedKnownDlls = ("kernel32.dll", "advapi32.dll", "msvcrt.dll", "ws2_32.dll")

asmV1 = "urn:schemas-microsoft-com:asm.v1"
compatibilityV1 = "urn:schemas-microsoft-com:compatibility.v1"
asmV3 = "urn:schemas-microsoft-com:asm.v3"
windowsSettings2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
# The compatibility GUIDs Windows publishes for each version the installer runs on.
supportedWindows = {
    "7": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "8": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "8.1": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "10 and 11": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
# Windows accepts the trust information in either of these namespaces.
trustNamespaces = ("urn:schemas-microsoft-com:asm.v2", "urn:schemas-microsoft-com:asm.v3")


# ---- Reading the PE file ---------------------------------------------------------------------------


@functools.lru_cache(maxsize=None)
def loadPe(path):
    """Parses the PE file at path (once per path); returns the pefile.PE."""
    return pefile.PE(path, fast_load=False)


def resourceTable(pe):
    """Returns {type: [(name, language, bytes)]} for every resource of pe; type and name are ints for
    numeric ids and strings for named ones; language is the full LANGID."""
    table = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return table
    for typeEntry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        kind = typeEntry.id if typeEntry.name is None else str(typeEntry.name)
        for nameEntry in typeEntry.directory.entries:
            name = nameEntry.id if nameEntry.name is None else str(nameEntry.name)
            for langEntry in nameEntry.directory.entries:
                rva, size = langEntry.data.struct.OffsetToData, langEntry.data.struct.Size
                table.setdefault(kind, []).append((name, langEntry.id, pe.get_data(rva, size)))
    return table


def importedDlls(pe):
    """Returns the lower-case names of the DLLs pe imports, directly or delay-loaded. GNU ld leaves the
    delay-import directory empty, so DLLs that our build delay-loads are listed nowhere."""
    names = []
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attribute, []):
            names.append(entry.dll.decode("ascii").lower())
    return names


# ---- Decoding icon images --------------------------------------------------------------------------


def decodeDib(data):
    """Decodes an icon DIB; returns (width, height, depth, visible pixel colours as a list).
    Raises AssertionError when the header, the palette or the two bitmaps do not add up."""
    (headerSize, width, doubleHeight, planes, depth, compression, _, _, _, coloursUsed, _) = struct.unpack_from(
        "<IiiHHIIiiII", data
    )
    assert headerSize == 40, "DIB header size %d, not BITMAPINFOHEADER" % headerSize
    assert planes == 1 and compression == 0, "planes %d, compression %d" % (planes, compression)
    assert doubleHeight == 2 * width, "DIB height %d is not twice the width %d" % (doubleHeight, width)
    height = width
    paletteSize = (coloursUsed or 1 << depth) if depth <= 8 else 0
    xorStride = (width * depth + 31) // 32 * 4
    andStride = (width + 31) // 32 * 4
    xorOffset = headerSize + 4 * paletteSize
    andOffset = xorOffset + xorStride * height
    assert len(data) == andOffset + andStride * height, (
        "%d-bit DIB of %dx%d has %d bytes, expected %d with its AND mask"
        % (depth, width, height, len(data), andOffset + andStride * height)
    )
    palette = [tuple(data[headerSize + 4 * i : headerSize + 4 * i + 3]) for i in range(paletteSize)]
    visible = []
    for y in range(height):
        xorRow = data[xorOffset + y * xorStride :]
        andRow = data[andOffset + y * andStride :]
        for x in range(width):
            masked = andRow[x // 8] & (0x80 >> (x % 8))
            if depth == 4:
                colour = palette[(xorRow[x // 2] >> (0 if x % 2 else 4)) & 0x0F] + (255,)
            elif depth == 24:
                colour = tuple(xorRow[3 * x : 3 * x + 3]) + (255,)
            elif depth == 32:
                colour = tuple(xorRow[4 * x : 4 * x + 4])
            else:
                raise AssertionError("unexpected DIB depth %d" % depth)
            if not masked and colour[3] > 0:
                visible.append(colour)
    return width, height, depth, visible


def unfilterPng(raw, width, height, channels):
    """Undoes the PNG row filters of 8-bit image data; returns the rows as bytes."""
    stride = width * channels
    assert len(raw) == height * (stride + 1), "PNG data has %d bytes for %dx%d" % (len(raw), width, height)
    rows = []
    previous = bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        assert kind <= 4, "PNG row %d has filter type %d" % (y, kind)
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            upLeft = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - upLeft
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upLeft)
                predictor = left if pa <= pb and pa <= pc else (up if pb <= pc else upLeft)
                line[i] = (line[i] + predictor) & 0xFF
        rows.append(bytes(line))
        previous = line
    return rows


@functools.lru_cache(maxsize=None)
def decodePng(data):
    """Decodes an RGBA PNG fully (chunk CRCs, IHDR, zlib stream, filters); returns (width, height,
    depth in bits per pixel, visible pixel colours as a tuple)."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    position, header, idat = 8, None, b""
    while position < len(data):
        length, kind = struct.unpack_from(">I4s", data, position)
        body = data[position + 8 : position + 8 + length]
        (crc,) = struct.unpack_from(">I", data, position + 8 + length)
        assert zlib.crc32(kind + body) == crc, "PNG chunk %r has a bad CRC" % kind
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        position += 12 + length
    assert header is not None, "PNG without IHDR"
    width, height, bitDepth, colourType, _, _, interlace = header
    assert (bitDepth, colourType, interlace) == (8, 6, 0), (
        "PNG is bit depth %d, colour type %d, interlace %d; expected 8-bit RGBA" % (bitDepth, colourType, interlace)
    )
    rows = unfilterPng(zlib.decompress(idat), width, height, 4)
    visible = tuple(tuple(row[i : i + 4]) for row in rows for i in range(0, len(row), 4) if row[i + 3] > 0)
    return width, height, 32, visible


def decodeIconImage(data):
    """Decodes one RT_ICON image; returns (format "png" or "dib", width, height, depth, visible colours)."""
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        return ("png",) + decodePng(bytes(data))
    return ("dib",) + decodeDib(data)


def parseGroupDirectory(data):
    """Parses an RT_GROUP_ICON directory; returns a list of dicts, one per entry."""
    reserved, kind, count = struct.unpack_from("<HHH", data)
    assert (reserved, kind) == (0, 1), "group directory header (%d, %d) is not an icon directory" % (reserved, kind)
    assert len(data) == 6 + 14 * count, "group directory of %d entries has %d bytes" % (count, len(data))
    entries = []
    for i in range(count):
        width, height, colours, reservedByte, planes, depth, size, iconId = struct.unpack_from(
            "<BBBBHHIH", data, 6 + 14 * i
        )
        entries.append(dict(width=width, height=height, colours=colours, reserved=reservedByte,
                            planes=planes, depth=depth, size=size, id=iconId))
    return entries


def parseIcoFile(data):
    """Parses a .ico file; returns its images' bytes in directory order."""
    reserved, kind, count = struct.unpack_from("<HHH", data)
    assert (reserved, kind) == (0, 1), "not an icon file"
    images = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * i + 8)
        images.append(data[offset : offset + size])
    return images


# ---- Reading the version resource ------------------------------------------------------------------


def parseVersionNode(data, offset=0):
    """Parses one VS_VERSIONINFO-style node at offset; returns (key, value bytes, value type, children)."""
    length, valueLength, valueType = struct.unpack_from("<HHH", data, offset)
    assert length >= 6 and offset + length <= len(data), "version node at %d overruns its block" % offset
    keyStart = offset + 6
    keyEnd = keyStart
    while data[keyEnd : keyEnd + 2] != b"\0\0":
        keyEnd += 2
    key = data[keyStart:keyEnd].decode("utf-16-le")
    valueStart = (keyEnd + 2 + 3) & ~3
    valueBytes = valueLength * 2 if valueType == 1 else valueLength
    value = data[valueStart : valueStart + valueBytes]
    children = []
    child = (valueStart + valueBytes + 3) & ~3
    while child < offset + length:
        node = parseVersionNode(data, child)
        children.append(node)
        child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3
    return key, value, valueType, children


def readVersion(data):
    """Reads a version resource; returns (fixed info tuple, [(table key, {name: text})], translations)."""
    key, fixed, _, children = parseVersionNode(bytes(data))
    assert key == "VS_VERSION_INFO", "version resource key is %r" % key
    assert len(fixed) == 52, "fixed file info has %d bytes" % len(fixed)
    fixedInfo = struct.unpack("<13I", fixed)
    tables, translations = [], []
    for childKey, _, _, grandChildren in children:
        if childKey == "StringFileInfo":
            for tableKey, _, _, strings in grandChildren:
                texts = {}
                for name, value, _, _ in strings:
                    texts[name] = value.decode("utf-16-le").rstrip("\0")
                tables.append((tableKey, texts))
        elif childKey == "VarFileInfo":
            for varKey, value, _, _ in grandChildren:
                if varKey == "Translation":
                    translations += [struct.unpack_from("<HH", value, i) for i in range(0, len(value), 4)]
    return fixedInfo, tables, translations


# ---- The checks -------------------------------------------------------------------------------------


class ExeChecks:
    """Checks of one built installer; subclasses name the file in exeName."""

    exeName = None

    @classmethod
    def setUpClass(cls):
        cls.path = os.path.join(buildDir, cls.exeName)
        if not os.path.isfile(cls.path):
            raise AssertionError("%s does not exist: build the windows preset first" % cls.path)
        cls.pe = loadPe(cls.path)
        cls.resources = resourceTable(cls.pe)

    def test_pe_header_is_64_bit_gui_executable(self):
        header = self.pe.FILE_HEADER
        optional = self.pe.OPTIONAL_HEADER
        self.assertEqual(header.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"], "machine is not AMD64")
        self.assertEqual(optional.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS, "optional header is not PE32+")
        self.assertTrue(header.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_EXECUTABLE_IMAGE"])
        self.assertFalse(header.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"], "built as a DLL")
        # GUI subsystem: Windows gives the process no console window.
        self.assertEqual(
            optional.Subsystem,
            pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"],
            "subsystem %d is not the GUI subsystem (a console subsystem would open a console)" % optional.Subsystem,
        )

    def test_elevated_process_keeps_address_space_hardening(self):
        # The installer runs as administrator: keep ASLR (64-bit) and DEP on.
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        for name in (
            "IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE",
            "IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA",
            "IMAGE_DLLCHARACTERISTICS_NX_COMPAT",
        ):
            self.assertTrue(flags & pefile.DLL_CHARACTERISTICS[name], "%s is not set" % name)
        self.assertTrue(self.pe.has_relocs(), "no relocations: the loader could not move the image")
        writable = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
        executable = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
        both = [s.Name.rstrip(b"\0").decode(errors="replace") for s in self.pe.sections
                if s.Characteristics & writable and s.Characteristics & executable]
        self.assertEqual(both, [], "sections both writable and executable")

    def test_imports_only_system_dlls(self):
        dlls = importedDlls(self.pe)
        self.assertIn("kernel32.dll", dlls, "no import table read (kernel32.dll missing)")
        foreign = sorted(
            dll for dll in set(dlls) if dll not in systemDlls and not dll.startswith("api-ms-win-")
        )
        self.assertEqual(foreign, [], "imports DLLs that Windows does not provide: %s" % ", ".join(foreign))

    def test_only_known_dlls_are_imported(self):
        # An elevated process started from a Downloads folder: a static import that is not a known DLL
        # would be looked for there before the process could limit its DLL search.
        dlls = set(importedDlls(self.pe))
        self.assertEqual(sorted(dlls - knownDlls), [], "imports that are not known DLLs")
        self.assertEqual(sorted(dlls & set(delayLoadedDlls)), [], "imported instead of delay-loaded")
        missing = [dll for dll in importedKnownDlls if dll not in dlls]
        self.assertEqual(missing, [], "known DLLs no longer imported (import table misread?)")

    def test_resources_are_exactly_ours(self):
        # A generated resource script would add a second version resource and icon groups of its own.
        kinds = {kind: [(name, lang) for name, lang, _ in entries] for kind, entries in self.resources.items()}
        self.assertEqual(set(kinds), {rtIcon, rtGroupIcon, rtVersion, rtManifest},
                         "resource types present: %s" % list(kinds))
        self.assertEqual(len(kinds[rtVersion]), 1, "version resources: %s" % kinds[rtVersion])
        self.assertEqual(len(kinds[rtManifest]), 1, "manifests: %s" % kinds[rtManifest])
        self.assertEqual(kinds[rtManifest][0][0], 1, "the manifest is not resource id 1 (the process manifest)")
        self.assertEqual(sorted(name for name, _ in kinds[rtGroupIcon]), ["IDI_ICON1", "IDI_ICON2"],
                         "icon groups: %s" % kinds[rtGroupIcon])
        # Every icon image belongs to a group: none left over from another icon set.
        referenced = set()
        for _, _, data in self.resources[rtGroupIcon]:
            referenced.update(entry["id"] for entry in parseGroupDirectory(data))
        present = {name for name, _ in kinds[rtIcon]}
        self.assertEqual(len(kinds[rtIcon]), len(present), "icon ids appear twice")
        self.assertEqual(present, referenced, "icon images not in any group: %s" % sorted(present - referenced))

    def test_manifest_requires_administrator_and_common_controls_6(self):
        (_, _, data), = self.resources[rtManifest]
        root = ElementTree.fromstring(bytes(data))
        self.assertEqual(root.tag, "{%s}assembly" % asmV1)
        self.assertEqual(root.get("manifestVersion"), "1.0")

        levels = [
            element
            for ns in trustNamespaces
            for element in root.findall(
                "{%s}trustInfo/{%s}security/{%s}requestedPrivileges/{%s}requestedExecutionLevel" % ((ns,) * 4)
            )
        ]
        self.assertEqual(len(levels), 1, "expected one requestedExecutionLevel inside trustInfo")
        self.assertEqual(levels[0].get("level"), "requireAdministrator")
        self.assertEqual(levels[0].get("uiAccess"), "false")

        identities = root.findall(
            "{%s}dependency/{%s}dependentAssembly/{%s}assemblyIdentity" % ((asmV1,) * 3)
        )
        controls = [i for i in identities if i.get("name") == "Microsoft.Windows.Common-Controls"]
        self.assertEqual(len(controls), 1, "expected one dependency on Microsoft.Windows.Common-Controls")
        identity = controls[0]
        self.assertEqual((identity.get("type") or "").lower(), "win32")
        self.assertEqual(identity.get("version"), "6.0.0.0")
        self.assertEqual(identity.get("processorArchitecture"), "*")
        self.assertEqual(identity.get("language"), "*")
        self.assertEqual((identity.get("publicKeyToken") or "").lower(), "6595b64144ccf1df")

    def test_manifest_declares_supported_windows_and_long_paths(self):
        # Without supportedOS entries Windows runs the installer with compatibility shims and may show the
        # Program Compatibility Assistant after it exits.
        (_, _, data), = self.resources[rtManifest]
        root = ElementTree.fromstring(bytes(data))
        supported = [element.get("Id") or "" for element in root.findall(
            "{%s}compatibility/{%s}application/{%s}supportedOS" % ((compatibilityV1,) * 3))]
        self.assertEqual(len(supported), len(set(s.lower() for s in supported)), "a supportedOS Id twice")
        self.assertEqual({s.lower() for s in supported}, set(supportedWindows.values()),
                         "supportedOS entries are not exactly Windows %s" % ", ".join(supportedWindows))

        settings = root.findall("{%s}application/{%s}windowsSettings/{%s}longPathAware"
                                % (asmV3, asmV3, windowsSettings2016))
        self.assertEqual(len(settings), 1, "expected one longPathAware inside application/windowsSettings")
        self.assertEqual((settings[0].text or "").strip().lower(), "true")

    def groupImages(self, groupName):
        """Returns the directory entries of the named group, each with the bytes of its RT_ICON image."""
        groups = {name: data for name, _, data in self.resources.get(rtGroupIcon, [])}
        self.assertIn(groupName, groups, "icon group %s is missing" % groupName)
        icons = {name: data for name, _, data in self.resources.get(rtIcon, [])}
        entries = parseGroupDirectory(groups[groupName])
        for entry in entries:
            self.assertIn(entry["id"], icons, "%s refers to missing icon %d" % (groupName, entry["id"]))
            entry["data"] = icons[entry["id"]]
        return entries

    def test_icon_groups_have_all_thirteen_images(self):
        for groupName in ("IDI_ICON1", "IDI_ICON2"):
            with self.subTest(group=groupName):
                found = []
                for entry in self.groupImages(groupName):
                    what = "%s icon %d" % (groupName, entry["id"])
                    self.assertEqual(entry["size"], len(entry["data"]), what + ": directory size differs from image")
                    self.assertEqual((entry["planes"], entry["reserved"]), (1, 0), what)
                    self.assertEqual(entry["colours"], 16 if entry["depth"] == 4 else 0, what + ": colour count")
                    kind, width, height, depth, visible = decodeIconImage(entry["data"])
                    self.assertEqual(width, height, what + ": not square")
                    # The directory holds one byte per dimension; 0 stands for 256 and above.
                    self.assertEqual((entry["width"], entry["height"]),
                                     (width, height) if width < 256 else (0, 0), what + ": directory size")
                    self.assertEqual(entry["depth"], depth, what + ": directory depth differs from image")
                    self.assertGreater(len(visible), width * height // 2, what + ": mostly transparent")
                    self.assertGreater(len(set(visible)), 1, what + ": one flat colour")
                    found.append((width, depth, kind))
                self.assertEqual(sorted(found), expectedImages)

    def test_icon_groups_show_the_committed_icon(self):
        with open(icoPath, "rb") as ico:
            committed = parseIcoFile(ico.read())
        for groupName in ("IDI_ICON1", "IDI_ICON2"):
            with self.subTest(group=groupName):
                images = [bytes(entry["data"]) for entry in self.groupImages(groupName)]
                self.assertEqual(images, committed, "%s differs from %s" % (groupName, icoPath))

    def test_icoutils_reads_both_groups(self):
        # A second, independent reader of the same resources.
        for groupName in ("IDI_ICON1", "IDI_ICON2"):
            with self.subTest(group=groupName), tempfile.TemporaryDirectory() as scratch:
                extracted = os.path.join(scratch, "group.ico")
                subprocess.run(["wrestool", "-x", "-t14", "-n", groupName, "-o", extracted, self.path],
                               check=True, timeout=60)
                listing = subprocess.run(["icotool", "-l", extracted], check=True, timeout=60,
                                         capture_output=True, text=True).stdout.split("\n")
                found = []
                for line in filter(None, listing):
                    fields = dict(f[2:].split("=", 1) for f in line.split() if "=" in f)
                    self.assertEqual(fields["width"], fields["height"], line)
                    found.append((int(fields["width"]), int(fields["bit-depth"])))
                self.assertEqual(sorted(found), sorted((size, depth) for size, depth, _ in expectedImages))

    def test_version_resource(self):
        (_, language, data), = self.resources[rtVersion]
        self.assertEqual(language, langEnglishUs, "version resource language %#x" % language)
        fixed, tables, translations = readVersion(data)
        signature, _, fileMs, fileLs, productMs, productLs, flagsMask, flags, fileOs, fileType = fixed[:10]
        self.assertEqual(signature, 0xFEEF04BD, "fixed file info signature")
        self.assertEqual((fileMs, fileLs), (0x00010000, 0), "fixed file version is not 1.0.0.0")
        self.assertEqual((productMs, productLs), (0x00010000, 0), "fixed product version is not 1.0.0.0")
        self.assertEqual(flags & flagsMask, 0, "debug/pre-release flags set")
        self.assertEqual(fileOs, 0x00040004, "file OS is not VOS_NT_WINDOWS32")
        self.assertEqual(fileType, 1, "file type is not VFT_APP")

        self.assertEqual([key.upper() for key, _ in tables], ["040904B0"], "string tables")
        self.assertEqual(translations, [(langEnglishUs, 1200)], "translations")
        texts = tables[0][1]
        self.assertEqual(texts.get("FileVersion"), "1.0.0")
        self.assertEqual(texts.get("ProductVersion"), "1.0.0")
        self.assertEqual(texts.get("CompanyName"), "Tarnwell")
        self.assertEqual(texts.get("OriginalFilename"), "StrellDriverInstaller.exe")
        for name in ("ProductName", "FileDescription", "InternalName", "LegalCopyright"):
            self.assertTrue(texts.get(name, "").strip(), "%s is empty or missing" % name)


class ProductionInstaller(ExeChecks, unittest.TestCase):
    exeName = exeNames[0]


class LoopbackInstaller(ExeChecks, unittest.TestCase):
    exeName = exeNames[1]


class IconSource(unittest.TestCase):
    def test_committed_icon_is_what_make_icons_draws(self):
        with tempfile.TemporaryDirectory() as scratch:
            output = os.path.join(scratch, "icon.ico")
            subprocess.run([sys.executable, makeIconsPath, output], check=True, timeout=300,
                           stdout=subprocess.DEVNULL)
            with open(output, "rb") as drawn, open(icoPath, "rb") as committed:
                self.assertTrue(drawn.read() == committed.read(),
                                "%s is out of date: run %s" % (icoPath, makeIconsPath))


if __name__ == "__main__":
    unittest.main(verbosity=2)
