"""What the fault-matrix runners share: the catalogue documents, driver packages and server answers a row's
Setup names, the temporary folder as an earlier run left it, the sentinel tree, and snapshots of folders
that a run must leave alone."""

import os
import random
import re
import tempfile
import zipfile
from dataclasses import dataclass
from pathlib import Path

from fault_matrix import LINUX, Setup
from strelltest.codes import CODE_NAMES, seen_by
from strelltest import native, packages, servers
from strelltest.packages import (CATALOGUE_PATH, DRIVER_FOLDER, package_stem,  # noqa: F401 (the runners' too)
                                 zip_bytes, zip_entry)

WINDOW_TITLE = "Downloading ASIO driver"
WORKING_FOLDER = ("Tarnwell", "StrellDriver")
LOG_FOLDER = ("Tarnwell", "Logs")
RUN_LOCK = ("Tarnwell", "StrellDriverInstaller.lock")  # made by every elevated run, kept
LOG_NAME = re.compile(r"StrellDriverInstaller-\d{8}-\d{6}(-[2-9])?\.log\Z")
LOG_LINE = re.compile(r" *\d+ ms  \S.*\Z")
LOG_EXIT_LINE = re.compile(r" *\d+ ms  exit (-?\d+)(?: (\w+))?: (.+)\Z")
# What the log folder is at the start of a run: the run makes it ("writable"), it cannot be written
# ("read-only"), or another user's file stands where it goes ("file": moved aside, and the run still logs).
LOG_FOLDER_STATES = ("writable", "read-only", "file")
LOG_FOLDER_FILE_TEXT = "a file where the log folder goes\n"
HUGE_CATALOGUE_BYTES = 20 * 1024 * 1024
OVERSIZED_CATALOGUE_BYTES = 9 * 1024 * 1024  # past the 8 MiB a catalogue may have
DEEP_NESTING = 100000
# Longer than the test variant's stall limit many times over: a run that waits for it has no watchdog.
SILENT_S = 40.0
TRICKLE_DELAY_S = 1.5  # one byte this often: far fewer than 1 KiB within any stall limit
SLOW_MOVING = dict(chunk_size=2048, chunk_delay=0.1)  # 20 KB/s, each chunk well within the stall limit
UNLISTED_PID = "0xfff0"  # no model's product id
REDIRECT_HOPS = 5  # the redirects a fetch follows; one more fails it
# Filler (stored) that makes the slow-moving package take two stall limits to arrive at 20 KB/s.
FILLER_TEXT = "".join(random.Random(7).choice("0123456789abcdef") for _ in range(160_000))

# Setup.exe stand-ins that are no program of the build. The environment reaches them through the installer.
NOT_A_PROGRAM = b'printf "%s\\n" "$0" >> "$FAKE_SETUP_SCRIPT_RECORD"\nexit 7\n'
SIGNAL_SCRIPT = b'#!/bin/sh\nprintf "%s\\n" "$0" >> "$FAKE_SETUP_SCRIPT_RECORD"\nkill -SEGV $$\nexit 99\n'
HTML_PAGE = b"<!DOCTYPE html>\n<html><body><h1>Downloads are moving</h1><p>Please try later.</p></body></html>\n"


def setup_subfolder(setup: Setup, build):
    """Takes a Setup and a build; gives back the sub-folder of the package folder that holds Setup.exe."""
    native = "x64" if build == LINUX else "x64_Win10"
    other = "x64_Win10" if build == LINUX else "x64"
    return {"native": native, "other": other}.get(setup.subfolder, setup.subfolder)


def native_subfolder(build):
    return "x64" if build == LINUX else "x64_Win10"


# Catalogue documents

def sha256_attribute(setup: Setup, package: bytes):
    """Takes a Setup and the package bytes served; gives back our entry's sha256 text, or None for none."""
    digest = packages.sha256_of(package)
    return {"none": None, "match": digest.upper(), "mismatch": packages.sha256_of(package + b"replaced"),
            "short": digest[:63], "non-hex": digest[:31] + "g" + digest[32:], "empty": ""}[setup.package_hash]


