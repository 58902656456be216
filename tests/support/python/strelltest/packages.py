"""Driver packages and catalogue documents as the maker's download server holds them.

- ``make_driver_zip(path, setup_program, folder=None, subfolder="x64", extra=(), padding=0, readme=False)``:
  writes a zip package at path: a top folder named as the package file without ".zip" (``package_stem``, or
  ``folder``), holding ``<subfolder>/Setup.exe`` with the bytes of setup_program (a file path, or bytes), plus
  ``extra`` entries given as (name inside the archive, bytes), written as they are, so "../x" makes a
  zip-slip entry, and ``padding`` bytes of incompressible filler (a download that takes a while); with
  ``readme`` a readme.txt in the top folder comes first (as with no setup program at all).
  subfolder None leaves the setup program out; a tuple of names puts it in each (``BOTH_GENERATIONS``:
  x64 and x64_Win10, a package complete for the 64-bit installer). Gives back path.
- ``package_stem(name)``: the folder the installer unpacks a package file into: its name without ".zip"
  (any case).
- ``catalogue(base_url, entries, root="interfaces", entry_tag="interface", sign_with=None)``: the catalogue
  document text; entries are ``Entry(pid, driver, name="Unit", file="", sha256=None)``, dicts of attributes
  (None leaves one out), or texts written as they are (markup beside the entries); ``entry_line(entry)`` is
  one entry's line. ``sign_with`` (a name of ``SIGNING_KEYS`` or a private key's path) ends it with its
  signature comment, as tools/sign-catalogue.sh writes it; ``sign_catalogue(text, key)`` does the same to
  any text.
- ``SIGNING_KEYS``: {"a", "b", "other": private key path} of the throwaway test keys in tests/support/keys;
  ``TEST_PUBLIC_KEYS``: the PEM file of a's and b's public keys, which the signed test variant is built
  with; ``key_fingerprint(name)`` a key's fingerprint as the run log gives it.
- ``write_site(root, catalogue_text, files)``: a folder as a static server serves it: the catalogue at
  CATALOGUE_PATH and each of ``files`` ({file name: bytes or a file's path}) in DRIVER_FOLDER. Gives back
  root.
- ``zip_entry(name, data, mode=0o644, kind="file", compression=ZIP_DEFLATED)``: one entry for zip_bytes, as
  (ZipInfo, bytes); kind "folder" or "link" (data: the link's target) sets the type in its Unix mode.
  ``zip_bytes(entries)``: a zip of those entries, in order, as bytes.
- ``sha256_of(path_or_bytes)``: the SHA-256 of a file or of bytes, as 64 lower-case hexadecimal digits.
- ``CATALOGUE_PATH``: the path on the server where the installer fetches the catalogue; ``DRIVER_FOLDER``:
  the folder the tests' catalogues name as the packages' base address.

Packages as other tools write them, from a source folder (``source``) that holds the package's top folder
(``top``); each writes the zip at ``out`` and gives back its Path:

- ``tool_zip(kind, source, top, out)``: kind is one of ``TOOL_KINDS``: "infozip" (``zip -r``),
  "infozip-stdout" (``zip -r -`` into a pipe: streamed), "infozip-fd" (data descriptors), "infozip-fz"
  (zip64 end records and fields), "bsdtar", "7zip" (deflate), "7zip-deflate64", "python", "python-streamed"
  (an unseekable file: data descriptors), "python-backslash" (backslashes as separators), "python-lzma",
  "python-bzip2".
- ``damage_entry(data, name)``: the zip's bytes with bytes in the middle of the entry's compressed stream
  overwritten, its sizes and CRC left as they were.
- ``patch_entry(data, name, crc=None, size=None, compressed_size=None)``: the zip's bytes with the entry's
  declared CRC and sizes changed alike in its local header and the central directory (32-bit fields).
- ``bomb_zip(out, top, declared=1024, inflated=...)``: a package whose one data entry declares ``declared``
  bytes but inflates to ``inflated`` zeros, followed by ``<top>/x64/Setup.exe`` from ``setup_program``.

``python3 -m strelltest.packages <kind> <source> <top> <out>`` runs tool_zip from the command line.
"""

import base64
import hashlib
import io
import os
import stat
import struct
import subprocess
import sys
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Optional
from xml.sax.saxutils import quoteattr

CATALOGUE_PATH = "/firmware/unitpanel/firmware/interfaces.xml"
DRIVER_FOLDER = "/drivers"
BOTH_GENERATIONS = ("x64", "x64_Win10")


@dataclass
class Entry:
    pid: str
    driver: str
    name: str = "Unit"
    file: str = ""
    sha256: Optional[str] = None


def package_stem(name):
    return name[:-4] if name.lower().endswith(".zip") else name


