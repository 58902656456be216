"""Driver packages and catalogue documents as the maker's download server holds them.

- ``make_driver_zip(path, setup_program, folder=None, subfolder="x64", extra=())``: writes a zip package at
  path: a top folder named as the package file without ".zip" (or ``folder``), holding
  ``<subfolder>/Setup.exe`` with the bytes of setup_program (a file path, or bytes), plus ``extra`` entries
  given as (name inside the archive, bytes), written as they are, so "../x" makes a zip-slip entry.
  subfolder None leaves the setup program out; a tuple of names puts it in each (``BOTH_GENERATIONS``:
  x64 and x64_Win10, a package complete for the 64-bit installer). Gives back path.
- ``catalogue(base_url, entries, root="interfaces", entry_tag="interface")``: the catalogue document text;
  entries are ``Entry(pid, driver, name="Unit", file="", sha256=None)`` or dicts of attributes (None leaves
  one out).
- ``sha256_of(path_or_bytes)``: the SHA-256 of a file or of bytes, as 64 lower-case hexadecimal digits.
- ``CATALOGUE_PATH``: the path on the server where the installer fetches the catalogue.
"""

import hashlib
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Optional
from xml.sax.saxutils import quoteattr

CATALOGUE_PATH = "/firmware/unitpanel/firmware/interfaces.xml"
BOTH_GENERATIONS = ("x64", "x64_Win10")


@dataclass
class Entry:
    pid: str
    driver: str
    name: str = "Unit"
    file: str = ""
    sha256: Optional[str] = None


def make_driver_zip(path, setup_program, folder=None, subfolder="x64", extra=()):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    top = folder if folder is not None else (path.name[:-4] if path.name.lower().endswith(".zip") else path.name)
    data = setup_program if isinstance(setup_program, bytes) else Path(setup_program).read_bytes()
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        if subfolder is not None:
            for name in (subfolder,) if isinstance(subfolder, str) else subfolder:
                info = zipfile.ZipInfo(f"{top}/{name}/Setup.exe")
                info.external_attr = 0o755 << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(info, data)
        else:
            archive.writestr(f"{top}/readme.txt", b"no setup program here\n")
        for name, content in extra:
            info = zipfile.ZipInfo(name)
            info.external_attr = 0o644 << 16
            archive.writestr(info, content)
    return path


def catalogue(base_url, entries, root="interfaces", entry_tag="interface"):
    base = "" if base_url is None else f" driverBaseUrl={quoteattr(base_url)}"
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', f"<{root}{base}>"]
    for entry in entries:
        attributes = entry if isinstance(entry, dict) else {"name": entry.name, "pid": entry.pid,
                                                            "driver": entry.driver, "file": entry.file,
                                                            "sha256": entry.sha256}
        text = "".join(f" {key}={quoteattr(value)}" for key, value in attributes.items() if value is not None)
        lines.append(f"  <{entry_tag}{text}/>")
    lines.append(f"</{root}>")
    return "\n".join(lines) + "\n"


def sha256_of(source):
    data = source if isinstance(source, bytes) else Path(source).read_bytes()
    return hashlib.sha256(data).hexdigest()
