"""The fault matrix: one row per way a whole installer run can go wrong, with what the run must do about it.

Each row (a ``Case``) names what breaks, how the run is arranged (a ``Setup``), the exit code that the
starting process must read, the diagnostic text on standard output and standard error, how many times the
setup program must run, what the loopback server must be asked, and the builds it runs on:

- "linux": StrellDriverInstaller-loopback of the Linux build; the shell reads the low 8 bits of the code.
- "windows": StrellDriverInstaller-loopback.exe under Wine; a Windows parent reads all 32 bits.

A row whose Setup says installer="signed" runs StrellDriverInstaller-loopback-signed instead: the same
program, built with two throwaway test keys, that reads only catalogues signed by one of them.

The runners (test_fault_matrix_linux.py, test_fault_matrix_wine.py) arrange each row's Setup, run the
installer once, and check beside the row's own expectations what holds for every row: the progress window
is closed at the end, the downloaded file (temp_* in the temporary folder) is gone, nothing outside the
working folder Tarnwell/StrellDriver changed (the rest of the temporary folder and a sentinel tree beside
it), what an earlier run left in the working folder is gone when the run got to the driver step (a supported
device, an elevated token) and still there when it did not, and the run ended within its bound.

Diagnostics are regular expressions that must match the whole text ("" means nothing at all); "{sentinel}"
in an entry name stands for the sentinel tree's absolute path as the build under test writes it.

``render_markdown()`` gives back MATRIX.md; ``python3 fault_matrix.py --write`` rewrites it.
"""

import os
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Optional, Tuple, Union

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support" / "python"))  # when run as a script

# The builds and the installer's own exit codes (re-exported for the runners and the table test).
from strelltest.codes import (ACCESS_VIOLATION, BUILDS, CODE_NAMES, DRIVER_PACKAGE_FAILED, LINUX,  # noqa: F401
                              NO_SUPPORTED_DEVICE, NOT_ELEVATED, SETUP_PROGRAM_MISSING, WINDOWS, seen_by)  # noqa: E402

SIGNAL_EXIT_BASE = 128  # Linux: a setup program ended by signal N gives 128 + N, as shells report it
SIGSEGV = 11

PACKAGE = "Tarnwell_Corvel_1.2.0.7.zip"
SECOND_PACKAGE = "Tarnwell_Second_2.0.0.1.zip"
SETUP_EXE = "Tarnwell_Corvel_Setup_1.2.0.7.exe"

AREAS = ("server", "package", "setup", "disk", "devices")

# The values each Setup field may take (see Setup), and those the Wine runner can arrange.
SETUP_CHOICES = {
    "server": ("ok", "none", "untrusted", "package-untrusted", "package-refused"),
    "catalogue": ("good", "error-404", "error-500", "truncated", "reset", "huge", "nine-mib", "endless",
                  "nested-64", "nested-65", "nested-deep", "redirect-loop", "redirect-http", "redirect-ftp",
                  "silent", "stall", "trickle", "second-model-only", "ours-unlisted", "no-entries", "json",
                  "empty", "html-page", "truncated-early", "reset-early", "processing-instruction",
                  "overlong-utf8"),
    "delivery": ("file", "error-404", "error-500", "truncated", "reset", "reset-third", "reset-unannounced",
                 "redirect-loop", "redirect-http", "redirect-https", "redirects-allowed", "redirects-too-many",
                 "silent", "stall", "trickle", "slow-moving", "html-page", "empty-body", "truncated-slowly",
                 "redirect-self"),
    "package": ("good", "corrupt-data", "truncated-archive", "empty-archive", "setup-folder", "link-entry",
                "non-utf8-name", "not-a-program", "signal-script", "bomb", "lzma-entry", "zip64"),
    "subfolder": ("native", "other", "x86"),
    "disk": ("as-left", "working-path-file", "working-path-link", "outer-path-file", "read-only-temp",
             "read-only-outer", "read-only-inner"),
    "devices": ("one", "none", "unsupported", "several"),
    "token": ("elevated", "limited"),
    "package_hash": ("none", "match", "mismatch", "short", "non-hex", "empty"),
    "installer": ("plain", "signed"),
    "signature": ("none", "key-a", "key-b", "other-key", "tampered"),
}
WINDOWS_SETUP_LIMITS = {"disk": ("as-left", "read-only-outer", "read-only-inner"), "devices": ("one", "none"),
                        "catalogue": tuple(c for c in SETUP_CHOICES["catalogue"] if c != "second-model-only"),
                        "package": tuple(p for p in SETUP_CHOICES["package"] if p != "signal-script")}
ASKS = ("nothing", "catalogue", "package", None)


def both(code: int) -> Dict[str, int]:
    """Takes one exit code; gives back the expected code for each build."""
    return {build: seen_by(build, code) for build in BUILDS}


def linux_only(code: int) -> Dict[str, int]:
    return {LINUX: seen_by(LINUX, code)}


def windows_only(code: int) -> Dict[str, int]:
    return {WINDOWS: seen_by(WINDOWS, code)}