def zip_entry(name, data, mode=0o644, kind="file", compression=zipfile.ZIP_DEFLATED):
    info = zipfile.ZipInfo(name, date_time=(2024, 3, 1, 12, 0, 0))
    info.external_attr = ({"file": stat.S_IFREG, "folder": stat.S_IFDIR, "link": stat.S_IFLNK}[kind] | mode) << 16
    info.compress_type = zipfile.ZIP_STORED if kind == "folder" else compression
    return info, data


def zip_bytes(entries):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for info, data in entries:
            archive.writestr(info, data)
    return buffer.getvalue()


def make_driver_zip(path, setup_program, folder=None, subfolder="x64", extra=(), padding=0, readme=False):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    top = folder if folder is not None else package_stem(path.name)
    data = setup_program if isinstance(setup_program, bytes) else Path(setup_program).read_bytes()
    entries = []
    if subfolder is None:
        entries.append(zip_entry(f"{top}/readme.txt", b"no setup program here\n"))
    elif readme:
        entries.append(zip_entry(f"{top}/readme.txt", b"Driver package for tests.\r\n"))
    if subfolder is not None:
        entries += [zip_entry(f"{top}/{name}/Setup.exe", data, 0o755)
                    for name in ((subfolder,) if isinstance(subfolder, str) else subfolder)]
    entries += [zip_entry(name, content) for name, content in extra]
    if padding:  # random bytes, stored: no smaller for compressing
        entries.append(zip_entry(f"{top}/filler.bin", os.urandom(padding), compression=zipfile.ZIP_STORED))
    path.write_bytes(zip_bytes(entries))
    return path


def entry_line(entry, entry_tag="interface"):
    if isinstance(entry, str):
        return entry
    attributes = entry if isinstance(entry, dict) else {"name": entry.name, "pid": entry.pid, "driver": entry.driver,
                                                        "file": entry.file, "sha256": entry.sha256}
    text = "".join(f" {key}={quoteattr(value)}" for key, value in attributes.items() if value is not None)
    return f"  <{entry_tag}{text}/>"


def catalogue(base_url, entries, root="interfaces", entry_tag="interface", sign_with=None):
    base = "" if base_url is None else f" driverBaseUrl={quoteattr(base_url)}"
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', f"<{root}{base}>"]
    lines += [entry_line(entry, entry_tag) for entry in entries]
    lines.append(f"</{root}>")
    text = "\n".join(lines) + "\n"
    return text if sign_with is None else sign_catalogue(text, sign_with)


KEYS_FOLDER = Path(__file__).resolve().parents[2] / "keys"
SIGNING_KEYS = {name: KEYS_FOLDER / f"catalogue-test-{name}.key.pem" for name in ("a", "b", "other")}
TEST_PUBLIC_KEYS = KEYS_FOLDER / "catalogue-test-keys.pem"


def key_fingerprint(key):
    """Takes a name of SIGNING_KEYS; gives back its public key's fingerprint as the run log gives it: the
    first 16 hexadecimal digits of the SHA-256 of the DER public key."""
    der = subprocess.run(["openssl", "pkey", "-in", str(SIGNING_KEYS[key]), "-pubout", "-outform", "DER"],
                         capture_output=True, check=True, timeout=60).stdout
    return hashlib.sha256(der).hexdigest()[:16]


def sign_catalogue(text, key):
    """Takes a catalogue text and a key (a name of SIGNING_KEYS or a private key's path); gives back the
    text with its signature comment appended: the signature over its UTF-8 bytes, as openssl makes it."""
    key_path = SIGNING_KEYS.get(key, key)
    signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(key_path)], input=text.encode("utf-8"),
                               capture_output=True, check=True, timeout=60).stdout
    return text + f"<!-- catalogue-signature ecdsa-p256-sha256 {base64.b64encode(signature).decode('ascii')} -->\n"


def write_site(root, catalogue_text, files):
    root = Path(root)
    catalogue_file = root / CATALOGUE_PATH.lstrip("/")
    catalogue_file.parent.mkdir(parents=True, exist_ok=True)
    catalogue_file.write_text(catalogue_text)
    drivers = root / DRIVER_FOLDER.lstrip("/")
    drivers.mkdir(parents=True, exist_ok=True)
    for name, source in files.items():
        (drivers / name).write_bytes(source if isinstance(source, bytes) else Path(source).read_bytes())
    return root


def sha256_of(source):
    data = source if isinstance(source, bytes) else Path(source).read_bytes()
    return hashlib.sha256(data).hexdigest()


TOOL_KINDS = ("infozip", "infozip-stdout", "infozip-fd", "infozip-fz", "bsdtar", "7zip", "7zip-deflate64",
              "python", "python-streamed", "python-backslash", "python-lzma", "python-bzip2")


class _Unseekable(io.RawIOBase):
    """A file that can only be written, as a pipe: zipfile then streams with data descriptors."""

    def __init__(self, target):
        self.target = target

    def writable(self):
        return True

    def write(self, data):
        self.target.write(data)
        return len(data)