def catalogue_text(setup: Setup, base_url, our_pid, second_pid, other_pids, second_package, package=b""):
    """Takes a Setup, the packages' base address and product ids (ours, the second device's, the other
    models') and the package bytes served; gives back the catalogue document the Setup names, as text."""
    entries = [packages.Entry(f"0x{pid:04x}", f"Tarnwell_Model{pid:04x}_1.0.0.1.zip", f"Model {pid:04x}")
               for pid in other_pids]
    ours = packages.Entry(f"0x{our_pid:04x}", setup.package_name, "Corvel", sha256=sha256_attribute(setup, package))
    second = packages.Entry(f"0x{second_pid:04x}", second_package, "Second")
    kind = setup.catalogue
    if kind == "second-model-only":
        entries.append(second)
    elif kind in ("huge", "nine-mib"):
        size = len(packages.catalogue(base_url, entries))
        number = 0
        while size < (HUGE_CATALOGUE_BYTES if kind == "huge" else OVERSIZED_CATALOGUE_BYTES):
            # Product ids above 16 bits: never a model's.
            entries.append(packages.Entry(f"0x{0x10000 + number:x}", f"Tarnwell_Filler{number}_1.0.0.1.zip",
                                          f"Filler {number}"))
            size += len(packages.entry_line(entries[-1])) + 1
            number += 1
        entries.append(ours)
    elif kind == "no-entries":
        entries = []
    elif kind.startswith("nested-"):
        levels = DEEP_NESTING if kind == "nested-deep" else int(kind.split("-")[1]) - 1  # the root is a level
        entries += [ours, "<n>" * levels + "</n>" * levels]
    else:
        entries.append(packages.Entry(UNLISTED_PID, ours.driver, ours.name) if kind == "ours-unlisted" else ours)
        if setup.devices == "several":
            entries.append(second)
    return sign_as(setup, packages.catalogue(base_url, entries))


def sign_as(setup: Setup, text):
    """Takes a Setup and its catalogue text; gives back the text with the signature comment it names."""
    kind = setup.signature
    if kind == "none":
        return text
    signed = packages.sign_catalogue(text, {"key-a": "a", "key-b": "b", "other-key": "other",
                                            "tampered": "a"}[kind])
    if kind == "tampered":
        assert signed.count('name="Corvel"') == 1
        signed = signed.replace('name="Corvel"', 'name="Corvex"')
    return signed


def installer_name(setup: Setup):
    """Takes a Setup; gives back the name of the installer variant it runs."""
    return "StrellDriverInstaller-loopback" + ("-signed" if setup.installer == "signed" else "")


def catalogue_routes(setup: Setup, text, elsewhere=None):
    """Takes a Setup, its catalogue text and, for the redirects to another scheme, the address they point
    to; gives back {path: Route} for the catalogue server."""
    body = text.encode("utf-8")
    kind = setup.catalogue
    answers = {"json": servers.ok(b'{"interfaces": []}', content_type="application/json"),
               "empty": servers.ok(b"", content_type="application/xml"),
               "html-page": servers.ok(b"<html><body><p>Maintenance</p></body></html>", content_type="text/html"),
               "truncated-early": servers.truncated(body, 300), "reset-early": servers.reset(body, 300),
               "processing-instruction": servers.xml(text.replace("</interfaces>", "<?x?>e</interfaces>")),
               "overlong-utf8": servers.ok(body.replace(b"</interfaces>", b"\xC0\xBC?x?>e</interfaces>"),
                                           content_type="application/xml")}
    if kind in answers:
        return {CATALOGUE_PATH: answers[kind]}
    cut = body.rfind(b"</interfaces>")  # after our entry, before the root closes
    if kind == "error-404":
        return {CATALOGUE_PATH: servers.error_page(404)}
    if kind == "error-500":
        return {CATALOGUE_PATH: servers.error_page(500)}
    if kind == "truncated":
        return {CATALOGUE_PATH: servers.truncated(body, cut, content_type="application/xml")}
    if kind == "reset":
        return {CATALOGUE_PATH: servers.reset(body, cut, content_type="application/xml")}
    if kind == "redirect-loop":
        return {CATALOGUE_PATH: servers.redirect("/loop/interfaces.xml"),
                "/loop/interfaces.xml": servers.redirect(CATALOGUE_PATH)}
    if kind in ("redirect-http", "redirect-ftp"):
        return {CATALOGUE_PATH: servers.redirect(elsewhere)}
    if kind == "silent":
        return {CATALOGUE_PATH: servers.Route(body=body, content_type="application/xml", header_delay=SILENT_S)}
    if kind == "stall":
        return {CATALOGUE_PATH: _stalling(body, content_type="application/xml")}
    if kind == "trickle":
        return {CATALOGUE_PATH: servers.Route(body=body, content_type="application/xml", chunk_size=1,
                                              chunk_delay=TRICKLE_DELAY_S)}
    if kind == "endless":
        return {CATALOGUE_PATH: servers.Route(body=body, content_type="application/xml", endless=True)}
    return {CATALOGUE_PATH: servers.Route(body=body, content_type="application/xml")}