@dataclass(frozen=True)
class Setup:
    """How one run is arranged. Every field has the value of an ordinary, successful run by default.

    server:    "ok" (our fault server on the loopback port, trusted), "none" (nothing listening there),
               "untrusted" (the loopback server has a certificate of a second CA that is not trusted),
               "package-untrusted" / "package-refused" (catalogue fine, the packages' base address names a
               second server with an untrusted certificate / a port where nothing listens).
    catalogue: "good" (lists every model, ours last), "error-404", "error-500", "truncated" / "reset"
               (cut off just before the root element closes, after our entry), "huge" (over 20 MB, ours
               last), "nine-mib" (9 MiB, its length announced), "endless" (no length, never ends),
               "nested-64" / "nested-65" (elements that deep beside our entry), "nested-deep" (100000
               levels), "redirect-loop", "redirect-http" (to the same document on a plain-http server),
               "redirect-ftp" (to an ftp address where a listener records connections), "silent" (no
               headers for far longer than the stall limit), "stall" (a third of the body, then silence),
               "trickle" (one byte every 1.5 s), "second-model-only" (lists only the second device's model),
               "ours-unlisted" (every entry but ours, which has an unlisted product id), "no-entries" (a root
               without children), "json" / "empty" / "html-page" (200 with a JSON text, no bytes, an HTML
               page), "truncated-early" / "reset-early" (cut off after 300 bytes), "processing-instruction"
               (one before the root closes), "overlong-utf8" (an overlong UTF-8 "<" before the root closes).
    delivery:  how the package address is answered: "file", "error-404", "error-500", "truncated" (half
               the body against its length), "reset" (TCP reset mid-body), "reset-third" (reset at once
               after a third of the announced body), "reset-unannounced" (no length, reset after a third),
               "redirect-loop", "redirect-http" (a redirect to the same package on a plain-http server),
               "redirect-https" (to the same package on a second https server), "redirects-allowed" /
               "redirects-too-many" (five / six redirects of every status, relative and absolute),
               "silent", "stall", "trickle" (as for the catalogue), "slow-moving" (20 KB/s throughout, a
               package padded to take several stall limits), "html-page" (200 with an HTML page),
               "empty-body" (200 with no bytes), "truncated-slowly" (all but 10 bytes of the body in 4 KiB
               steps, then a clean close), "redirect-self" (a redirect to the same address).
    package:   "good", "corrupt-data" (a data entry's compressed stream damaged), "truncated-archive" (the
               first half of the zip, no central directory), "empty-archive" (a zip of no entries),
               "setup-folder" (a folder named Setup.exe), "link-entry", "non-utf8-name", "not-a-program"
               (Setup.exe is a text of shell commands), "signal-script" (Setup.exe is a script that kills
               itself with SIGSEGV), "bomb" (a data entry that declares 1 KB and inflates to 100 MB, before
               Setup.exe), "lzma-entry" (a data entry compressed with LZMA, method 14), "zip64" (made by
               Info-ZIP's ``zip -fz``: zip64 end records and extra fields).
    subfolder: where Setup.exe sits in the package folder: "native" (the folder for the build at hand:
               x64 on Linux, x64_Win10 on Windows 10), "other" (the other one of x64 / x64_Win10), "x86".
    entries:   extra entries after Setup.exe, as (name, text); "{sentinel}" is replaced (see module doc),
               "{setup}" by the Setup.exe entry's own name and "{SETUP}" by that name in capitals.
    package_name: the driver file name the catalogue gives for our model.
    setup_env: FAKE_SETUP_* settings for the stand-in setup program.
    disk:      "as-left" (an earlier run's working folder), "working-path-file" (a file where the working
               folder goes), "working-path-link" (a link to the sentinel tree where the working folder
               goes), "outer-path-file" (a file named Tarnwell), "read-only-temp" (the temporary
               folder cannot be written, no Tarnwell folder in it), "read-only-outer" (Tarnwell and the
               earlier working folder cannot be written), "read-only-inner" (one sub-folder of the earlier
               working folder cannot be written, so the old folder cannot be emptied).
    devices:   "one" (our model and a foreign device), "none", "unsupported" (a foreign device and a
               maker's device with an unlisted product id), "several" (our model, then a second model).
    token:     "elevated", or "limited" (not root on Linux; a limited token under Wine).
    package_hash: the sha256 attribute of our entry: "none" (no attribute), "match" (the package's SHA-256
               in upper case), "mismatch" (another file's), "short" (63 of its digits), "non-hex" (its digits
               with one "g"), "empty" (sha256="").
    installer: "plain" (StrellDriverInstaller-loopback, which has no signing keys) or "signed" (built with
               the test keys a and b).
    signature: the catalogue's signature comment: "none", "key-a" / "key-b" (signed by a test key the
               signed build knows), "other-key" (by a key it does not know), "tampered" (signed by a, then
               our entry's name changed).
    """

    server: str = "ok"
    catalogue: str = "good"
    delivery: str = "file"
    package: str = "good"
    subfolder: str = "native"
    entries: Tuple[Tuple[str, str], ...] = ()
    package_name: str = PACKAGE
    setup_env: Tuple[Tuple[str, str], ...] = ()
    disk: str = "as-left"
    devices: str = "one"
    token: str = "elevated"
    package_hash: str = "none"
    installer: str = "plain"
    signature: str = "none"

    def describe(self) -> str:
        """Gives back the fields that differ from an ordinary run, as "name=value" texts."""
        parts = []
        for name, default in Setup.__dataclass_fields__.items():
            value = getattr(self, name)
            if value != default.default:
                if name == "entries":
                    value = ", ".join(entry for entry, _ in value)
                elif name == "setup_env":
                    value = ", ".join(f"{k}={v}" for k, v in value)
                parts.append(f"{name}={value}")
        return "; ".join(parts) or "ordinary run"


PerBuild = Union[str, Dict[str, str]]


