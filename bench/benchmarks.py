#!/usr/bin/python3
"""The installer's benchmarks; bench/run-benchmarks.sh runs this and it writes bench/RESULTS.md.

Absolute times on a shared 2-core machine are noise, so every speed figure is a ratio against a peer that
does the same work, measured in the same run, in pairs (A B A B ...), and the median of the per-pair
ratios is reported. What is measured:

- download: a whole run of the loopback installer whose catalogue entry is an "exe" package (bench-stamp
  with junk appended), against `curl -o` of the same file from the same nginx; the step runs from the end
  of the catalogue response (nginx's log) to the setup program's start (its own time stamp);
- peak memory of those runs (GNU time's maximum resident set size) at 256 MB, 512 MB and 1 GB;
- extraction: installDriverPackage (extract-bench) against Info-ZIP `unzip -o`, same package, same disk;
- overhead: a whole run with a tiny package, process start to the setup program's start, split into its
  steps by uprobes on the installer's own functions (when tracefs can be used) and by differential runs;
- USB matching: usb-match-bench, the scan's matching against the same search with prebuilt patterns;
- the Windows exe's size and what it is made of (a map file of an unstripped link of the same objects).

Large generated files go to build/bench. Servers listen on 127.0.0.1 only; every wait is bounded.
"""

import argparse
import datetime
import json
import os
import platform
import random
import re
import shlex
import shutil
import socket
import statistics
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "support" / "python"))

from strelltest import packages, servers  # noqa: E402
from strelltest.wine import Xvfb  # noqa: E402

MB = 1 << 20
PORT = servers.LOOPBACK_PORT
TRACEFS = Path("/sys/kernel/tracing")
GNU_TIME = "/usr/bin/time"
RUN_TIMEOUT = 300
# Bump when the generated extraction package changes shape, so a cached one is made again.
EXTRACT_PACKAGE_VERSION = "4"
EXTRACT_PACKAGE_NAME = "Tarnwell_Bench_1.0.zip"
TINY_ZIP_NAME = "Tarnwell_Bench_Tiny.zip"
TINY_EXE_NAME = "bench-tiny.exe"


def log(text):
    print(f"[bench {time.strftime('%H:%M:%S')}] {text}", flush=True)


def median(values):
    return statistics.median(values) if values else float("nan")


def run(cmd, timeout=RUN_TIMEOUT, **kwargs):
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run([str(c) for c in cmd], timeout=timeout, **kwargs)


def output_of(cmd, timeout=60):
    return run(cmd, timeout=timeout, capture_output=True, text=True, check=True).stdout


# ---------------------------------------------------------------------------------------------------------
# The machine


def machine_description():
    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    memory = "unknown"
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal:"):
            memory = f"{int(line.split()[1]) / (1 << 20):.1f} GiB"
    system = "unknown"
    os_release = Path("/etc/os-release")
    if os_release.exists():
        for line in os_release.read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                system = line.split("=", 1)[1].strip('"')
    return {
        "nproc": output_of(["nproc"]).strip(),
        "cpu": cpu,
        "memory": memory,
        "kernel": f"{platform.system()} {platform.release()} {platform.version()}",
        "system": system,
        "load": " ".join(Path("/proc/loadavg").read_text().split()[:3]),
    }


def tool_versions():
    def first_line(cmd):
        try:
            result = run(cmd, timeout=30, capture_output=True, text=True)
            return (result.stdout or result.stderr).strip().splitlines()[0]
        except (OSError, IndexError, subprocess.SubprocessError):
            return "unavailable"

    return {
        "curl": " ".join(first_line(["curl", "--version"]).split()[:4]),
        "unzip": first_line(["unzip", "-v"]),
        "nginx": first_line(["/usr/sbin/nginx", "-v"]),
        "time": "GNU time " + first_line(["dpkg-query", "-W", "-f", "${Version}", "time"]),
    }


# ---------------------------------------------------------------------------------------------------------
# The loopback port is shared with the tests that hold ctest's loopback lock