def _tree(source, top):
    """The files and folders below source/top, in a fixed order, as paths relative to source."""
    found = []
    for folder, dirs, files in os.walk(Path(source) / top):
        dirs.sort()
        relative = Path(folder).relative_to(source)
        found.append((relative, True))
        found += [(relative / name, False) for name in sorted(files)]
    return found


def _python_zip(source, top, target, compression, separator="/"):
    with zipfile.ZipFile(target, "w", compression=compression) as archive:
        for relative, is_folder in _tree(source, top):
            name = separator.join(relative.parts) + (separator if is_folder else "")
            info = zipfile.ZipInfo.from_file(Path(source) / relative, name)
            info.filename = name  # from_file would turn backslashes into slashes
            info.compress_type = zipfile.ZIP_STORED if is_folder else compression
            archive.writestr(info, b"" if is_folder else (Path(source) / relative).read_bytes())


def tool_zip(kind, source, top, out):
    source, out = Path(source), Path(out).resolve()
    out.parent.mkdir(parents=True, exist_ok=True)
    out.unlink(missing_ok=True)

    def run(argv, **options):
        subprocess.run(argv, cwd=source, check=True, timeout=120, stdin=subprocess.DEVNULL, **options)

    if kind in ("infozip", "infozip-fd", "infozip-fz"):
        run(["zip", "-q", "-r", *{"infozip-fd": ["-fd"], "infozip-fz": ["-fz"]}.get(kind, []), str(out), top])
    elif kind == "infozip-stdout":
        with open(out, "wb") as target:
            # Through a pipe, so that zip cannot seek back and streams every entry.
            zipping = subprocess.Popen(["zip", "-q", "-r", "-", top], cwd=source, stdout=subprocess.PIPE,
                                       stdin=subprocess.DEVNULL)
            for chunk in iter(lambda: zipping.stdout.read(65536), b""):
                target.write(chunk)
            if zipping.wait(timeout=120) != 0:
                raise RuntimeError("zip - failed")
    elif kind == "bsdtar":
        run(["bsdtar", "--format", "zip", "-cf", str(out), top])
    elif kind in ("7zip", "7zip-deflate64"):
        method = "Deflate64" if kind == "7zip-deflate64" else "Deflate"
        run(["7zz", "a", "-bd", "-bb0", "-tzip", f"-mm={method}", str(out), top], stdout=subprocess.DEVNULL)
    elif kind == "python-streamed":
        with open(out, "wb") as target:
            _python_zip(source, top, _Unseekable(target), zipfile.ZIP_DEFLATED)
    elif kind in ("python", "python-backslash", "python-lzma", "python-bzip2"):
        compression = {"python-lzma": zipfile.ZIP_LZMA, "python-bzip2": zipfile.ZIP_BZIP2}.get(
            kind, zipfile.ZIP_DEFLATED)
        _python_zip(source, top, out, compression, "\\" if kind == "python-backslash" else "/")
    else:
        raise ValueError(f"unknown kind {kind}")
    return out


def _headers(data, name):
    """Takes a zip's bytes and an entry name; gives back its ZipInfo and the offsets of its local and central
    headers."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        info = archive.getinfo(name)
        central = archive.start_dir
    while data[central:central + 4] == b"PK\x01\x02":
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, central + 28)
        if data[central + 46:central + 46 + name_length] == info.orig_filename.encode():
            return info, info.header_offset, central
        central += 46 + name_length + extra_length + comment_length
    raise KeyError(name)


def damage_entry(data, name):
    info, local, _ = _headers(data, name)
    name_length, extra_length = struct.unpack_from("<HH", data, local + 26)
    start = local + 30 + name_length + extra_length + info.compress_size // 3
    damaged = bytearray(data)
    damaged[start:start + 48] = bytes((0xFF, 0x00, 0xA5) * 16)
    return bytes(damaged)


def patch_entry(data, name, crc=None, size=None, compressed_size=None):
    _, local, central = _headers(data, name)
    patched = bytearray(data)
    for offset, field in ((14, crc), (18, compressed_size), (22, size)):
        if field is not None:
            struct.pack_into("<I", patched, local + offset, field)
            struct.pack_into("<I", patched, central + offset + 2, field)
    return bytes(patched)


def bomb_zip(out, top, setup_program, declared=1024, inflated=100 * 1024 * 1024):
    """The zeros entry comes first, so a run that is not stopped fills the disk before Setup.exe."""
    program = setup_program if isinstance(setup_program, bytes) else Path(setup_program).read_bytes()
    data = zip_bytes([zip_entry(f"{top}/data/firmware.bin", bytes(inflated)),
                      zip_entry(f"{top}/x64/Setup.exe", program, 0o755)])
    out = Path(out)
    out.write_bytes(patch_entry(data, f"{top}/data/firmware.bin", size=declared))
    return out


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] not in TOOL_KINDS:
        sys.exit(f"usage: python3 -m strelltest.packages <{'|'.join(TOOL_KINDS)}> <source> <top> <out>")
    tool_zip(*sys.argv[1:])