@dataclass(frozen=True)
class Case:
    """One row. exit: the code each build's starting process reads (its keys are the builds the row runs
    on). stdout / stderr: regular expressions for the whole text, one for both builds or one per build.
    runs: how many times the setup program runs (one number, or one per build). asks: what the loopback
    server is asked: "nothing", "catalogue" (the catalogue only), "package" (the catalogue, then the
    package), or None (not checked). checks: further checks by name, done by the runners."""

    id: str
    area: str
    fault: str
    setup: Setup
    exit: Dict[str, int]
    stderr: PerBuild = ""
    stdout: PerBuild = ""
    runs: Union[int, Dict[str, int]] = 0
    asks: Optional[str] = "package"
    checks: Tuple[str, ...] = ()
    note: str = ""
    bound_s: int = 90

    @property
    def builds(self) -> Tuple[str, ...]:
        return tuple(build for build in BUILDS if build in self.exit)

    def stderr_for(self, build: str) -> str:
        return self.stderr if isinstance(self.stderr, str) else self.stderr.get(build, "")

    def stdout_for(self, build: str) -> str:
        return self.stdout if isinstance(self.stdout, str) else self.stdout.get(build, "")

    def runs_for(self, build: str) -> int:
        return self.runs if isinstance(self.runs, int) else self.runs.get(build, 0)


def zip_error(message: str) -> str:
    """Takes a pattern for the unpacking's message; gives back the pattern of the whole diagnostic."""
    return "zip error:" + message + r"\n"


def outside(name_pattern: str) -> str:
    return zip_error("Entry " + name_pattern + " is outside the target directory")


def cannot_unpack(name_pattern: str, part: str, why_pattern: str) -> str:
    """Takes a pattern for an entry's name, the part of it Windows would change (plain text) and a pattern for
    why; gives back the pattern of the diagnostic that refuses the package."""
    return zip_error("Entry " + name_pattern + ' cannot be unpacked under that name on Windows: "' +
                     re.escape(part) + '" ' + why_pattern)


def same_file(name_pattern: str, first_pattern: str) -> str:
    return zip_error("Entry " + name_pattern + " names the same file on Windows as entry " + first_pattern)


# The Setup.exe entry of the package as the builds' patterns name it (x64 on Linux, x64_Win10 on Windows).
SETUP_ENTRY = r"Tarnwell_Corvel_1\.2\.0\.7/x64(_Win10)?/Setup\.exe"
# An entry whose full path passes what Windows opens, whatever the temporary folder: its folder stays short.
LONG_PATH_ENTRY = "Tarnwell_Corvel_1.2.0.7/" + "d" * 60 + "/" + "f" * 200 + ".txt"


# Extra checks the runners know (see the runners' check_* methods).
CHECK_DAMAGED_FILE_DIFFERS = "damaged-file-unpacked-unnoticed"
CHECK_SETUP_PROGRAM_UNPACKED = "setup-program-unpacked"  # entries before a refused one stay
CHECK_OTHER_SERVER_ASKED = "package-fetched-from-the-second-server"
CHECK_EARLIER_RUN_KEPT = "earlier-run-files-still-there"
CHECK_PACKAGE_ASKED_ONCE = "package-asked-once"
CHECK_NOTHING_UNPACKED = "nothing-unpacked"
CHECK_SECOND_NOT_ASKED = "second-model-not-asked"
CHECK_DRIVE_ROOTS_UNTOUCHED = "nothing-at-the-drive-roots"
CHECKS_BY_BUILD = {
    LINUX: (CHECK_DAMAGED_FILE_DIFFERS, CHECK_SETUP_PROGRAM_UNPACKED, CHECK_OTHER_SERVER_ASKED, CHECK_EARLIER_RUN_KEPT,
            CHECK_SECOND_NOT_ASKED, CHECK_PACKAGE_ASKED_ONCE, CHECK_NOTHING_UNPACKED),
    WINDOWS: (CHECK_SETUP_PROGRAM_UNPACKED, CHECK_OTHER_SERVER_ASKED, CHECK_EARLIER_RUN_KEPT, CHECK_DRIVE_ROOTS_UNTOUCHED,
              CHECK_PACKAGE_ASKED_ONCE, CHECK_NOTHING_UNPACKED),
}