def port_in_use(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return True
    return False


def ctest_running():
    for comm in Path("/proc").glob("[0-9]*/comm"):
        try:
            if comm.read_text().strip() == "ctest":
                return True
        except OSError:
            continue
    return False


def wait_for_loopback_port(limit_s):
    deadline = time.monotonic() + limit_s
    while port_in_use(PORT) or ctest_running():
        if time.monotonic() > deadline:
            raise SystemExit(f"port {PORT} stayed busy (or ctest kept running) for {limit_s} s; try later")
        log(f"port {PORT} busy or ctest running; waiting")
        time.sleep(10)


# ---------------------------------------------------------------------------------------------------------
# nginx, with request end times and durations in its log


class BenchNginx:
    """The tests' nginx configuration (tests/support/servers/nginx.conf.in) with one change: the access log
    also records $msec (when the response was finished, wall clock) and $request_time."""

    LOG_FORMAT = "log_format bench '$msec $request_time $status $body_bytes_sent $request_uri';"

    def __init__(self, root, port, pki, scratch):
        self.root, self.port, self.pki, self.scratch = Path(root), port, pki, Path(scratch)
        self.process = None
        self._seen = 0

    def start(self):
        shutil.rmtree(self.scratch, ignore_errors=True)
        (self.scratch / "temp").mkdir(parents=True)
        text = (servers.SERVERS_DIR / "nginx.conf.in").read_text()
        for key, value in {"@ROOT@": self.root.resolve(), "@PORT@": self.port, "@SCRATCH@": self.scratch.resolve(),
                           "@CERT@": self.pki.server_cert.resolve(), "@KEY@": self.pki.server_key.resolve()}.items():
            text = text.replace(key, str(value))
        access = f'access_log "{self.scratch.resolve()}/access.log";'
        if access not in text:
            raise RuntimeError("the nginx template has no access_log line to extend")
        text = text.replace(access, self.LOG_FORMAT + "\n    " + access[:-1] + " bench;")
        config = self.scratch / "nginx.conf"
        config.write_text(text)
        log_file = open(self.scratch / "run.log", "wb")
        try:
            self.process = subprocess.Popen(
                ["/usr/sbin/nginx", "-p", str(self.scratch), "-c", str(config), "-e", str(self.scratch / "error.log")],
                stdin=subprocess.DEVNULL, stdout=log_file, stderr=subprocess.STDOUT)
        finally:
            log_file.close()
        servers.wait_for_tls(self.port, self.pki.ca_cert, alive=lambda: self.process.poll() is None)
        return self

    def new_requests(self):
        """Gives back the requests logged since the last call, as dicts (end, duration, status, bytes, uri)."""
        path = self.scratch / "access.log"
        lines = path.read_text().splitlines() if path.exists() else []
        fresh, self._seen = lines[self._seen:], len(lines)
        requests = []
        for line in fresh:
            end, duration, status, sent, uri = line.split(" ", 4)
            requests.append({"end": float(end), "duration": float(duration), "status": int(status),
                             "bytes": int(sent), "uri": uri})
        return requests

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.process = None


# ---------------------------------------------------------------------------------------------------------
# uprobes on the installer's own functions (tracefs), for the split of a whole run into its steps

# (label, mangled symbol, with a return probe[, what the entry probe fetches])
PROBES = [
    ("main", "main", False),
    ("runInstaller", "_Z12runInstallerv", False),
    ("juceUp", "_ZN4juce25ScopedJuceInitialiser_GUIC1Ev", True),
    ("scan", "_Z27findPresentSupportedDevicesv", True),
    ("driverStep", "_Z24downloadAndInstallDriveri", False),
    ("alertWindow", "_ZN4juce11AlertWindowC1ERKNS_6StringES3_NS_18MessageBoxIconTypeEPNS_9ComponentE", True),
    ("catalogue", "_Z13findDriverUrli", True),
    # The download connects on its worker: "connect" is the start of the fetch, "transfer" the worker's
    # whole run (connection, headers and body).
    ("connect", "_Z10startFetchRKN4juce6StringE7NewFile11FetchLimits", True),
    ("transfer", "_ZNSt17_Function_handlerIFvvEZ10startFetchRKN4juce6StringE7NewFile11FetchLimitsEUlvE_E9_M_invokeERKSt9_Any_data", True),
    ("dispatch", "_ZN4juce14MessageManager20runDispatchLoopUntilEi", True),
    ("windowDelete", "_ZN4juce11AlertWindowD0Ev", True),
    ("installPackage", "_Z20installDriverPackageRKN4juce6StringERKNS_4FileES5_", True),
    ("uncompress", "_Z17extractZipArchiveRKN4juce4FileES2_", True),
    ("runSetup", "_Z15runSetupProgramRKN4juce6StringE", False),
    ("childStart", "_ZN4juce12ChildProcess5startERKNS_11StringArrayEi", False),
    ("darkMode", "_ZNK4juce13XWindowSystem16isDarkModeActiveEv", True),
]
# Kernel events recorded beside the probes: execs (the installer's and the setup program's), and the
# installer's sleeps (juce::Thread::sleep is inlined where the curl back-end calls it, so it is caught at
# the system call).
SLEEP_EVENTS = ("sys_enter_clock_nanosleep", "sys_exit_clock_nanosleep")

TRACE_LINE = re.compile(r"^\s*(?P<task>.*?)-(?P<tid>\d+)\s+(?:\(\s*\S+\)\s+)?\[\d+\]\s+(?:\S+\s+)?"
                        r"(?P<ts>\d+\.\d+):\s+(?P<event>\w+)(?P<rest>.*)$")


def append_to_tracefs(path, line):
    """Appends one definition line to a tracefs control file (which cannot seek, so no buffered file)."""
    descriptor = os.open(path, os.O_WRONLY | os.O_APPEND)
    try:
        os.write(descriptor, line.encode())
    finally:
        os.close(descriptor)


class UprobeTracer:
    """Entry and return probes on one executable's functions plus the kernel's exec events, recorded into a
    tracing instance of our own with the monotonic clock (the clock of bench-stamp's second column)."""

    GROUP = "strellbench"

    def __init__(self, binary):
        self.binary = Path(binary).resolve()
        self.instance = TRACEFS / "instances" / self.GROUP
        self.names = {}  # event name -> (label, "entry" | "return")
        self.defined = []

    @staticmethod
    def usable():
        return (TRACEFS / "uprobe_events").exists() and os.access(TRACEFS / "uprobe_events", os.W_OK)

    def _file_offsets(self):
        symbols = {}
        for line in output_of(["nm", "--defined-only", self.binary]).splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[1] in "TtWw":
                symbols.setdefault(parts[2], int(parts[0], 16))
        segments = []
        for line in output_of(["readelf", "-lW", self.binary]).splitlines():
            parts = line.split()
            if parts and parts[0] == "LOAD":
                segments.append((int(parts[2], 16), int(parts[1], 16), int(parts[4], 16)))  # vaddr, offset, size
        offsets = {}
        for _, symbol, *_ in PROBES:
            address = symbols.get(symbol)
            if address is None:
                raise RuntimeError(f"{self.binary.name} has no symbol {symbol}")
            for vaddr, offset, size in segments:
                if vaddr <= address < vaddr + size:
                    offsets[symbol] = address - vaddr + offset
                    break
            else:
                raise RuntimeError(f"{symbol} lies in no loadable segment")
        return offsets

    def install(self):
        offsets = self._file_offsets()
        self.remove()
        for index, (label, symbol, returns, *fetch) in enumerate(PROBES):
            for kind, prefix in (("entry", "p"), ("return", "r")) if returns else (("entry", "p"),):
                name = f"{'e' if kind == 'entry' else 'x'}{index}"
                arguments = " " + fetch[0] if fetch and kind == "entry" else ""
                append_to_tracefs(TRACEFS / "uprobe_events",
                                  f"{prefix}:{self.GROUP}/{name} {self.binary}:0x{offsets[symbol]:x}{arguments}\n")
                self.names[name] = (label, kind)
                self.defined.append(name)
        self.instance.mkdir(exist_ok=True)
        (self.instance / "trace_clock").write_text("mono")
        (self.instance / "buffer_size_kb").write_text("4096")
        (self.instance / "events" / self.GROUP / "enable").write_text("1")
        (self.instance / "events" / "sched" / "sched_process_exec" / "enable").write_text("1")
        for event in SLEEP_EVENTS:
            control = self.instance / "events" / "syscalls" / event
            if control.exists():
                (control / "filter").write_text(f'comm ~ "{self.binary.name[:15]}*"')
                (control / "enable").write_text("1")
        (self.instance / "tracing_on").write_text("1")

    def clear(self):
        (self.instance / "trace").write_text("")

    def events(self):
        """Gives back the events recorded since clear(): (seconds, label, kind, tid, details), in time order;
        exec events have the label "exec" and the program's path as details."""
        found = []
        for line in (self.instance / "trace").read_text(errors="replace").splitlines():
            if line.startswith("#"):
                continue
            match = TRACE_LINE.match(line)
            if match is None:
                continue
            event, rest = match["event"], match["rest"].lstrip(":").strip()
            if event == "sys_clock_nanosleep":
                found.append((float(match["ts"]), "sleep", "return" if rest.startswith("->") else "entry",
                              int(match["tid"]), rest))
            elif event == "sched_process_exec":
                filename = re.search(r"filename=(\S+)", rest)
                pid = re.search(r"\bpid=(\d+)", rest)
                found.append((float(match["ts"]), "exec", "entry", int(pid[1]) if pid else int(match["tid"]),
                              filename[1] if filename else ""))
            elif event in self.names:
                label, kind = self.names[event]
                found.append((float(match["ts"]), label, kind, int(match["tid"]), rest))
        return sorted(found)

    def remove(self):
        if self.instance.exists():
            try:
                (self.instance / "tracing_on").write_text("0")
                group = self.instance / "events" / self.GROUP / "enable"
                if group.exists():
                    group.write_text("0")
                (self.instance / "events" / "sched" / "sched_process_exec" / "enable").write_text("0")
                for event in SLEEP_EVENTS:
                    control = self.instance / "events" / "syscalls" / event
                    if control.exists():
                        (control / "enable").write_text("0")
                        (control / "filter").write_text("0")
            finally:
                self.instance.rmdir()
        # Our own events only: other users' uprobes stay.
        for line in (TRACEFS / "uprobe_events").read_text().splitlines():
            match = re.match(rf"^[pr]:{self.GROUP}/(\w+) ", line)
            if match:
                append_to_tracefs(TRACEFS / "uprobe_events", f"-:{self.GROUP}/{match[1]}\n")
        self.names.clear()
        self.defined.clear()


# ---------------------------------------------------------------------------------------------------------
# Generated files


def write_junk_program(path, program, size):
    """Writes program's bytes followed by junk up to size bytes (an ELF still runs with trailing bytes);
    keeps a file that already has that head and size."""
    head = Path(program).read_bytes()
    if path.exists() and path.stat().st_size == size:
        with open(path, "rb") as existing:
            if existing.read(len(head)) == head:
                return path
    chunk = random.Random(size).randbytes(16 * MB)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        out.write(head)
        left = size - len(head)
        while left > 0:
            out.write(chunk[:min(left, len(chunk))])
            left -= min(left, len(chunk))
    partial.chmod(0o755)
    partial.replace(path)
    return path


def make_extraction_package(folder, setup_program):
    """Makes (once per EXTRACT_PACKAGE_VERSION) a package of a few thousand mixed files in nested folders:
    text, compressible binary and incompressible data, packed by Info-ZIP at its default level, with the
    stand-in setup program at <top>/x64/Setup.exe. Gives back (package path, file count, unpacked bytes)."""
    package = folder / EXTRACT_PACKAGE_NAME
    marker = folder / (EXTRACT_PACKAGE_NAME + ".made")
    if package.exists() and marker.exists():
        made = json.loads(marker.read_text())
        if made.get("version") == EXTRACT_PACKAGE_VERSION:
            return package, made["files"], made["bytes"]

    log("making the extraction package (once)")
    rng = random.Random(20240611)
    top = EXTRACT_PACKAGE_NAME[:-4]
    source = folder / "src"
    shutil.rmtree(source, ignore_errors=True)
    root = source / top

    syllables = ["ta", "rn", "we", "ll", "dri", "ver", "usb", "au", "dio", "str", "el", "in", "st", "al",
                 "ch", "an", "ne", "l", "fi", "rm", "wa", "re", "mo", "de", "co", "nf", "ig", "sa", "mp", "le"]
    words = ["".join(rng.choice(syllables) for _ in range(rng.randint(1, 4))) for _ in range(600)]
    lines = []
    for number in range(40000):
        lines.append(f"{number:05d} " + " ".join(rng.choice(words) for _ in range(rng.randint(4, 14))))
    corpus = ("\n".join(lines) + "\n").encode()

    folders = [Path(p) for p in ["x64", "x64_Win10", "x86", "x86_Win10", "docs/en", "docs/de", "docs/ja/html",
                                 "firmware/common", "tools/bin", "tools/lib/plugins"]]
    for model in range(12):
        for revision in range(3):
            folders.append(Path(f"firmware/model{model:02d}/rev{revision}"))
    for a in range(4):
        for b in range(4):
            folders.append(Path(f"data/set{a}/part{b}/blocks"))

    def add_file(relative, data):
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)

    files = 0
    total = 0
    # Text: driver information, manifests, documentation (about 3:1 under deflate).
    for index in range(1700):
        size = rng.randint(300, 48 * 1024)
        start = rng.randrange(0, len(corpus) - size)
        name = f"{rng.choice(folders)}/{rng.choice(words)}_{index}.{rng.choice(['txt', 'inf', 'xml', 'ini', 'htm'])}"
        add_file(name, corpus[start:start + size])
        files, total = files + 1, total + size
    # Compressible binary: tables of records that differ in a few bytes (about 10:1).
    for index in range(900):
        record = rng.randbytes(64)
        count = rng.randint(256, 8192)
        data = b"".join(record[:60] + (number * 2654435761 % (1 << 32)).to_bytes(4, "little")
                        for number in range(count))
        add_file(f"{rng.choice(folders)}/table_{index}.{rng.choice(['bin', 'dat', 'tbl'])}", data)
        files, total = files + 1, total + len(data)
    # Incompressible: packed firmware images and cabinets (stored as they are).
    for index in range(572):
        data = rng.randbytes(rng.randint(64 * 1024, 760 * 1024))
        add_file(f"{rng.choice(folders)}/image_{index}.{rng.choice(['cab', 'img', 'fw'])}", data)
        files, total = files + 1, total + len(data)
    setup = Path(setup_program).read_bytes()
    add_file("x64/Setup.exe", setup)
    (root / "x64" / "Setup.exe").chmod(0o755)
    files, total = files + 1, total + len(setup)

    package.unlink(missing_ok=True)
    run(["zip", "-q", "-r", "-X", str(package.resolve()), top], cwd=source, check=True, timeout=600)
    shutil.rmtree(source, ignore_errors=True)
    marker.write_text(json.dumps({"version": EXTRACT_PACKAGE_VERSION, "files": files, "bytes": total}))
    return package, files, total