def _stalling(body, **kwargs):
    """The first third of the body at once, then silence far past any stall limit."""
    return servers.Route(body=body, chunk_sizes=[len(body) // 3], chunk_size=len(body), chunk_delay=SILENT_S,
                         **kwargs)


# Driver packages

DAMAGED_ENTRY = "data/firmware.bin"
BOMB_DECLARED = 1024
BOMB_INFLATED = 100 * 1024 * 1024


def firmware_image():
    """The bytes of the data entry whose stream "corrupt-data" damages (the same every time)."""
    words = random.Random(7).choices(["alpha", "bravo", "delta", "kilo", "lima", "sierra", "tango"], k=60000)
    return (" ".join(words) + "\n").encode("ascii")


def package_bytes(setup: Setup, build, setup_program: bytes, sentinel: str):
    """Takes a Setup, a build, the stand-in setup program's bytes and the sentinel tree's absolute path as
    the build writes it; gives back the driver package the Setup names, as bytes."""
    stem = package_stem(setup.package_name)
    folder = f"{stem}/{setup_subfolder(setup, build)}"
    entries = []
    if setup.package == "zip64":
        return _zip64_package(stem, folder, setup_program)
    if setup.package != "empty-archive":
        entries.append(zip_entry(f"{stem}/readme.txt", b"Driver package for tests.\r\n"))
        if setup.package == "bomb":
            entries.append(zip_entry(f"{stem}/{DAMAGED_ENTRY}", bytes(BOMB_INFLATED)))
        if setup.package == "setup-folder":
            entries.append(zip_entry(f"{folder}/Setup.exe/", b"", 0o755, kind="folder"))
            entries.append(zip_entry(f"{folder}/Setup.exe/inside.txt", b"a folder, not a program\n"))
        else:
            program = {"not-a-program": NOT_A_PROGRAM, "signal-script": SIGNAL_SCRIPT}.get(setup.package,
                                                                                         setup_program)
            entries.append(zip_entry(f"{folder}/Setup.exe", program, 0o755))
        if setup.package in ("corrupt-data", "lzma-entry"):
            compression = zipfile.ZIP_LZMA if setup.package == "lzma-entry" else zipfile.ZIP_DEFLATED
            entries.append(zip_entry(f"{stem}/{DAMAGED_ENTRY}", firmware_image(), compression=compression))
        if setup.package == "link-entry":
            entries.append(zip_entry(f"{stem}/drop", sentinel.encode("utf-8"), 0o777, kind="link"))
            entries.append(zip_entry(f"{stem}/drop/escaped-link.txt", b"outside\n"))
        if setup.package == "non-utf8-name":
            entries.append(zip_entry(f"{stem}/bad-##.txt", b"a name that is not UTF-8\n"))
        setup_entry = f"{folder}/Setup.exe"
        for name, text in setup.entries:
            name = name.replace("{setup}", setup_entry).replace("{SETUP}", setup_entry.upper())
            entries.append(zip_entry(name.replace("{sentinel}", sentinel),
                                     text.replace("{filler}", FILLER_TEXT).encode("utf-8")))
    data = zip_bytes(entries)

    if setup.package == "corrupt-data":
        data = packages.damage_entry(data, f"{stem}/{DAMAGED_ENTRY}")
    elif setup.package == "bomb":
        data = packages.patch_entry(data, f"{stem}/{DAMAGED_ENTRY}", size=BOMB_DECLARED)
    elif setup.package == "non-utf8-name":
        name = f"{stem}/bad-##.txt".encode("ascii")
        assert data.count(name) == 2  # the local header and the central directory
        data = data.replace(name, name.replace(b"##", b"\xff\xfe"))
    elif setup.package == "truncated-archive":
        data = data[:len(data) // 2]
    return data


def _zip64_package(stem, folder, setup_program):
    """The package as Info-ZIP's zip -fz writes it from a tree on disk: readme and Setup.exe."""
    with tempfile.TemporaryDirectory(prefix="strell-zip64-") as work:
        source = Path(work, "source")
        (source / folder).mkdir(parents=True)
        (source / stem / "readme.txt").write_bytes(b"Driver package for tests.\r\n")
        (source / folder / "Setup.exe").write_bytes(setup_program)
        (source / folder / "Setup.exe").chmod(0o755)
        return packages.tool_zip("infozip-fz", source, stem, Path(work, "package.zip")).read_bytes()


def package_routes(setup: Setup, body: bytes, path, elsewhere=None):
    """Takes a Setup, the package bytes, the package's path and, for the redirects to another server, the
    same package's address there; gives back {path: Route} for the server that the package address names."""
    kind = setup.delivery
    if kind == "error-404":
        return {path: servers.error_page(404)}
    if kind == "error-500":
        return {path: servers.error_page(500)}
    if kind == "truncated":
        return {path: servers.truncated(body, len(body) // 2)}
    if kind == "reset":
        return {path: servers.reset(body, len(body) // 2)}
    if kind == "redirect-loop":
        return {path: servers.redirect("/loop" + path), "/loop" + path: servers.redirect(path)}
    if kind == "redirect-self":
        return {path: servers.redirect(path)}
    if kind == "truncated-slowly":
        return {path: servers.Route(body=body, send_bytes=len(body) - 10, chunk_size=4096, chunk_delay=0.01)}
    if kind in ("redirect-http", "redirect-https"):
        return {path: servers.redirect(elsewhere)}
    if kind in ("redirects-allowed", "redirects-too-many"):
        # A chain of relative redirects, every kind of status, ending at the package: as many as a fetch
        # follows, or one more.
        hops = REDIRECT_HOPS + (kind == "redirects-too-many")
        names = [path] + [f"/hop{number}{path}" for number in range(1, hops + 1)]
        statuses = (301, 302, 303, 307, 308, 302)
        routes = {names[i]: servers.redirect(("../" * (names[i].count("/") - 1)).rstrip("/") + names[i + 1]
                                             if i % 2 else names[i + 1], status=statuses[i])
                  for i in range(hops)}
        routes[names[-1]] = servers.ok(body, content_type="application/zip")
        return routes
    if kind == "silent":
        return {path: servers.Route(body=body, header_delay=SILENT_S)}
    if kind == "stall":
        return {path: _stalling(body)}
    if kind == "trickle":
        return {path: servers.Route(body=body, chunk_sizes=[len(body) // 3], chunk_size=1,
                                    chunk_delay=TRICKLE_DELAY_S)}
    if kind == "reset-third":
        return {path: servers.reset(body, len(body) // 3, reset_delay=0.0)}
    if kind == "reset-unannounced":
        return {path: servers.Route(body=body, announce_length=False, send_bytes=len(body) // 3, ending="reset")}
    if kind == "slow-moving":
        return {path: servers.Route(body=body, content_type="application/zip", **SLOW_MOVING)}
    if kind == "html-page":
        return {path: servers.ok(HTML_PAGE, content_type="text/html")}
    if kind == "empty-body":
        return {path: servers.ok(b"")}
    return {path: servers.ok(body, content_type="application/zip")}


# Folders a run must leave alone

def prepare_temp_folder(temp, disk, sentinel=None):
    """Takes the installer's temporary folder, the Setup's disk arrangement and the sentinel tree (for
    "working-path-link"); fills the folder as an earlier run and other programs left it."""
    temp = Path(temp)
    temp.mkdir(parents=True, exist_ok=True)
    (temp / "unrelated.txt").write_text("not ours\n")
    (temp / "other-app" / "cache").mkdir(parents=True, exist_ok=True)
    (temp / "other-app" / "cache" / "data.bin").write_bytes(bytes(range(256)))
    outer = temp / WORKING_FOLDER[0]
    working = outer / WORKING_FOLDER[1]
    if disk == "read-only-temp":
        return
    if disk == "outer-path-file":
        outer.write_text("a file where the working folder's parent goes\n")
        return
    outer.mkdir(exist_ok=True)
    (outer / "keep.txt").write_text("beside the working folder\n")
    if disk == "working-path-file":
        working.write_text("a file where the working folder goes\n")
        return
    if disk == "working-path-link":
        working.symlink_to(Path(sentinel).resolve(), target_is_directory=True)
        return
    old = working / "Tarnwell_Old_0.0.0.1" / "x64"
    old.mkdir(parents=True, exist_ok=True)
    (old / "Setup.exe").write_bytes(b"left by an earlier run")
    (working / "notes.txt").write_text("old\n")


def read_only_target(temp, disk):
    """Takes the temporary folder and the disk arrangement; gives back the folder that the runner must make
    read-only for it, or None."""
    temp = Path(temp)
    return {"read-only-temp": temp, "read-only-outer": temp / WORKING_FOLDER[0],
            "read-only-inner": temp.joinpath(*WORKING_FOLDER, "Tarnwell_Old_0.0.0.1", "x64")}.get(disk)


def earlier_run_files(temp):
    """The files prepare_temp_folder leaves in the working folder, as Paths."""
    working = Path(temp).joinpath(*WORKING_FOLDER)
    return [working / "Tarnwell_Old_0.0.0.1" / "x64" / "Setup.exe", working / "notes.txt"]


def prepare_sentinel(folder):
    """Takes a folder beside the temporary folder; fills it with a small tree no run may touch."""
    folder = Path(folder)
    (folder / "sub").mkdir(parents=True, exist_ok=True)
    (folder / "keep.txt").write_text("sentinel\n")
    (folder / "sub" / "deep.txt").write_text("sentinel, deeper\n")


def snapshot_changes(before, after):
    """Takes two snapshots; gives back a sorted list of texts naming what was added, removed or changed."""
    changes = [f"added {name}" for name in after if name not in before]
    changes += [f"removed {name}" for name in before if name not in after]
    changes += [f"changed {name}" for name in before if name in after and before[name] != after[name]]
    return sorted(changes)


@dataclass
class Outcome:
    """What one run of a row gave: the exit code the starting process read, the diagnostic texts, the setup
    program's starts as (path, its record or None), what each server was asked, and the temporary folder
    and sentinel tree with their snapshots from before the run (see snapshots())."""
    code: int
    stdout: str
    stderr: str
    runs: list
    asked: dict
    temp: Path
    sentinel: Path
    before: tuple


def snapshots(temp, sentinel):
    """The temporary folder's snapshot (outside the working folder, the log folder and the run lock) and the
    sentinel tree's."""
    return native.snapshot(temp, skip=[WORKING_FOLDER, LOG_FOLDER, RUN_LOCK]), native.snapshot(sentinel)


def check_outcome(test, row, build, outcome):
    """Checks what both runners check alike: the exit code, the diagnostic texts and the requests the row
    names, the earlier run's files gone once the driver step began (kept when it never did), the downloaded
    file gone and nothing changed outside the working folder (the rest of the temporary folder, the sentinel
    tree). Gives back a text of what was seen, for the runner's messages."""
    seen = (f"exit {outcome.code}, stdout {outcome.stdout[-300:]!r}, stderr {outcome.stderr[-300:]!r}, "
            f"runs {[path for path, _ in outcome.runs]}")
    test.assertEqual(outcome.code, row.exit[build], seen)
    test.assertRegex(outcome.stdout, "^" + row.stdout_for(build) + r"\Z", seen)
    test.assertRegex(outcome.stderr, "^" + row.stderr_for(build) + r"\Z", seen)
    check_asked(test, row, outcome.asked)
    if row.setup.disk == "as-left":
        check_earlier_run(test, outcome.temp, kept=row.setup.devices in ("none", "unsupported")
                          or row.setup.token == "limited")
    test.assertEqual(native.temp_files(outcome.temp), [], "the downloaded file was left behind")
    after = snapshots(outcome.temp, outcome.sentinel)
    test.assertEqual(snapshot_changes(outcome.before[0], after[0]), [], "the temporary folder changed")
    test.assertEqual(snapshot_changes(outcome.before[1], after[1]), [], "the sentinel tree changed")


# The run log

def log_expected(disk):
    """Takes the disk arrangement; gives back whether the run can make its log folder (Tarnwell/Logs)."""
    return disk not in ("read-only-temp", "outer-path-file", "read-only-outer")


def prepare_log_folder(temp, state):
    """Takes the temporary folder (prepared, with its Tarnwell folder) and a LOG_FOLDER_STATES value; makes
    the log folder so. Gives back the folder the runner must make read-only, or None."""
    logs = Path(temp).joinpath(*LOG_FOLDER)
    if state == "file":
        logs.write_text(LOG_FOLDER_FILE_TEXT)
        if os.geteuid() == 0:
            os.chown(logs, servers.NOBODY_UID, servers.NOBODY_UID)
    elif state == "read-only":
        logs.mkdir()
        return logs
    return None


def run_logs(temp):
    """Takes the temporary folder; gives back [(name, text)] of the run logs in its log folder, by name."""
    logs = Path(temp).joinpath(*LOG_FOLDER)
    if not logs.is_dir() or logs.is_symlink():
        return []
    return [(path.name, path.read_text(encoding="utf-8")) for path in sorted(logs.iterdir())]


def check_run_log(test, row, build, outcome, seen, reasons, log_written=True):
    """Takes a test, a row, the build, the run's Outcome, what to show on failure, the reasons seen so far
    ({row id: (code, reason)}) and whether the run can write a log where the row leaves the log folder.
    Checks the one log (or that there is none): its name, its lines' form, and that the last one is the exit
    line of the code the parent read, with the installer's name of its own codes and a reason, which it
    adds to reasons when the code is the installer's."""
    logs = run_logs(outcome.temp)
    if not log_expected(row.setup.disk) or not log_written:
        test.assertEqual(logs, [], "a log where none can be written")
        return
    test.assertEqual(len(logs), 1, f"not one log: {[name for name, _ in logs]}")
    name, text = logs[0]
    seen = f"{seen}\nlog:\n{text[-3000:]}"
    test.assertRegex(name, LOG_NAME)
    lines = text.split("\n")
    test.assertEqual(lines[-1], "", "the log does not end with a line break")
    for line in lines[:-1]:
        test.assertRegex(line, LOG_LINE, seen)
    last = LOG_EXIT_LINE.match(lines[-2])
    test.assertIsNotNone(last, f"the last line is not the exit line: {seen}")
    check_signature_lines(test, row.setup, text, seen)
    logged, code_name, reason = int(last.group(1)), last.group(2), last.group(3)
    test.assertEqual(seen_by(build, logged), outcome.code, seen)
    test.assertNotEqual(reason, "no reason was recorded", seen)
    if code_name != "setupProgramExitCode":
        test.assertEqual(code_name, CODE_NAMES.get(logged), seen)
        reasons[row.id] = (logged, reason)


def check_signature_lines(test, setup: Setup, text, seen):
    """Checks the log's lines on the catalogue signature: whether one is required and by which keys (third
    line), and which key verified when one did."""
    lines = text.split("\n")
    if setup.installer == "signed":
        keys = " or ".join(packages.key_fingerprint(key) for key in ("a", "b"))
        test.assertRegex(lines[2], r"^ *\d+ ms  catalogue signature: required, by key " + keys + r"\Z", seen)
    else:
        test.assertRegex(lines[2], r"^ *\d+ ms  catalogue signature: not required \(", seen)
    verified = re.findall(r"(?m)^ *\d+ ms  catalogue signature: verified by key (\w+)$", text)
    expected = {"key-a": ["a"], "key-b": ["b"]}.get(setup.signature, []) if setup.installer == "signed" else []
    test.assertEqual(verified, [packages.key_fingerprint(key) for key in expected], seen)


def run_and_check_row(runner, row, reasons):
    """Takes a runner (its run_case(row, log_folder), check_case(row, outcome, reasons) and writes_log(row)),
    a row and the reasons seen so far; runs and checks the row, then runs it again with the log folder
    read-only and with another user's file in its place, where the row lets the run make its log folder, and
    checks each is the same run."""
    outcome = runner.run_case(row)
    runner.check_case(row, outcome, reasons)
    for state in LOG_FOLDER_STATES[1:] if log_expected(row.setup.disk) else ():
        check_same_run(runner, outcome, runner.run_case(row, state), state, runner.writes_log(row))


def check_same_run(test, first, again, state, writes_log):
    """Takes a test, a row's Outcome with the log folder writable, and its Outcome with the log folder in
    another LOG_FOLDER_STATES state; checks that the run was the same, byte for byte, and that it wrote no
    log into a read-only folder, and moved the file in the folder's place aside untouched and logged (left it
    as it was when the run may write no log)."""
    test.assertEqual((again.code, again.stdout, again.stderr), (first.code, first.stdout, first.stderr),
                     f"log folder {state}: the run differs")
    logs = Path(again.temp).joinpath(*LOG_FOLDER)
    if state == "file" and not writes_log:
        # A run that may write no log (no root) has no business with another user's file either.
        test.assertEqual(logs.read_text(), LOG_FOLDER_FILE_TEXT, "the file in the log folder's place changed")
    elif state == "file":
        aside = list(logs.parent.glob(LOG_FOLDER[-1] + ".untrusted-*"))
        test.assertEqual([path.read_text() for path in aside], [LOG_FOLDER_FILE_TEXT], "the file was not moved aside")
        written = run_logs(again.temp)
        test.assertEqual(len(written), 1, "no log beside the file moved aside")
        test.assertIn("moved aside what another user had in the way", written[0][1])
    else:
        test.assertEqual(list(logs.iterdir()), [], "a log was written into a read-only folder")


# Rows that are one failure as the installer sees it, so their logs may give the same reason: the framework
# tells neither a clean close short of the announced length from a reset, nor a failed secure connection
# from a reset before the response; the rest differ in size only. Under Wine a reset is seen as a stall.
SAME_CAUSE = (
    {"catalogue-truncated", "catalogue-reset", "catalogue-truncated-early", "catalogue-reset-early"},
    {"package-truncated", "package-truncated-slowly", "package-reset", "package-reset-third",
     "package-reset-unannounced", "server-untrusted-package", "package-hash-reset"},
    {"catalogue-huge", "catalogue-nine-mib"},
    {"catalogue-nested-65", "catalogue-nested-deep"},
    {"catalogue-stall", "catalogue-trickle"},
    {"package-stall", "package-trickle"},
    {"zip-slip-parent", "zip-slip-backslash"},
    {"catalogue-without-our-model", "devices-first-not-in-catalogue"},
    {"signed-tampered", "signed-by-other-key"},  # a signature that verifies under none of the keys
)
SAME_CAUSE_UNDER_WINE = ({"package-stall", "package-reset"},)


def reasons_told_apart(test, reasons, own_folders, same_cause=SAME_CAUSE):
    """Takes a test, {row id: (code, reason)} of the rows that ended with one of the installer's own codes,
    the rows' own folders and the groups of rows of one cause; checks that no two rows of different causes
    read the same once their own folder and every number but an HTTP status are masked: a support person
    tells each failure apart from the log alone."""
    merged = []  # groups that share a row are one cause
    for group in same_cause:
        joined = set(group).union(*[other for other in merged if other & group])
        merged = [other for other in merged if not other & group] + [joined]
    causes = {}
    for row_id, (code, reason) in reasons.items():
        text = reason.replace(str(own_folders[row_id]), "<row>")
        text = re.sub(r"(?<!HTTP )\b\d+", "#", text)
        group = next((sorted(group)[0] for group in merged if row_id in group), row_id)
        causes.setdefault((code, text), set()).add(group)
    same = [f"{code} {text!r}: {', '.join(sorted(groups))}" for (code, text), groups in causes.items()
            if len(groups) > 1]
    test.assertEqual(same, [], "rows whose logs give the same reason:\n" + "\n".join(same))


def check_earlier_run(test, temp, kept):
    """Checks that the files an earlier run left in the working folder are all still there (kept) or all
    gone, the working folder itself standing."""
    for path in earlier_run_files(temp):
        if kept:
            test.assertTrue(path.is_file(), f"{path} was removed from a read-only folder")
        else:
            test.assertFalse(path.exists(), f"{path}, left by an earlier run, was not removed")
    test.assertTrue(Path(temp).joinpath(*WORKING_FOLDER).is_dir(), "the working folder is missing")


def check_asked(test, row, asked):
    """Takes a test case, a row and what each server was asked; checks the requests the row expects, and
    that no server the fetch must refuse (plain http, another scheme) was asked anything."""
    catalogue_server = asked["catalogue"]
    package_server = asked["package"]
    for refused in ("plain", "listener"):
        test.assertEqual(asked.get(refused) or [], [], f"the {refused} server was asked")
    package_path = f"{DRIVER_FOLDER}/{row.setup.package_name}"

    def count(requests, path):
        return len([r for r in requests or [] if r["path"] == path])

    if row.asks == "nothing":
        test.assertEqual(catalogue_server or [], [], "the server was asked")
        test.assertEqual(count(package_server, package_path), 0, "the package was asked for")
    elif row.asks == "catalogue":
        test.assertEqual(count(catalogue_server, CATALOGUE_PATH), 1, catalogue_server)
        test.assertEqual(count(package_server, package_path), 0, "the package was asked for")
    elif row.asks == "package":
        test.assertEqual(count(catalogue_server, CATALOGUE_PATH), 1, catalogue_server)
        test.assertGreaterEqual(count(package_server, package_path), 1, "the package was never asked for")


def start_servers(stack, setup: Setup, pki, untrusted_pki):
    """Takes an ExitStack, the Setup and the trusted and untrusted PKIs; starts the fault servers the Setup
    names (ended with the stack). Gives back ({"catalogue": ..., "package": ..., "plain": None}, the driver
    base address), or (all None, None) when the Setup has no server."""
    served = {"catalogue": None, "package": None, "plain": None, "other": None, "listener": None}
    if setup.server == "none":
        return served, None
    main = stack.enter_context(servers.FaultServer(port=servers.LOOPBACK_PORT,
                                                   pki=untrusted_pki if setup.server == "untrusted" else pki))
    served["catalogue"] = served["package"] = main
    base = main.url(DRIVER_FOLDER)
    if setup.server == "package-untrusted":
        served["package"] = stack.enter_context(servers.FaultServer(pki=untrusted_pki))
        base = served["package"].url(DRIVER_FOLDER)
    elif setup.server == "package-refused":
        served["package"] = None
        base = f"https://localhost:{servers.free_port()}{DRIVER_FOLDER}"
    return served, base


def route_servers(stack, setup: Setup, served, catalogue, package: bytes, pki):
    """Takes an ExitStack, the Setup, the servers start_servers gave back, the catalogue text, the package
    bytes and the trusted PKI; gives the servers their routes, starting the further servers the Setup's redirects point to (a
    plain-http server, a second https server, a listener for another scheme), added to served as "plain",
    "other" and "listener"."""
    path = f"{DRIVER_FOLDER}/{setup.package_name}"
    catalogue_elsewhere = package_elsewhere = None
    if setup.catalogue == "redirect-http":
        served["plain"] = stack.enter_context(servers.FaultServer(tls=False))
        served["plain"].set_route(CATALOGUE_PATH, servers.xml(catalogue))
        catalogue_elsewhere = served["plain"].url(CATALOGUE_PATH)
    if setup.catalogue == "redirect-ftp":
        served["listener"] = stack.enter_context(servers.ConnectionRecorder())
        catalogue_elsewhere = f"ftp://localhost:{served['listener'].port}{CATALOGUE_PATH}"
    if setup.delivery == "redirect-http":
        served["plain"] = stack.enter_context(servers.FaultServer(tls=False))
        served["plain"].set_route(path, servers.ok(package, content_type="application/zip"))
        package_elsewhere = served["plain"].url(path)
    if setup.delivery == "redirect-https":
        served["other"] = stack.enter_context(servers.FaultServer(pki=pki))
        served["other"].set_route(path, servers.ok(package, content_type="application/zip"))
        package_elsewhere = served["other"].url(path)

    for route_path, route in catalogue_routes(setup, catalogue, catalogue_elsewhere).items():
        served["catalogue"].set_route(route_path, route)
    if served["package"] is not None:
        for route_path, route in package_routes(setup, package, path, package_elsewhere).items():
            served["package"].set_route(route_path, route)
    return served