CASES = (
    # Server
    Case("server-refused", "server", "nothing listens on the catalogue's port",
         Setup(server="none"), both(DRIVER_PACKAGE_FAILED), asks=None),
    Case("server-untrusted-catalogue", "server", "the catalogue server's certificate is from an untrusted CA",
         Setup(server="untrusted"), both(DRIVER_PACKAGE_FAILED), asks="nothing"),
    Case("server-untrusted-package", "server", "the package server's certificate is from an untrusted CA",
         Setup(server="package-untrusted"), both(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("server-refused-package", "server", "nothing listens where the package address points",
         Setup(server="package-refused"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-truncated", "server", "catalogue cut short (clean close) after our entry, root not closed",
         Setup(catalogue="truncated"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-reset", "server", "catalogue connection reset after our entry, root not closed",
         Setup(catalogue="reset"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-404", "server", "catalogue answered with a 404 page",
         Setup(catalogue="error-404"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-500", "server", "catalogue answered with a 500 page",
         Setup(catalogue="error-500"), both(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-without-our-model", "server", "every model listed but ours",
         Setup(catalogue="ours-unlisted"), both(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-no-entries", "server", "a catalogue root without children",
         Setup(catalogue="no-entries"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-json", "server", "a JSON text with status 200 instead of the catalogue",
         Setup(catalogue="json"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-empty", "server", "status 200 with no bytes instead of the catalogue",
         Setup(catalogue="empty"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-html-page", "server", "an HTML page with status 200 instead of the catalogue",
         Setup(catalogue="html-page"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-truncated-early", "server", "catalogue cut short (clean close) after 300 bytes",
         Setup(catalogue="truncated-early"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-reset-early", "server", "catalogue connection reset after 300 bytes",
         Setup(catalogue="reset-early"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-processing-instruction", "server", "a processing instruction before the root closes",
         Setup(catalogue="processing-instruction"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue", note="a parser that waited for the instruction to end would hang"),
    Case("catalogue-overlong-utf8", "server", 'an overlong UTF-8 "<" before the root closes',
         Setup(catalogue="overlong-utf8"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue", note="a parser that read it as \"<\" would hang"),
    Case("catalogue-huge", "server", "catalogue of over 20 MB, our entry last (refused: past 8 MiB)",
         Setup(catalogue="huge"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue", bound_s=60),
    Case("catalogue-nine-mib", "server", "catalogue of 9 MiB, its length announced (refused unread)",
         Setup(catalogue="nine-mib"), both(DRIVER_PACKAGE_FAILED), asks="catalogue", bound_s=60),
    Case("catalogue-endless", "server", "catalogue without a length that never ends",
         Setup(catalogue="endless"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue", bound_s=30),
    Case("catalogue-nested-64", "server", "elements nested 64 deep beside our entry (the deepest allowed)",
         Setup(catalogue="nested-64", setup_env=(("EXIT_CODE", "15"),)), linux_only(15), runs=1),
    Case("catalogue-nested-65", "server", "elements nested 65 deep beside our entry",
         Setup(catalogue="nested-65"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-nested-deep", "server", "elements nested 100000 deep (a parser that recursed would crash)",
         Setup(catalogue="nested-deep"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-redirect-loop", "server", "catalogue address redirects in a loop",
         Setup(catalogue="redirect-loop"), linux_only(DRIVER_PACKAGE_FAILED), asks=None),
    Case("catalogue-redirect-to-http", "server", "catalogue address redirects to plain http (never asked)",
         Setup(catalogue="redirect-http"), both(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-redirect-to-ftp", "server", "catalogue address redirects to ftp (never connected to)",
         Setup(catalogue="redirect-ftp"), both(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("catalogue-silent", "server", "catalogue server accepts the request, then sends nothing",
         Setup(catalogue="silent"), both(DRIVER_PACKAGE_FAILED), asks="catalogue", bound_s=30),
    Case("catalogue-stall", "server", "catalogue server stops after a third of the body",
         Setup(catalogue="stall"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue", bound_s=30),
    Case("catalogue-trickle", "server", "catalogue arrives one byte every 1.5 s",
         Setup(catalogue="trickle"), linux_only(DRIVER_PACKAGE_FAILED), asks="catalogue", bound_s=30),
    Case("package-truncated", "server", "package body cut short against its Content-Length",
         Setup(delivery="truncated"), both(DRIVER_PACKAGE_FAILED), checks=(CHECK_NOTHING_UNPACKED,)),
    Case("package-truncated-slowly", "server", "package body sent slowly, cut 10 bytes short of its Content-Length",
         Setup(delivery="truncated-slowly"), linux_only(DRIVER_PACKAGE_FAILED)),
    Case("package-reset", "server", "package connection reset mid-body",
         Setup(delivery="reset"), both(DRIVER_PACKAGE_FAILED), checks=(CHECK_NOTHING_UNPACKED,)),
    Case("package-reset-third", "server", "package connection reset at once after a third of the announced body",
         Setup(delivery="reset-third"), both(DRIVER_PACKAGE_FAILED), bound_s=30),
    Case("package-reset-unannounced", "server", "package without a length, reset after a third",
         Setup(delivery="reset-unannounced"), both(DRIVER_PACKAGE_FAILED), bound_s=30),
    Case("package-silent", "server", "package server accepts the request, then sends nothing",
         Setup(delivery="silent"), linux_only(DRIVER_PACKAGE_FAILED), bound_s=30),
    Case("package-stall", "server", "package server stops after a third of the body",
         Setup(delivery="stall"), both(DRIVER_PACKAGE_FAILED), bound_s=30),
    Case("package-trickle", "server", "package arrives one byte every 1.5 s after its first third",
         Setup(delivery="trickle"), linux_only(DRIVER_PACKAGE_FAILED), bound_s=30),
    Case("package-slow-moving", "server", "package arrives at 20 KB/s throughout, over several stall limits",
         Setup(delivery="slow-moving", setup_env=(("EXIT_CODE", "21"),),
               entries=(("Tarnwell_Corvel_1.2.0.7/filler.txt", "{filler}"),)), linux_only(21), runs=1),
    Case("package-404", "server", "package answered with a 404 page (saved and opened as a zip)",
         Setup(delivery="error-404"), both(SETUP_PROGRAM_MISSING), checks=(CHECK_PACKAGE_ASKED_ONCE,)),
    Case("package-500", "server", "package answered with a 500 page (saved and opened as a zip)",
         Setup(delivery="error-500"), linux_only(SETUP_PROGRAM_MISSING)),
    Case("package-redirect-loop", "server", "package address redirects in a loop",
         Setup(delivery="redirect-loop"), both(DRIVER_PACKAGE_FAILED)),
    Case("package-redirect-to-itself", "server", "package address redirects to itself",
         Setup(delivery="redirect-self"), linux_only(DRIVER_PACKAGE_FAILED)),
    Case("package-redirect-to-http", "server", "package address redirects from https to plain http",
         Setup(delivery="redirect-http"), both(DRIVER_PACKAGE_FAILED),
         note="nothing is asked of the plain-http server"),
    Case("package-redirect-to-https", "server", "package address redirects to a second https server",
         Setup(delivery="redirect-https", setup_env=(("EXIT_CODE", "16"),)), both(16), runs=1,
         checks=(CHECK_OTHER_SERVER_ASKED,)),
    Case("package-redirects-allowed", "server", "five redirects (301, 302, 303, 307, 308; relative and absolute)",
         Setup(delivery="redirects-allowed", setup_env=(("EXIT_CODE", "22"),)), both(22), runs=1),
    Case("package-redirects-too-many", "server", "six redirects: the sixth is not followed",
         Setup(delivery="redirects-too-many"), linux_only(DRIVER_PACKAGE_FAILED)),
    # Package
    Case("zip-slip-parent", "package", 'entry "../escaped.txt" (into Tarnwell, beside the working folder)',
         Setup(entries=(("../escaped.txt", "outside\n"),)), linux_only(DRIVER_PACKAGE_FAILED),
         stderr=outside(r"\.\./escaped\.txt"), checks=(CHECK_SETUP_PROGRAM_UNPACKED,)),
    Case("zip-slip-two-up", "package", 'entry "../../escaped.txt" (into the temporary folder itself)',
         Setup(entries=(("../../escaped.txt", "outside\n"),)), linux_only(DRIVER_PACKAGE_FAILED),
         stderr=outside(r"\.\./\.\./escaped\.txt")),
    Case("zip-slip-inner", "package", 'entry "a/../../../escaped.txt" (climbs out of the working folder midway)',
         Setup(entries=(("a/../../../escaped.txt", "outside\n"),)), linux_only(DRIVER_PACKAGE_FAILED),
         stderr=outside(r"a/\.\./\.\./\.\./escaped\.txt"), checks=(CHECK_SETUP_PROGRAM_UNPACKED,)),
    Case("zip-slip-absolute", "package", "entry with an absolute path into the sentinel tree",
         Setup(entries=(("{sentinel}/escaped-absolute.txt", "outside\n"),)), linux_only(DRIVER_PACKAGE_FAILED),
         stderr=outside(r"/.+/sentinel/escaped-absolute\.txt"), checks=(CHECK_SETUP_PROGRAM_UNPACKED,)),
    Case("zip-slip-backslash", "package", 'entry "..\\escaped.txt" (a backslash separator)',
         Setup(entries=(("..\\escaped.txt", "outside\n"),)), both(DRIVER_PACKAGE_FAILED),
         stderr={LINUX: outside(r"\.\./escaped\.txt"), WINDOWS: outside(r"\.\.\\escaped\.txt")},
         checks=(CHECK_SETUP_PROGRAM_UNPACKED,),
         note="on Linux JUCE turns backslashes into slashes before its check, so the message shows ../"),
    Case("zip-slip-drive", "package", 'entry "C:\\...\\sentinel\\escaped-drive.txt" (a drive-letter path)',
         Setup(entries=(("{sentinel}\\escaped-drive.txt", "outside\n"),)), windows_only(DRIVER_PACKAGE_FAILED),
         stderr=cannot_unpack(r"C:\\.+\\sentinel\\escaped-drive\.txt", "C:", r"holds a colon \(a drive or a stream of a file\)"),
         checks=(CHECK_NOTHING_UNPACKED,), note="a colon in any part is refused before anything is written"),
    Case("zip-slip-rooted", "package", 'entry "\\strell-fault-escaped.txt" (the root of the current drive)',
         Setup(entries=(("\\strell-fault-escaped.txt", "outside\n"),)), windows_only(DRIVER_PACKAGE_FAILED),
         stderr=outside(r"\\strell-fault-escaped\.txt"),
         checks=(CHECK_SETUP_PROGRAM_UNPACKED, CHECK_DRIVE_ROOTS_UNTOUCHED)),
    Case("package-entry-case-twin", "package", "Setup.exe again later, its name in capitals (one file on Windows)",
         Setup(entries=(("{SETUP}", "a second program\n"),)), both(DRIVER_PACKAGE_FAILED),
         stderr=same_file(SETUP_ENTRY.upper(), SETUP_ENTRY),
         checks=(CHECK_NOTHING_UNPACKED,),
         note="names are compared as Windows reads them, in every build, before anything is written"),
    Case("package-entry-twice", "package", "Setup.exe twice under the same name",
         Setup(entries=(("{setup}", "a second program\n"),)), both(DRIVER_PACKAGE_FAILED),
         stderr=same_file(SETUP_ENTRY, SETUP_ENTRY), checks=(CHECK_NOTHING_UNPACKED,),
         note="the later entry was written over the first"),
    Case("package-entry-trailing-dot", "package", 'Setup.exe again as "Setup.exe." (Windows drops the dot)',
         Setup(entries=(("{setup}.", "a second program\n"),)), both(DRIVER_PACKAGE_FAILED),
         stderr=cannot_unpack(SETUP_ENTRY + r"\.", "Setup.exe.", "ends in a dot"), checks=(CHECK_NOTHING_UNPACKED,)),
    Case("package-entry-trailing-space", "package", '"readme.txt " beside readme.txt (Windows drops the space)',
         Setup(entries=(("Tarnwell_Corvel_1.2.0.7/readme.txt ", "another readme\n"),)), both(DRIVER_PACKAGE_FAILED),
         stderr=cannot_unpack(r"Tarnwell_Corvel_1\.2\.0\.7/readme\.txt ", "readme.txt ", "ends in a space"),
         checks=(CHECK_NOTHING_UNPACKED,)),
    Case("package-entry-stream", "package", 'an entry "Setup.exe:payload" (a stream of Setup.exe on NTFS)',
         Setup(entries=(("{setup}:payload", "hidden\n"),)), both(DRIVER_PACKAGE_FAILED),
         stderr=cannot_unpack(SETUP_ENTRY + ":payload", "Setup.exe:payload",
                              r"holds a colon \(a drive or a stream of a file\)"),
         checks=(CHECK_NOTHING_UNPACKED,)),
    Case("package-path-too-long", "package", "an entry whose full path passes 259 characters",
         Setup(entries=((LONG_PATH_ENTRY, "far down\n"),)), both(DRIVER_PACKAGE_FAILED),
         stderr=zip_error("Entry " + re.escape(LONG_PATH_ENTRY) + r" would be unpacked to .+" +
                          re.escape(LONG_PATH_ENTRY.split("/")[-1]) +
                          r", a path of \d+ UTF-16 units: Windows opens files of at most 259"),
         checks=(CHECK_NOTHING_UNPACKED,),
         note="refused before anything is written: Windows opens longer paths only under a machine-wide policy, "
              "and the setup program is started by its path"),
    Case("package-corrupt-entry", "package", "a data entry's compressed stream is damaged (CRC no longer matches)",
         Setup(package="corrupt-data", setup_env=(("EXIT_CODE", "17"),)), both(DRIVER_PACKAGE_FAILED),
         stderr=zip_error(r"Entry Tarnwell_Corvel_1\.2\.0\.7/data/firmware\.bin is damaged: "
                          r"its (CRC-32 does not match|size does not match|compressed data is invalid)"),
         checks=(CHECK_SETUP_PROGRAM_UNPACKED,),
         note="every entry's data is checked against its CRC-32 and size; the damaged file is removed"),
    Case("package-bomb", "package", "a data entry declares 1 KB but inflates to 100 MB (before Setup.exe)",
         Setup(package="bomb"), both(DRIVER_PACKAGE_FAILED),
         stderr=zip_error(r"Entry Tarnwell_Corvel_1\.2\.0\.7/data/firmware\.bin is damaged: "
                          r"it inflates past its declared size"),
         note="inflating stops one byte past the declared size: nothing beyond it is written"),
    Case("package-lzma-entry", "package", "a data entry compressed with LZMA (method 14)",
         Setup(package="lzma-entry"), both(DRIVER_PACKAGE_FAILED),
         stderr=zip_error(r"Entry Tarnwell_Corvel_1\.2\.0\.7/data/firmware\.bin uses compression method 14 "
                          r"\(LZMA\), which cannot be unpacked"),
         note="every entry's method is checked before anything is written"),
    Case("package-zip64", "package", "a zip64 package with zip64 end records (Info-ZIP zip -fz)",
         Setup(package="zip64", setup_env=(("EXIT_CODE", "21"),)), both(21), runs=1),
    Case("package-truncated-archive", "package", "the zip's second half missing (no central directory)",
         Setup(package="truncated-archive"), linux_only(SETUP_PROGRAM_MISSING)),
    Case("package-empty-archive", "package", "a zip without entries",
         Setup(package="empty-archive"), linux_only(SETUP_PROGRAM_MISSING)),
    Case("package-empty-body", "package", "the package answered with 200 and no bytes",
         Setup(delivery="empty-body"), linux_only(SETUP_PROGRAM_MISSING)),
    Case("package-html-page", "package", "an HTML page with status 200 instead of a zip",
         Setup(delivery="html-page"), linux_only(SETUP_PROGRAM_MISSING)),
    Case("package-only-x86", "package", "Setup.exe only in the x86 sub-folder",
         Setup(subfolder="x86"), linux_only(SETUP_PROGRAM_MISSING),
         checks=(CHECK_SETUP_PROGRAM_UNPACKED,)),
    Case("package-other-windows-folder", "package",
         "Setup.exe only in the folder for the other Windows generation (x64_Win10 on Linux, x64 on Windows 10)",
         Setup(subfolder="other"), both(SETUP_PROGRAM_MISSING)),
    Case("package-hash-matches", "package", "our entry gives the package's SHA-256 (upper-case digits)",
         Setup(package_hash="match", setup_env=(("EXIT_CODE", "23"),)), both(23), runs=1),
    Case("package-hash-mismatch", "package", "our entry gives another file's SHA-256 (the package was replaced)",
         Setup(package_hash="mismatch"), both(DRIVER_PACKAGE_FAILED),
         note="refused after the download, before anything is unpacked or run"),
    Case("package-hash-reset", "package", "our entry gives the package's SHA-256; its connection is reset mid-body",
         Setup(package_hash="match", delivery="reset"), both(DRIVER_PACKAGE_FAILED),
         note="a body cut short claims no digest: refused as the broken download it is"),
    Case("package-hash-short", "package", "our entry's sha256 has 63 hexadecimal digits",
         Setup(package_hash="short"), linux_only(DRIVER_PACKAGE_FAILED), note="a malformed hash never matches"),
    Case("package-hash-non-hex", "package", "our entry's sha256 has a non-hexadecimal character",
         Setup(package_hash="non-hex"), linux_only(DRIVER_PACKAGE_FAILED)),
    Case("package-hash-empty", "package", 'our entry has sha256=""',
         Setup(package_hash="empty"), linux_only(DRIVER_PACKAGE_FAILED),
         note="an empty value does not turn the check off"),
    Case("signed-by-first-key", "package", "signed build, catalogue signed by its first key, entries pinned",
         Setup(installer="signed", signature="key-a", package_hash="match", setup_env=(("EXIT_CODE", "24"),)),
         both(24), runs=1),
    Case("signed-by-second-key", "package", "signed build, catalogue signed by its second key",
         Setup(installer="signed", signature="key-b", package_hash="match", setup_env=(("EXIT_CODE", "25"),)),
         both(25), runs=1, note="a key rotation: an installer knows the current key and the next"),
    Case("signed-tampered", "package", "signed build, catalogue changed after signing (one entry's name)",
         Setup(installer="signed", signature="tampered", package_hash="match"), both(DRIVER_PACKAGE_FAILED),
         asks="catalogue", note="refused before the catalogue is parsed"),
    Case("signed-by-other-key", "package", "signed build, catalogue signed by a key the build does not know",
         Setup(installer="signed", signature="other-key", package_hash="match"), both(DRIVER_PACKAGE_FAILED),
         asks="catalogue"),
    Case("signed-signature-missing", "package", "signed build, catalogue without a signature comment",
         Setup(installer="signed", package_hash="match"), both(DRIVER_PACKAGE_FAILED), asks="catalogue"),
    Case("signed-entry-without-sha256", "package", "signed build, validly signed entry without sha256",
         Setup(installer="signed", signature="key-a"), both(DRIVER_PACKAGE_FAILED), asks="catalogue",
         note="a signature vouches for the package only through its hash"),
    Case("unsigned-build-signed-catalogue", "package", "build without keys, catalogue with a signature comment",
         Setup(signature="key-a", setup_env=(("EXIT_CODE", "26"),)), both(26), runs=1,
         note="read exactly as the catalogue without its comment"),
    Case("package-name-msi", "package", "the driver file name ends in .msi (downloaded, then deleted unused)",
         Setup(package_name="Tarnwell_Corvel_1.2.0.7.msi"), linux_only(DRIVER_PACKAGE_FAILED),
         checks=(CHECK_PACKAGE_ASKED_ONCE,)),
    Case("package-name-tar-gz", "package", "the driver file name ends in .zip.tar.gz",
         Setup(package_name="Tarnwell_Corvel_1.2.0.7.zip.tar.gz"), linux_only(DRIVER_PACKAGE_FAILED),
         checks=(CHECK_PACKAGE_ASKED_ONCE,)),
    Case("package-name-empty", "package", 'the driver file name is "" (the base address itself is fetched)',
         Setup(package_name=""), linux_only(DRIVER_PACKAGE_FAILED),
         checks=(CHECK_PACKAGE_ASKED_ONCE,)),
    Case("package-setup-is-a-folder", "package", "Setup.exe is a folder",
         Setup(package="setup-folder"), linux_only(SETUP_PROGRAM_MISSING)),
    Case("package-link-entry", "package", "a symbolic-link entry pointing at the sentinel tree",
         Setup(package="link-entry"), linux_only(DRIVER_PACKAGE_FAILED),
         stderr=zip_error(r"Entry Tarnwell_Corvel_1\.2\.0\.7/drop is a symbolic link")),
    Case("package-non-utf8-name", "package", "an entry name that is not UTF-8",
         Setup(package="non-utf8-name"), linux_only(DRIVER_PACKAGE_FAILED),
         stderr=zip_error("Entry name is not valid UTF-8")),
    # Setup program
    Case("setup-access-violation", "setup", "the setup program crashes (exit code 0xC0000005)",
         Setup(setup_env=(("EXIT_CODE", str(ACCESS_VIOLATION)),)), windows_only(ACCESS_VIOLATION), runs=1),
    Case("setup-killed-by-signal", "setup", "the setup program is killed by SIGSEGV",
         Setup(package="signal-script"), linux_only(SIGNAL_EXIT_BASE + SIGSEGV), runs=1,
         note="a child ended by signal N gives 128 + N, as shells report it: the crash never reads as success"),
    Case("setup-exits-minus-3", "setup", "the setup program itself exits with -3",
         Setup(setup_env=(("EXIT_CODE", str(DRIVER_PACKAGE_FAILED & 0xFFFFFFFF)),)), both(DRIVER_PACKAGE_FAILED),
         runs=1, note="indistinguishable from the installer's own driverPackageFailed"),
    Case("setup-huge-output", "setup", "the setup program writes 10 MB to stdout and 2.5 MB to stderr",
         Setup(setup_env=(("OUTPUT_BYTES", str(10 * 1024 * 1024)), ("EXIT_CODE", "18"))), both(18), runs=1, bound_s=150),
    Case("setup-not-a-program", "setup", "Setup.exe is a text of shell commands, not a program",
         Setup(package="not-a-program"), both(SETUP_PROGRAM_MISSING),
         note="Windows cannot start it; Linux starts only ELF files and \"#!\" scripts, never through a shell, "
              "so the text (which would exit 7) does not run"),
    Case("setup-download-is-an-error-page", "setup", "an .exe driver address answered with a 404 page",
         Setup(package_name=SETUP_EXE, delivery="error-404"), both(SETUP_PROGRAM_MISSING),
         note="the saved page is no program on either build: nothing runs"),
    # Disk
    Case("disk-working-path-is-a-file", "disk", "a file where the working folder goes",
         Setup(disk="working-path-file", setup_env=(("EXIT_CODE", "19"),)), linux_only(19), runs=1,
         note="the file is deleted like an earlier working folder and the run goes on"),
    Case("disk-outer-path-is-a-file", "disk", "a file named Tarnwell where the working folder's parent goes",
         Setup(disk="outer-path-file"), linux_only(DRIVER_PACKAGE_FAILED), asks="nothing"),
    Case("disk-temp-read-only", "disk", "the temporary folder cannot be written",
         Setup(disk="read-only-temp"), linux_only(DRIVER_PACKAGE_FAILED), asks="nothing"),
    Case("disk-working-path-is-a-link", "disk", "a link to the sentinel tree where the working folder goes",
         Setup(disk="working-path-link", setup_env=(("EXIT_CODE", "21"),)), linux_only(21), runs=1,
         note="the link itself is removed, never followed: the sentinel tree stays whole and the run goes on"),
    Case("disk-working-folder-read-only", "disk", "Tarnwell and an earlier working folder cannot be written",
         Setup(disk="read-only-outer"), both(DRIVER_PACKAGE_FAILED), asks="nothing",
         checks=(CHECK_EARLIER_RUN_KEPT,),
         note="the old working folder cannot be emptied: the step ends before the progress window opens and "
              "before anything is fetched or unpacked. Linux: a read-only bind mount in the test's namespace "
              "(root ignores permissions); Wine: the immutable attribute (chattr +i) on the Linux folders, "
              "since a read-only attribute set through Windows does not stop writes"),
    Case("disk-working-folder-not-emptied", "disk",
         "one sub-folder of the earlier working folder cannot be written (the old folder cannot be emptied)",
         Setup(disk="read-only-inner"), both(DRIVER_PACKAGE_FAILED), asks="nothing",
         note="no new package beside what is left of the old one: the step ends before the progress window "
              "opens; arranged as for disk-working-folder-read-only, on that sub-folder only"),
    # Devices and token
    Case("devices-none", "devices", "no USB device at all",
         Setup(devices="none"), both(NO_SUPPORTED_DEVICE), asks="nothing"),
    Case("devices-unsupported-only", "devices", "only a foreign device and a maker's device with an unlisted id",
         Setup(devices="unsupported"), linux_only(NO_SUPPORTED_DEVICE), asks="nothing"),
    Case("devices-several-supported", "devices", "two supported models: one driver step, for the first found",
         Setup(devices="several", setup_env=(("EXIT_CODE", "20"),)), linux_only(20), runs=1,
         checks=(CHECK_SECOND_NOT_ASKED,)),
    Case("devices-first-not-in-catalogue", "devices",
         "two supported models, the catalogue lists only the second: no fall-back to it",
         Setup(devices="several", catalogue="second-model-only"), linux_only(DRIVER_PACKAGE_FAILED),
         asks="catalogue", checks=(CHECK_SECOND_NOT_ASKED,)),
    Case("devices-not-elevated", "devices", "the installer runs without elevation",
         Setup(token="limited"), both(NOT_ELEVATED), asks="nothing"),
)


def case(case_id: str) -> Case:
    """Takes an id; gives back its row."""
    for row in CASES:
        if row.id == case_id:
            return row
    raise KeyError(case_id)


def cases_for(build: str):
    """Takes a build; gives back its rows in table order."""
    return [row for row in CASES if build in row.builds]


def selected_cases(build: str):
    """Takes a build; gives back its rows, only those named in $FAULT_CASES (ids, comma-separated) when set."""
    wanted = [name for name in os.environ.get("FAULT_CASES", "").split(",") if name]
    return [row for row in cases_for(build) if not wanted or row.id in wanted]


def _code_text(build: str, code: int) -> str:
    for value, name in CODE_NAMES.items():
        if seen_by(build, value) == code:
            return f"{code} ({name})"
    return str(code)


def _cell(text: str) -> str:
    return text.replace("|", "\\|").replace("\n", " ")


def _pattern_text(pattern: str) -> str:
    if pattern == "":
        return "nothing"
    return "`" + pattern.replace("`", "'") + "`"


def render_markdown() -> str:
    """Gives back the matrix as the Markdown of MATRIX.md."""
    lines = [
        "# Fault matrix",
        "",
        "Whole runs of the installer built for tests under one fault each. Written by "
        "`tests/faults/fault_matrix.py --write` from the table in that file; a test checks that the two agree.",
        "",
        "Exit codes: Linux as the shell reads them (the low 8 bits), Windows as a Windows parent reads them "
        "(32 bits, unsigned); \"-\" where the case does not run on that build. Diagnostics are regular "
        "expressions for the whole standard error text; standard output stays empty in every case. Every "
        "case also checks that the progress window is closed, the downloaded file is gone, nothing outside "
        "the working folder changed, an earlier run's files in it are gone when the run got to the driver step "
        "(kept when it did not), and the run ended within its bound.",
        "",
        f"{len(CASES)} cases: " + ", ".join(f"{area} {sum(1 for c in CASES if c.area == area)}" for area in AREAS)
        + f"; {len(cases_for(LINUX))} on Linux, {len(cases_for(WINDOWS))} under Wine.",
        "",
        "| Case | Area | Fault | Setup | Linux exit | Windows exit | Diagnostic (stderr) | Setup runs | Notes |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for row in CASES:
        exits = [(_code_text(build, row.exit[build]) if build in row.exit else "-") for build in BUILDS]
        if isinstance(row.stderr, str):
            diagnostic = _pattern_text(row.stderr)
        else:
            diagnostic = "; ".join(f"{build}: {_pattern_text(row.stderr_for(build))}" for build in row.builds)
        if isinstance(row.runs, int):
            runs = str(row.runs)
        else:
            runs = ", ".join(f"{build} {row.runs_for(build)}" for build in row.builds)
        notes = "; ".join(part for part in (row.note, ", ".join(row.checks)) if part)
        lines.append("| " + " | ".join(_cell(text) for text in (
            row.id, row.area, row.fault, row.setup.describe(), exits[0], exits[1], diagnostic, runs, notes))
            + " |")
    return "\n".join(lines) + "\n"


MATRIX_DOC = Path(__file__).resolve().with_name("MATRIX.md")


def main(argv) -> int:
    if argv[1:] == ["--write"]:
        MATRIX_DOC.write_text(render_markdown())
        return 0
    sys.stdout.write(render_markdown())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