def make_tiny_zip(path, setup_program):
    if not path.exists() or path.stat().st_mtime < Path(setup_program).stat().st_mtime:
        packages.make_driver_zip(path, setup_program, extra=[(f"{path.name[:-4]}/readme.txt", b"bench\n")])
    return path


# ---------------------------------------------------------------------------------------------------------
# Whole installer runs


def parse_stamps(path):
    stamps = defaultdict(list)
    if path.exists():
        for line in path.read_text().splitlines():
            event, realtime, monotonic, pid = line.split()
            stamps[event].append({"real": int(realtime) / 1e9, "mono": int(monotonic) / 1e9, "pid": int(pid)})
    return stamps


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = Path(args.build_dir).resolve()
        self.work = Path(args.work_dir).resolve()
        self.work.mkdir(parents=True, exist_ok=True)
        self.tmp = self.work / "tmp"
        self.www = self.work / "www"
        self.results = {}
        self.notes = []
        self.pki = None
        self.server = None
        self.display = None
        self.tracer = None
        self.installer = None

    def program(self, name):
        path = self.build / name
        if not path.is_file():
            raise SystemExit(f"{path} has not been built")
        return path

    # -- set-up ------------------------------------------------------------------------------------------

    def prepare_server_files(self):
        stamp = self.program("bench-stamp")
        drivers = self.www / "drivers"
        drivers.mkdir(parents=True, exist_ok=True)
        (self.www / "firmware" / "unitpanel" / "firmware").mkdir(parents=True, exist_ok=True)
        shutil.copy2(stamp, drivers / TINY_EXE_NAME)
        make_tiny_zip(drivers / TINY_ZIP_NAME, stamp)
        self.big = {}
        for size_mb in self.args.download_sizes:
            self.big[size_mb] = write_junk_program(drivers / f"bench-{size_mb}.exe", stamp, size_mb * MB)
        # The installer under test is a copy, so that the uprobes never touch the build folder's program,
        # which the tests may be running meanwhile.
        probe_dir = self.work / "probe"
        probe_dir.mkdir(exist_ok=True)
        self.installer = probe_dir / "StrellDriverInstaller-loopback"
        shutil.copy2(self.program("StrellDriverInstaller-loopback"), self.installer)
        models = output_of([self.program("model-table")]).splitlines()
        slot, vendor, product = models[0].split("\t")[:3]
        self.model = (int(slot), int(vendor, 16), int(product, 16))
        usb = self.work / "usb"
        shutil.rmtree(usb, ignore_errors=True)
        self.usb_tree = servers.make_usb_tree(usb / "present", [servers.UsbDevice(self.model[1], self.model[2],
                                                                                  serial="BENCH0001")])
        self.no_usb_tree = servers.make_usb_tree(usb / "none", [])

    def set_catalogue(self, driver, listed=True):
        pid = self.model[2] if listed else 0x0001
        text = packages.catalogue(f"https://localhost:{PORT}/drivers", [packages.Entry(f"0x{pid:04x}", driver)])
        path = self.www / "firmware" / "unitpanel" / "firmware" / "interfaces.xml"
        partial = path.with_suffix(".partial")
        partial.write_text(text)
        partial.replace(path)

    def run_installer(self, usb_tree=None, unprivileged=False, memory=False, prefix=()):
        """Runs the installer once; gives back (exit status, stamps, peak RSS in KiB or None, trace events)."""
        stamps_file = self.tmp / "stamps.txt"
        stamps_file.unlink(missing_ok=True)
        stamps_file.touch(mode=0o666)
        stamps_file.chmod(0o666)
        rss_file = self.tmp / "rss.txt"
        rss_file.unlink(missing_ok=True)
        env = dict(os.environ, DISPLAY=self.display.display, TMPDIR=str(self.tmp),
                   BENCH_STAMP_FILE=str(stamps_file))
        for key in list(env):
            if key.startswith("FAKE_SETUP_"):
                del env[key]
        inner = [self.program("bench-stamp"), "--run"]
        if memory:
            inner += [GNU_TIME, "-f", "%M", "-o", rss_file]
        inner += list(prefix) + [self.installer]
        cmd = (["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if unprivileged else []) + inner
        if self.tracer:
            self.tracer.clear()
        result = servers.run_in_test_namespace(cmd, env=env, cert_bundle=self.pki.bundle,
                                               usb_tree=usb_tree or self.usb_tree, timeout=RUN_TIMEOUT)
        events = self.tracer.events() if self.tracer else []
        rss = int(rss_file.read_text().split()[-1]) if memory and rss_file.exists() else None
        if result.returncode not in (0, 250, 252, 253):  # 0: the setup program's; -6, -4, -3 in 8 bits
            raise RuntimeError(f"installer run ended with {result.returncode}: {result.stderr.decode(errors='replace')}")
        return result.returncode, parse_stamps(stamps_file), rss, events

    def run_curl(self, urls, memory=False):
        """Fetches urls with one curl process; gives back (wall seconds, peak RSS in KiB or None)."""
        outputs = [self.tmp / f"curl-{index}.out" for index in range(len(urls))]
        rss_file = self.tmp / "curl-rss.txt"
        cmd = ["curl", "-sS", "--fail", "--cacert", self.pki.ca_cert]
        for url, out in zip(urls, outputs):
            cmd += ["-o", out, url]
        if memory:
            cmd = [GNU_TIME, "-f", "%M", "-o", rss_file] + cmd
        started = time.perf_counter()
        run(cmd, check=True)
        wall = time.perf_counter() - started
        rss = int(rss_file.read_text().split()[-1]) if memory else None
        for out in outputs:
            out.unlink(missing_ok=True)
        return wall, rss

    def settle(self):
        """Writes dirty pages back between runs, so that one run's writes are not paid by the next."""
        os.sync()

    # -- download and memory -----------------------------------------------------------------------------

    def bench_download(self):
        results = {}
        for size_mb in self.args.download_sizes:
            name = self.big[size_mb].name
            url = f"https://localhost:{PORT}/drivers/{name}"
            self.set_catalogue(name)
            pairs = []
            for pair in range(self.args.pairs):
                self.settle()
                self.server.new_requests()
                status, stamps, rss, events = self.run_installer(memory=True)
                requests = self.server.new_requests()
                if status != 0 or len(stamps["setup"]) != 1:
                    raise RuntimeError(f"download run: status {status}, stamps {dict(stamps)}")
                catalogue = [r for r in requests if r["uri"].endswith("interfaces.xml")]
                package = [r for r in requests if r["uri"].endswith(name)]
                if len(catalogue) != 1 or len(package) != 1 or package[0]["bytes"] != size_mb * MB:
                    raise RuntimeError(f"unexpected requests: {requests}")
                setup = stamps["setup"][0]["real"]
                installer = {
                    "step": setup - catalogue[0]["end"],
                    "transfer": package[0]["duration"],
                    "tail": setup - package[0]["end"],
                    "rss": rss,
                    "trace": self.download_trace(events),
                }
                self.settle()
                wall, curl_rss = self.run_curl([url], memory=True)
                curl_request = [r for r in self.server.new_requests() if r["uri"].endswith(name)]
                if len(curl_request) != 1 or curl_request[0]["bytes"] != size_mb * MB:
                    raise RuntimeError(f"unexpected curl requests: {curl_request}")
                pairs.append({"installer": installer,
                              "curl": {"wall": wall, "transfer": curl_request[0]["duration"], "rss": curl_rss}})
                log(f"download {size_mb} MB pair {pair + 1}: installer step {installer['step']:.3f} s, "
                    f"curl {wall:.3f} s, RSS {rss} / {curl_rss} KiB")
            results[size_mb] = pairs
        self.results["download"] = results

        # The same process with a tiny package: what the framework, the window and the catalogue hold anyway.
        self.set_catalogue(TINY_EXE_NAME)
        baseline = []
        for _ in range(self.args.pairs):
            status, _, rss, _ = self.run_installer(memory=True)
            if status != 0:
                raise RuntimeError(f"tiny run ended with {status}")
            baseline.append(rss)
        self.results["rss_baseline"] = baseline

    def profile_download(self, size_mb):
        """One run of the installer and one of curl on the same package under perf's cpu-clock sampling;
        gives back, for each, the CPU seconds sampled and the largest symbols with their shares."""
        if run(["perf", "record", "-q", "-e", "cpu-clock", "-o", "/dev/null", "true"],
               capture_output=True).returncode != 0:
            self.notes.append("perf record -e cpu-clock does not work here: no CPU profile of the download")
            return
        name = self.big[size_mb].name
        self.set_catalogue(name)
        frequency = 1999
        profiles = {}
        for who in ("installer", "curl"):
            data = self.work / f"perf-{who}.data"
            record = ["perf", "record", "-q", "-e", "cpu-clock", "-F", str(frequency), "-o", str(data), "--"]
            self.settle()
            if who == "installer":
                self.run_installer(prefix=record)
            else:
                run(record + ["curl", "-sS", "--fail", "--cacert", self.pki.ca_cert, "-o", self.tmp / "curl.out",
                              f"https://localhost:{PORT}/drivers/{name}"], check=True, capture_output=True)
                (self.tmp / "curl.out").unlink(missing_ok=True)
            report = run(["perf", "report", "-i", data, "--stdio", "--no-children", "-n", "--sort", "dso,sym",
                          "-g", "none"], capture_output=True, text=True, check=True).stdout
            rows = []
            for line in report.splitlines():
                match = re.match(r"^\s+([\d.]+)%\s+(\d+)\s+(\S+)\s+\[(.)\]\s+(.*)$", line)
                if match:
                    rows.append((int(match[2]), match[3], match[5].strip()))
            total = sum(row[0] for row in rows)
            profiles[who] = {"cpu": total / frequency, "samples": total,
                             "top": [(count / total, dso, symbol) for count, dso, symbol in rows[:10]] if total else [],
                             "memmove": sum(c for c, _, sym in rows if "memmove" in sym or "memcpy" in sym) / max(total, 1),
                             "crypto": sum(c for c, dso, _ in rows if dso.startswith("libcrypto")) / max(total, 1)}
            data.unlink(missing_ok=True)
        self.results["download_profile"] = {"size": size_mb, **profiles}

    def download_trace(self, events):
        """From a traced exe-package run: the step from the catalogue's end to the setup program's start, the
        transfer thread's end to the window's deletion, and the polling passes."""
        if not events:
            return None
        first = {}
        for ts, label, kind, _, _ in events:
            first.setdefault((label, kind), ts)
        try:
            main_thread = next(tid for _, label, _, tid, _ in events if label == "main")
            begin, end = first[("catalogue", "return")], first[("runSetup", "entry")]
            slept, opened = 0.0, None
            for ts, label, kind, tid, _ in events:
                if label == "sleep" and tid == main_thread and begin <= ts <= end:
                    if kind == "entry":
                        opened = ts
                    elif opened is not None:
                        slept += ts - opened if ts - opened >= 0.090 else 0.0
                        opened = None
            return {
                "step": end - begin,
                "longSleeps": slept,
                "connect": first[("connect", "return")] - first[("connect", "entry")],
                # The catalogue's fetch runs on a worker of the same kind first: the package's is the last.
                "finishedToWindowGone": first[("windowDelete", "return")] - max(
                    ts for ts, label, kind, _, _ in events if label == "transfer" and kind == "return"),
                "passes": sum(1 for _, label, kind, _, _ in events if label == "dispatch" and kind == "entry"),
            }
        except KeyError:
            return None

    # -- overhead ------------------------------------------------------------------------------------------

    def bench_overhead(self):
        tiny_urls = [f"https://localhost:{PORT}/firmware/unitpanel/firmware/interfaces.xml",
                     f"https://localhost:{PORT}/drivers/{TINY_ZIP_NAME}"]
        # Warm-up: fonts, caches and the server's first handshake are not what is measured.
        for driver in (TINY_ZIP_NAME, TINY_EXE_NAME):
            self.set_catalogue(driver)
            self.run_installer()
        runs = {"zip": [], "exe": []}
        peer = []
        for pair in range(self.args.pairs + 2):
            for kind, driver in (("zip", TINY_ZIP_NAME), ("exe", TINY_EXE_NAME)):
                self.set_catalogue(driver)
                status, stamps, _, events = self.run_installer()
                if status != 0 or len(stamps["setup"]) != 1:
                    raise RuntimeError(f"tiny {kind} run: status {status}")
                runs[kind].append({"total": stamps["setup"][0]["mono"] - stamps["start"][0]["mono"],
                                   "phases": self.phases(events, stamps, kind)})
            peer.append(self.run_curl(tiny_urls)[0])
            log(f"tiny pair {pair + 1}: zip {runs['zip'][-1]['total'] * 1000:.1f} ms, "
                f"exe {runs['exe'][-1]['total'] * 1000:.1f} ms, curl peer {peer[-1] * 1000:.1f} ms")

        # Differential runs: each ends one step later than the one before (start to exit, including the
        # framework's shutdown where it was up).
        differential = defaultdict(list)
        for _ in range(self.args.pairs):
            status, stamps, _, _ = self.run_installer(unprivileged=True)
            if status != 250:
                raise RuntimeError(f"unprivileged run ended with {status}, not -6")
            differential["notElevated"].append(stamps["end"][0]["mono"] - stamps["start"][0]["mono"])
            status, stamps, _, _ = self.run_installer(usb_tree=self.no_usb_tree)
            if status != 252:
                raise RuntimeError(f"run without a device ended with {status}, not -4")
            differential["noDevice"].append(stamps["end"][0]["mono"] - stamps["start"][0]["mono"])
            self.set_catalogue(TINY_ZIP_NAME, listed=False)
            status, stamps, _, _ = self.run_installer()
            if status != 253:
                raise RuntimeError(f"run with an unlisted product id ended with {status}, not -3")
            differential["unlisted"].append(stamps["end"][0]["mono"] - stamps["start"][0]["mono"])
            self.set_catalogue(TINY_EXE_NAME)
            status, stamps, _, _ = self.run_installer()
            differential["exe"].append(stamps["end"][0]["mono"] - stamps["start"][0]["mono"])
            self.set_catalogue(TINY_ZIP_NAME)
            status, stamps, _, _ = self.run_installer()
            differential["zip"].append(stamps["end"][0]["mono"] - stamps["start"][0]["mono"])
        self.results["overhead"] = {"runs": runs, "peer": peer, "differential": dict(differential)}

    def phases(self, events, stamps, kind):
        """Splits one traced run (process start to the setup program's exec) into its steps, in seconds."""
        if not events:
            return None
        start = stamps["start"][0]["mono"]
        first = {}
        for ts, label, probe_kind, _, detail in events:
            if label == "exec":
                if Path(detail).resolve() == self.installer:
                    first.setdefault(("exec", "installer"), ts)
                elif detail.startswith(str(self.tmp)):
                    first.setdefault(("exec", "setup"), ts)
            else:
                first.setdefault((label, probe_kind), ts)

        def at(label, probe_kind="entry"):
            return first[(label, probe_kind)]

        try:
            marks = [
                ("process start to main", start, at("main")),
                ("companions and elevation", at("main"), at("juceUp")),
                ("JUCE up", at("juceUp"), at("juceUp", "return")),
                ("USB scan", at("juceUp", "return"), at("scan", "return")),
                ("working folder and display", at("scan", "return"), at("alertWindow")),
                ("window", at("alertWindow"), at("catalogue")),
                ("catalogue", at("catalogue"), at("catalogue", "return")),
                ("download connect", at("catalogue", "return"), at("connect", "return")),
                ("download transfer and polling", at("connect", "return"), at("windowDelete")),
                ("window closed", at("windowDelete"), at("windowDelete", "return")),
            ]
            if kind == "zip":
                marks += [("hand-over", at("windowDelete", "return"), at("installPackage")),
                          ("unpack", at("installPackage"), at("runSetup"))]
            else:
                marks += [("hand-over", at("windowDelete", "return"), at("runSetup"))]
            marks += [("setup program start", at("runSetup"), at("exec", "setup"))]
        except KeyError as missing:
            self.notes.append(f"a traced {kind} run lacked the event {missing}; its split was left out")
            return None
        split = {name: end - begin for name, begin, end in marks}

        # What the framework spends waiting inside those steps, on the main thread: sleeps of 90 ms or more
        # (the curl back-end sleeps 100 ms when curl has no socket to wait on yet) and the dark-mode query,
        # which runs a gsettings child.
        main_thread = next(tid for ts, label, _, tid, _ in events if label == "main")
        sleeps, opened = [], None
        dark, dark_opened = 0.0, None
        for ts, label, probe_kind, tid, detail in events:
            if tid != main_thread:
                continue
            if label == "sleep":
                if probe_kind == "entry":
                    opened = ts
                elif opened is not None:
                    if ts - opened >= 0.090:
                        sleeps.append((opened, ts))
                    opened = None
            elif label == "darkMode":
                if probe_kind == "entry":
                    dark_opened = ts
                elif dark_opened is not None:
                    dark += ts - dark_opened
                    dark_opened = None

        def slept_within(begin, end):
            return sum(stop - go for go, stop in sleeps if begin <= go and stop <= end)

        split["of which: sleeps of 90 ms or more in catalogue"] = slept_within(at("catalogue"), at("catalogue", "return"))
        split["of which: sleeps of 90 ms or more in download connect"] = slept_within(at("catalogue", "return"),
                                                                                  at("connect", "return"))
        split["of which: dark-mode query (gsettings child)"] = dark
        return split

    # -- extraction ----------------------------------------------------------------------------------------

    def bench_extraction(self):
        folder = self.work / "extract"
        folder.mkdir(exist_ok=True)
        package, files, unpacked = make_extraction_package(folder, self.program("bench-stamp"))
        out = folder / "out"
        pairs = []
        for pair in range(self.args.pairs):
            shutil.rmtree(out, ignore_errors=True)
            out.mkdir()
            self.settle()
            result = run([self.program("extract-bench"), package, EXTRACT_PACKAGE_NAME, out / "juce"],
                         capture_output=True, text=True, check=True)
            fields = dict(line.split(" ", 1) for line in result.stdout.splitlines())
            if int(fields["result"]) != 0:
                raise RuntimeError(f"installDriverPackage gave {fields['result']}: {result.stderr}")
            juce_s = int(fields["unpack_ns"]) / 1e9
            self.settle()
            started = time.perf_counter()
            run(["unzip", "-o", "-q", package, "-d", out / "unzip"], check=True)
            unzip_s = time.perf_counter() - started
            pairs.append({"juce": juce_s, "unzip": unzip_s})
            log(f"extraction pair {pair + 1}: installDriverPackage {juce_s:.3f} s, unzip {unzip_s:.3f} s")
        same = run(["diff", "-r", "-q", out / "juce", out / "unzip"], capture_output=True, text=True)
        shutil.rmtree(out, ignore_errors=True)
        self.results["extraction"] = {"pairs": pairs, "package_bytes": package.stat().st_size, "files": files,
                                      "unpacked_bytes": unpacked, "same_tree": same.returncode == 0,
                                      "differences": same.stdout[-2000:]}

    # -- USB matching --------------------------------------------------------------------------------------

    def bench_usb(self):
        bench = self.program("usb-match-bench")
        cases = ["matchInstanceIdsAsScanned/1000", "prebuiltPatternsFind/1000", "streamBuiltPatterns/1000",
                 "matchInstanceIdsAsScanned/30", "prebuiltPatternsFind/30"]
        times = defaultdict(list)
        for _ in range(self.args.pairs):
            for case in cases:
                result = run([bench, f"--benchmark_filter=^{case}$", "--benchmark_format=json",
                              "--benchmark_min_time=0.2"], capture_output=True, text=True, check=True)
                entries = [b for b in json.loads(result.stdout)["benchmarks"] if b.get("run_type") == "iteration"]
                if len(entries) != 1 or entries[0].get("error_occurred"):
                    raise RuntimeError(f"usb-match-bench {case}: {result.stdout[-500:]}")
                unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3}[entries[0]["time_unit"]]
                times[case].append(entries[0]["cpu_time"] * unit)
                times[case + " real"].append(entries[0]["real_time"] * unit)
        self.results["usb"] = dict(times)

    # -- Windows exe size ----------------------------------------------------------------------------------

    def bench_windows_size(self):
        windows = Path(self.args.windows_dir).resolve()
        exe = windows / "StrellDriverInstaller.exe"
        if not exe.exists() or not (windows / "build.ninja").exists():
            self.notes.append(f"no Windows build at {windows}: the size section was left out")
            return
        out = self.work / "windows"
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir()
        command = output_of(["ninja", "-C", windows, "-t", "commands", "StrellDriverInstaller.exe"]).splitlines()[-1]
        link = command
        if link.startswith(": && "):
            link = link[len(": && "):]
        if link.endswith(" && :"):
            link = link[:-len(" && :")]
        words = shlex.split(link)
        if "-o" not in words or "-s" not in words:
            raise RuntimeError(f"unexpected link command: {command[:300]}")
        # What the linker alone could drop: the same link, stripped, with unused sections collected.
        collected = list(words)
        collected[collected.index("-o") + 1] = str(out / "StrellDriverInstaller-gc-sections.exe")
        collected.append("-Wl,--gc-sections")
        run(collected, cwd=windows, check=True, timeout=600, capture_output=True)
        gc_size = (out / "StrellDriverInstaller-gc-sections.exe").stat().st_size
        words.remove("-s")
        words[words.index("-o") + 1] = str(out / "StrellDriverInstaller-unstripped.exe")
        words.append(f"-Wl,-Map={out / 'StrellDriverInstaller.map'}")
        run(words, cwd=windows, check=True, timeout=600, capture_output=True)
        sections = section_sizes(exe)
        groups, objects = map_contributions(out / "StrellDriverInstaller.map")
        symbols = largest_symbols(out / "StrellDriverInstaller-unstripped.exe")
        referrers = stream_referrers(out / "StrellDriverInstaller.map")
        self.results["windows"] = {"size": exe.stat().st_size, "sections": sections, "groups": groups,
                                   "stream_referrers": referrers, "gc_sections_size": gc_size,
                                   "objects": objects, "symbols": symbols, "link": " ".join(words)[:400]}


# ---------------------------------------------------------------------------------------------------------
# Map-file reading for the Windows size


def section_sizes(exe):
    sizes = {}
    for line in output_of(["x86_64-w64-mingw32-objdump", "-h", exe]).splitlines():
        parts = line.split()
        if len(parts) >= 7 and parts[0].isdigit():
            sizes[parts[1]] = int(parts[2], 16)
    return sizes


def group_of(source):
    """Takes an input file named in the map; gives back its group name."""
    archive = re.match(r"^(.*?)\((.*)\)$", source)
    if archive:
        library, member = Path(archive[1]).name, archive[2]
        if library == "libstrell_juce.a":
            return "JUCE " + member.replace(".cpp.obj", "").replace(".cpp.o", "")
        if library.startswith("libstdc++"):
            streams = ("locale", "ios", "stream", "facet", "codecvt", "monetary", "numeric", "time_members",
                       "messages", "collate", "ctype", "globals_io", "iostream", "compatibility")
            return "libstdc++ (" + ("locale, facets and streams" if any(w in member for w in streams) else "other") + ")"
        if library in ("libpng.a", "libjpeg.a", "libz.a"):
            return library[:-2] + " (image and zlib)"
        if library.startswith(("libgcc", "libmingw", "libmsvcrt", "libwinpthread", "libucrt", "libmoldname")):
            return "compiler runtime and C library (" + library + ")"
        return "system import libraries"
    name = Path(source).name
    if name.endswith(".res") or name.endswith(".rc.res"):
        return "resources (icons, manifest, version)"
    if "CMakeFiles" in source:
        return "our code"
    if name.startswith(("crt", "dllcrt")) or "mingw32" in source or "gcc" in source:
        return "compiler runtime and C library (start-up objects)"
    return "other (" + name + ")"


def map_contributions(map_file):
    """Takes a GNU ld map file; gives back the bytes per group and per input object that land in the
    file-backed output sections (.text, .rdata, .data, .pdata, .xdata, .idata, .rsrc, .CRT, .tls, .reloc)."""
    kept = {".text", ".rdata", ".data", ".pdata", ".xdata", ".idata", ".rsrc", ".CRT", ".tls", ".reloc"}
    groups = defaultdict(lambda: defaultdict(int))
    objects = defaultdict(int)
    output_section = None
    name_alone = False  # the previous line held only a long input-section name
    entry = re.compile(r"^ (\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
    continued = re.compile(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
    in_memory_map = False
    with open(map_file, errors="replace") as lines:
        for line in lines:
            line = line.rstrip("\n")
            if line.startswith("Linker script and memory map"):
                in_memory_map = True
                continue
            if not in_memory_map or not line:
                continue
            if not line[0].isspace():
                output_section = line.split()[0]
                name_alone = False
                continue
            if output_section not in kept:
                continue
            match = entry.match(line)
            if match:
                size, source = int(match[3], 16), match[4].strip()
            else:
                match = continued.match(line) if name_alone else None
                name_alone = len(line.split()) == 1 and line.startswith(" .")
                if match is None:
                    continue
                size, source = int(match[2], 16), match[3].strip()
            name_alone = False
            if size == 0:
                continue
            group = "base relocations (.reloc)" if output_section == ".reloc" else group_of(source)
            groups[group][output_section] += size
            objects[source] += size
    return ({group: dict(sections) for group, sections in groups.items()},
            sorted(objects.items(), key=lambda item: -item[1])[:25])


def stream_referrers(map_file):
    """Takes a GNU ld map file; gives back the input files outside libstdc++ whose references pulled in
    libstdc++'s locale, facet and stream members, with the symbol each one needed."""
    referrers = set()
    member = None
    with open(map_file, errors="replace") as lines:
        in_section = False
        for line in lines:
            line = line.rstrip("\n")
            if line.startswith("Archive member included"):
                in_section = True
                continue
            if in_section and (line.startswith("Discarded input sections") or line.startswith("Memory Configuration")):
                break
            if not in_section or not line.strip():
                continue
            if not line[0].isspace():
                member = line.split()[0]
                continue
            referrer = line.strip()
            if member and "libstdc++" in member and group_of(member).startswith("libstdc++ (locale") \
                    and "libstdc++" not in referrer.split(" (")[0]:
                referrers.add(referrer)
    return sorted(referrers)


def largest_symbols(exe, count=25):
    result = run(["x86_64-w64-mingw32-nm", "--size-sort", "-S", "-C", exe], capture_output=True, text=True,
                 check=True)
    rows = []
    for line in result.stdout.splitlines():
        parts = line.split(" ", 3)
        if len(parts) == 4 and parts[2] in "TtRrDdBb" and not parts[3].startswith("."):
            rows.append((int(parts[1], 16), parts[2], parts[3]))
    rows.sort(key=lambda row: -row[0])
    return rows[:count]


# ---------------------------------------------------------------------------------------------------------
# The report


def ms(seconds):
    value = seconds * 1000
    return f"{value:.3f} ms" if abs(value) < 10 else f"{value:.1f} ms"


def ratio_row(name, ratios, target=None, better="lower"):
    value = median(ratios)
    verdict = ""
    if target is not None:
        met = value <= target if better == "lower" else value >= target
        verdict = "met" if met else "**missed**"
    spread = f"{min(ratios):.3f} to {max(ratios):.3f}" if ratios else ""
    return f"| {name} | **{value:.3f}** | {spread} | {len(ratios)} | {target if target is not None else ''} | {verdict} |"


def write_report(bench, machine, tools, command, started, finished, path):
    r = bench.results
    lines = ["# Benchmark results", "",
             "Written by `bench/run-benchmarks.sh`; every speed figure is the median of per-pair ratios against a "
             "peer measured in the same run, the pairs taken in turn (A B A B ...).", "",
             "## Machine and command", "",
             f"- Command: `{command}`",
             f"- Run: {started} to {finished} (UTC)",
             f"- nproc: {machine['nproc']}; CPU: {machine['cpu']}; memory: {machine['memory']}",
             f"- Kernel: {machine['kernel']}; system: {machine['system']}; load average at start: {machine['load']}",
             f"- Build: `{bench.build}` (Release, the `linux` preset); pairs per figure: {bench.args.pairs}",
             f"- Peers: {tools['curl']}; {tools['unzip']}; {tools['nginx']}; {tools['time']} "
             "(Debian package `time`)",
             f"- Split of a run into steps: {'uprobes on the installer (tracefs, monotonic clock)' if bench.tracer else 'differential runs only (tracefs not usable)'}",
             ""]

    lines += ["## Summary", "", "| Figure | Median | Range | Pairs | Target | |", "|---|---|---|---|---|---|"]

    details = []
    if "download" in r:
        download = r["download"]
        details += ["## Package download", "",
                    "The installer's download step runs from the end of the catalogue response (nginx's `$msec`) to "
                    "the start of the downloaded setup program (bench-stamp with junk appended, its own clock): "
                    "connection, transfer into the temporary file, the polling pass that sees the end, the window's "
                    "closing and the start of the program. The peer is `curl -sS -o` of the same file from the same "
                    "nginx, timed from its start to its exit. Transfer alone: nginx's `$request_time` for each "
                    "request. Last byte to setup start: from nginx's end of the package response to the setup "
                    "program's first instruction; the polling slice is 50 ms.", "",
                    "| Size | Step / curl -o | Transfer / curl's | Step (median) | curl (median) | "
                    "Last byte to setup start: median, max | Connect (traced) | Polling passes |",
                    "|---|---|---|---|---|---|---|---|"]
        sizes = list(download)
        for size_mb, pairs in download.items():
            step = [p["installer"]["step"] / p["curl"]["wall"] for p in pairs]
            transfer = [p["installer"]["transfer"] / p["curl"]["transfer"] for p in pairs]
            tails = [p["installer"]["tail"] for p in pairs]
            traced = [p["installer"]["trace"] for p in pairs if p["installer"]["trace"]]
            connect = ms(median([t["connect"] for t in traced])) if traced else "n/a"
            passes = f"{median([t['passes'] for t in traced]):.0f}" if traced else "n/a"
            details.append(f"| {size_mb} MB | {median(step):.3f} | {median(transfer):.3f} | "
                           f"{median([p['installer']['step'] for p in pairs]):.3f} s | "
                           f"{median([p['curl']['wall'] for p in pairs]):.3f} s | {ms(median(tails))}, {ms(max(tails))} | "
                           f"{connect} | {passes} |")
            window = [t["finishedToWindowGone"] for t in traced]
            if size_mb == sizes[0]:
                lines.append(ratio_row(f"Download step / curl -o, {size_mb} MB", step, 1.05))
                lines.append(ratio_row(f"Download transfer / curl's transfer (nginx's request time), {size_mb} MB",
                                       transfer))
                lines.append(f"| Last byte sent by nginx to setup program started, {size_mb} MB | "
                             f"**{ms(median(tails))}** | {ms(min(tails))} to {ms(max(tails))} | {len(tails)} | | |")
                if window:
                    lines.append(f"| Transfer finished (download thread) to window closed, {size_mb} MB | "
                                 f"**{ms(median(window))}** | {ms(min(window))} to {ms(max(window))} | {len(window)} | "
                                 f"one 50 ms polling slice | {'met' if max(window) <= 0.055 else '**over**'} |")
            if window:
                details.append(f"|  | download thread finished to window closed (traced): median "
                               f"{ms(median(window))}, max {ms(max(window))} | | | | | | |")
                adjusted = [(p["installer"]["trace"]["step"] - p["installer"]["trace"]["longSleeps"]
                             - p["installer"]["trace"]["finishedToWindowGone"]) / p["curl"]["wall"]
                            for p in pairs if p["installer"]["trace"]]
                details.append(f"|  | traced step without the main thread's sleeps of 90 ms or more (median "
                               f"{ms(median([t['longSleeps'] for t in traced]))}) and the last polling wait, / "
                               f"curl -o: median {median(adjusted):.3f} | | | | | | |")
        details.append("")

        profile = r.get("download_profile")
        if profile:
            details += [f"CPU profile of one {profile['size']} MB run each (perf record -e cpu-clock, 1999 Hz; the "
                        "installer's profile also holds its start, window and catalogue): installer "
                        f"{profile['installer']['cpu']:.2f} s of CPU, curl {profile['curl']['cpu']:.2f} s "
                        f"(ratio {profile['installer']['cpu'] / max(profile['curl']['cpu'], 1e-9):.2f}); memory "
                        f"copies (memmove/memcpy) {100 * profile['installer']['memmove']:.1f} % of the installer's "
                        f"samples against {100 * profile['curl']['memmove']:.1f} % of curl's; TLS (libcrypto) "
                        f"{100 * profile['installer']['crypto']:.1f} % against {100 * profile['curl']['crypto']:.1f} %.",
                        "", "| Installer: share | where | curl: share | where |", "|---|---|---|---|"]
            for index in range(max(len(profile["installer"]["top"]), len(profile["curl"]["top"]))):
                cells = []
                for who in ("installer", "curl"):
                    top = profile[who]["top"]
                    if index < len(top):
                        share, dso, symbol = top[index]
                        cells += [f"{100 * share:.1f} %", f"{dso} `{symbol[:70]}`"]
                    else:
                        cells += ["", ""]
                details.append("| " + " | ".join(cells) + " |")
            details.append("")

        details += ["## Peak memory", "",
                    "Maximum resident set size of the whole installer process (GNU time `%M`, the process and the "
                    "setup program it waited for), in the same runs as the download figures; the peer is curl's in "
                    "the same pairs.", "",
                    "| Size | Installer peak RSS (median) | curl peak RSS (median) | Installer / curl | "
                    "Installer / its own at the smallest size |", "|---|---|---|---|---|"]
        sizes = list(download)
        base = median([p["installer"]["rss"] for p in download[sizes[0]]])
        for size_mb in sizes:
            pairs = download[size_mb]
            rss = [p["installer"]["rss"] for p in pairs]
            curl_rss = [p["curl"]["rss"] for p in pairs]
            details.append(f"| {size_mb} MB | {median(rss) / 1024:.1f} MiB | {median(curl_rss) / 1024:.1f} MiB | "
                           f"{median([a / b for a, b in zip(rss, curl_rss)]):.2f} | {median(rss) / base:.3f} |")
        if r.get("rss_baseline"):
            details.append(f"| tiny exe package | {median(r['rss_baseline']) / 1024:.1f} MiB | | | "
                           f"{median(r['rss_baseline']) / base:.3f} |")
        largest = sizes[-1]
        rss_largest = [p["installer"]["rss"] / 1024 for p in download[largest]]
        lines.append(f"| Peak RSS during the {largest} MB download | **{median(rss_largest):.1f} MiB** | "
                     f"{min(rss_largest):.1f} to {max(rss_largest):.1f} MiB | {len(rss_largest)} | 32 MiB | "
                     f"{'met' if max(rss_largest) <= 32 else '**missed**'} |")
        flat = median(rss_largest) / (base / 1024)
        lines.append(f"| Peak RSS at {largest} MB / at {sizes[0]} MB | **{flat:.3f}** | | | flat | "
                     f"{'met' if flat <= 1.05 else '**missed**'} |")
        details.append("")

    if "extraction" in r:
        e = r["extraction"]
        ratios = [p["juce"] / p["unzip"] for p in e["pairs"]]
        lines.append(ratio_row("Extraction: installDriverPackage / unzip -o", ratios, 0.8))
        details += ["## Extraction", "",
                    f"Package: {e['package_bytes'] / MB:.1f} MiB zip (Info-ZIP, default level) of {e['files']} files "
                    f"in nested folders, {e['unpacked_bytes'] / MB:.1f} MiB unpacked: text, compressible tables and "
                    "incompressible images, with the stand-in setup program (bench-stamp, exit 0) at x64/Setup.exe. "
                    "extract-bench times the installDriverPackage call (unpacking, the path checks and the start "
                    "and end of the setup program); the peer is `unzip -o -q` into a fresh folder on the same disk, "
                    "timed from start to exit. Dirty pages are written back (sync) before each timed run.", "",
                    f"- installDriverPackage: median {median([p['juce'] for p in e['pairs']]):.3f} s; unzip: median "
                    f"{median([p['unzip'] for p in e['pairs']]):.3f} s; ratio median {median(ratios):.3f}",
                    f"- The two unpacked trees are identical (diff -r): {'yes' if e['same_tree'] else 'no'}", ""]
        if not e["same_tree"]:
            details += ["```", e["differences"], "```", ""]

    if "overhead" in r:
        o = r["overhead"]
        zip_totals = [run_["total"] for run_ in o["runs"]["zip"]]
        exe_totals = [run_["total"] for run_ in o["runs"]["exe"]]
        pairs = min(len(zip_totals), len(o["peer"]))
        lines.append(f"| Overhead, tiny zip package: process start to setup program started | "
                     f"**{ms(median(zip_totals))}** | {ms(min(zip_totals))} to {ms(max(zip_totals))} | "
                     f"{len(zip_totals)} | 150 ms | {'met' if median(zip_totals) <= 0.150 else '**missed**'} |")
        lines.append(f"| Overhead, tiny exe package | **{ms(median(exe_totals))}** | {ms(min(exe_totals))} to "
                     f"{ms(max(exe_totals))} | {len(exe_totals)} | 150 ms | "
                     f"{'met' if median(exe_totals) <= 0.150 else '**missed**'} |")
        lines.append(ratio_row("Overhead (zip) / curl fetching the catalogue and the tiny package",
                               [zip_totals[i] / o["peer"][i] for i in range(pairs)]))
        details += ["## Overhead of a whole run", "",
                    "A whole run of the loopback installer with a tiny package (zip: bench-stamp in "
                    "<top>/x64/Setup.exe; exe: bench-stamp itself), from bench-stamp's start of the installer (just "
                    "before fork and exec) to the kernel's exec of the setup program. The peer is one curl process "
                    "fetching the catalogue and the tiny zip from the same server (two requests, one connection), "
                    "start to exit.", ""]
        for kind in ("zip", "exe"):
            split = [run_["phases"] for run_ in o["runs"][kind] if run_["phases"]]
            if not split:
                continue
            total = median([sum(v for k, v in p.items() if not k.startswith("of which")) for p in split])
            details += [f"Steps of the {kind} run (uprobes; medians of {len(split)} runs; shares of the median sum "
                        f"{ms(total)}; the \"of which\" rows are parts of the steps above them):", "",
                        "| Step | Median | Share |", "|---|---|---|"]
            for name in split[0]:
                value = median([p[name] for p in split])
                details.append(f"| {name} | {value * 1000:.2f} ms | {100 * value / total:.1f} % |")
            details.append("")
        for kind in ("zip", "exe"):
            split = [run_["phases"] for run_ in o["runs"][kind] if run_["phases"]]
            if split:
                without = [sum(v for k, v in p.items() if not k.startswith("of which"))
                           - p["of which: sleeps of 90 ms or more in catalogue"]
                           - p["of which: sleeps of 90 ms or more in download connect"] for p in split]
                details += [f"The {kind} run without the main thread's sleeps of 90 ms or more in the catalogue "
                            f"fetch and the download's connection: median {ms(median(without))}.", ""]
        d = o["differential"]
        details += ["Differential runs (bench-stamp start to exit, so each includes the framework's shutdown "
                    "where JUCE was up; medians):", "",
                    "| Run | Ends | Median | Difference to the run above |", "|---|---|---|---|"]
        previous = None
        for key, ending in (("notElevated", "-6 before JUCE (setpriv to uid 65534)"),
                            ("noDevice", "-4 after JUCE up and the USB scan"),
                            ("unlisted", "-3 after the working folder, window and catalogue"),
                            ("exe", "setup program (tiny exe) ran and ended"),
                            ("zip", "setup program (tiny zip) ran and ended")):
            value = median(d[key])
            diff = "" if previous is None else ms(value - previous)
            details.append(f"| {key} | {ending} | {ms(value)} | {diff} |")
            previous = value
        details.append("")

    if "usb" in r:
        u = r["usb"]
        scanned = u["matchInstanceIdsAsScanned/1000"]
        prebuilt = u["prebuiltPatternsFind/1000"]
        stream = u["streamBuiltPatterns/1000"]
        small = u["matchInstanceIdsAsScanned/30"]
        lines.append(f"| USB matching, 51 candidates x 1,000 ids (CPU time per scan) | **{ms(median(scanned))}** | "
                     f"{ms(min(scanned))} to {ms(max(scanned))} | {len(scanned)} | 1 ms | "
                     f"{'met' if median(scanned) <= 0.001 else '**missed**'} |")
        lines.append(ratio_row("USB matching / the same search with prebuilt patterns, 1,000 ids",
                               [a / b for a, b in zip(scanned, prebuilt)]))
        lines.append(f"| USB matching, 51 candidates x 30 ids (a typical machine) | "
                     f"**{median(small) * 1e6:.1f} us** | {min(small) * 1e6:.1f} to {max(small) * 1e6:.1f} us | "
                     f"{len(small)} | | |")
        details += ["## USB matching", "",
                    "usb-match-bench (Google Benchmark), one process per case, the cases in turn, "
                    "`--benchmark_min_time=0.2`. The scan builds every pattern afresh for every device element "
                    "(hand-rolled hex into a fixed buffer, searched in place); the peers are the same substring "
                    "search with the 51 patterns built once up front, and the patterns built afresh with a string "
                    "stream as the scan did before. Times are CPU time per scan (the wall-clock figure on this "
                    "shared machine is in the last column).", "",
                    "| Case | Median CPU time per scan | Ratio to prebuilt patterns (median of pairs) | "
                    "Median wall time |", "|---|---|---|---|"]

        def shown(seconds):
            return ms(seconds) if seconds >= 1e-4 else f"{seconds * 1e6:.1f} us"

        for ids in ("1000", "30"):
            base = u[f"prebuiltPatternsFind/{ids}"]
            for case in ("matchInstanceIdsAsScanned", "prebuiltPatternsFind", "streamBuiltPatterns"):
                key = f"{case}/{ids}"
                if key in u:
                    value = u[key]
                    details.append(f"| {case}, {ids} ids | {shown(median(value))} | "
                                   f"{median([a / b for a, b in zip(value, base)]):.2f} | "
                                   f"{shown(median(u[key + ' real']))} |")
        details.append("")
        details.append(f"Building the patterns with a string stream, as before, took "
                       f"{median(stream) / median(scanned):.1f} times as long as the scan does now.")
        details.append("")

    if "windows" in r:
        w = r["windows"]
        lines.append(f"| Stripped Windows exe | **{w['size'] / MB:.2f} MiB** ({w['size']} bytes) | | | | |")
        grand = sum(sum(s.values()) for s in w["groups"].values())
        details += ["## Size of the Windows exe", "",
                    f"`build/windows/StrellDriverInstaller.exe`: {w['size']} bytes. Sections of the stripped exe "
                    "(objdump -h): " + ", ".join(f"{name} {size / 1024:.0f} KiB" for name, size in w["sections"].items())
                    + ".", "",
                    "Contributions from a map file of the same link without `-s` (`-Wl,-Map`), by input file, "
                    f"over the file-backed sections ({grand / MB:.2f} MiB in all):", "",
                    "| Group | Bytes | Share | .text | .rdata | .pdata + .xdata | .data | other |",
                    "|---|---|---|---|---|---|---|---|"]
        for group, sections in sorted(w["groups"].items(), key=lambda item: -sum(item[1].values())):
            size = sum(sections.values())
            unwind = sections.get(".pdata", 0) + sections.get(".xdata", 0)
            other = size - sections.get(".text", 0) - sections.get(".rdata", 0) - unwind - sections.get(".data", 0)
            details.append(f"| {group} | {size} | {100 * size / grand:.1f} % | {sections.get('.text', 0)} | "
                           f"{sections.get('.rdata', 0)} | {unwind} | {sections.get('.data', 0)} | {other} |")
        details += ["", f"The same link with `-Wl,--gc-sections` (objects as built, without -ffunction-sections): "
                    f"{w['gc_sections_size']} bytes, {w['gc_sections_size'] / w['size']:.3f} of the exe."]
        details += ["", "What pulled libstdc++'s locale, facet and stream members in (from the map's list of archive "
                    "members and the references that brought them):", ""]
        details += [f"- `{referrer}`" for referrer in w["stream_referrers"]]
        details += ["", "Largest symbols (x86_64-w64-mingw32-nm --size-sort -S of the unstripped link):", "",
                    "| Bytes | Type | Symbol |", "|---|---|---|"]
        for size, kind, name in w["symbols"]:
            details.append(f"| {size} | {kind} | `{name[:110]}` |")
        details.append("")

    lines.append("")
    report = lines + details
    if bench.notes:
        report += ["## Notes from this run", ""] + [f"- {note}" for note in bench.notes] + [""]
    explanations = SOURCE / "bench" / "ANALYSIS.md"
    if explanations.exists():
        report += [explanations.read_text().rstrip(), ""]
    path.write_text("\n".join(report))
    (bench.work / "results.json").write_text(json.dumps(bench.results, indent=1, default=str))


# ---------------------------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(SOURCE / "build" / "linux"))
    parser.add_argument("--windows-dir", default=str(SOURCE / "build" / "windows"))
    parser.add_argument("--work-dir", default=str(SOURCE / "build" / "bench"))
    parser.add_argument("--out", default=str(SOURCE / "bench" / "RESULTS.md"))
    parser.add_argument("--pairs", type=int, default=5)
    parser.add_argument("--download-sizes", type=int, nargs="+", default=[256, 512, 1024])
    parser.add_argument("--only", nargs="+", choices=["overhead", "download", "extraction", "usb", "windows"])
    parser.add_argument("--command", default="bench/run-benchmarks.sh")
    parser.add_argument("--port-wait", type=int, default=1800, help="seconds to wait for a busy loopback port")
    args = parser.parse_args()
    if args.pairs < 5:
        parser.error("at least 5 pairs per figure")
    only = set(args.only or ["overhead", "download", "extraction", "usb", "windows"])

    started = datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M:%S")
    machine, tools = machine_description(), tool_versions()
    bench = Bench(args)
    bench.tmp.mkdir(parents=True, exist_ok=True)
    bench.tmp.chmod(0o777)

    if only & {"overhead", "download"}:
        bench.pki = servers.make_pki(bench.work / "pki")
        bench.prepare_server_files()
        wait_for_loopback_port(args.port_wait)
        if UprobeTracer.usable():
            bench.tracer = UprobeTracer(bench.installer)
            try:
                bench.tracer.install()
            except (OSError, RuntimeError) as error:
                bench.notes.append(f"uprobes could not be set ({error}); the split uses differential runs only")
                bench.tracer.remove()
                bench.tracer = None
        bench.display = Xvfb()
        bench.display.start()
        bench.server = BenchNginx(bench.www, PORT, bench.pki, bench.work / "nginx")
        try:
            bench.server.start()
            if "overhead" in only:
                log("overhead of a whole run")
                bench.bench_overhead()
            if "download" in only:
                log("download and peak memory")
                bench.bench_download()
                log("CPU profile of one download each")
                bench.profile_download(bench.args.download_sizes[0])
        finally:
            bench.server.stop()
            bench.display.stop()
            if bench.tracer:
                bench.tracer.remove()
    if "extraction" in only:
        log("extraction")
        bench.bench_extraction()
    if "usb" in only:
        log("USB matching")
        bench.bench_usb()
    if "windows" in only:
        log("Windows exe size")
        bench.bench_windows_size()

    finished = datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M:%S")
    write_report(bench, machine, tools, args.command, started, finished, Path(args.out))
    log(f"wrote {args.out}")


if __name__ == "__main__":
    main()
