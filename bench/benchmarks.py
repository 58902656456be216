#!/usr/bin/python3
"""The installer's benchmarks; bench/run-benchmarks.sh runs this and it writes bench/RESULTS.md.

Absolute times on a shared 2-core machine are noise, so every speed figure is a ratio against a peer doing
the same work in the same run, taken in pairs (A B A B ...); the median of the per-pair ratios is reported.

- download: a whole run of the loopback installer with an N MB "exe" package (bench-stamp with junk
  appended) less its median run with a tiny one, against `curl -o` of the same file less `curl -o` of the
  tiny one, from the same nginx: what the bytes cost each (the fixed costs are in the overhead figure);
  each pair also runs the installer with the package's sha256 in its catalogue entry, against the same curl;
- peak memory of those runs (GNU time's maximum resident set size);
- extraction: installDriverPackage (extract-bench) against Info-ZIP `unzip -o`, same package, same disk;
- overhead: a whole run with a tiny package, process start to the setup program's start, against curl
  fetching the catalogue and that package;
- USB matching: usb-match-bench, the scan's matching against the same search with prebuilt patterns;
- catalogue signature: signature-bench (the check on a signed catalogue, timed from inside) against
  `openssl dgst -sha256 -verify` of the same bytes and signature (a process, its start included);
- wine: whole runs of the Windows loopback installer (the windows preset's build) in a fresh Wine prefix
  without a window manager (Managed=N) with a tiny package, read from each run's log (milliseconds since
  the start): to the catalogue request and to the setup program's start. No peer: Wine is not Windows.

bench/ANALYSIS.md says what the figures mean. Large generated files go to build/bench. Servers listen on
127.0.0.1 only; every wait is bounded.
"""

import argparse
import base64
import datetime
import json
import os
import random
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

from strelltest import packages, servers, wine  # noqa: E402
from strelltest.wine import Xvfb  # noqa: E402

MB = 1 << 20
PORT = servers.LOOPBACK_PORT
GNU_TIME = "/usr/bin/time"
RUN_TIMEOUT = 300
EXTRACT_PACKAGE_NAME = "Tarnwell_Bench_1.0.zip"
TINY_ZIP_NAME = "Tarnwell_Bench_Tiny.zip"
TINY_EXE_NAME = "bench-tiny.exe"
SECTIONS = ["overhead", "download", "extraction", "usb", "signature", "wine"]
WINE_ZIP_NAME = "Tarnwell_Bench_Wine.zip"
SIGNED_CATALOGUE_ENTRIES = (51, 20000)  # the models' catalogue, and one of about 2 MB


def log(text):
    print(f"[bench {time.strftime('%H:%M:%S')}] {text}", flush=True)


def run(cmd, timeout=RUN_TIMEOUT, **kwargs):
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run([str(c) for c in cmd], timeout=timeout, **kwargs)


def first_line(cmd):
    try:
        result = run(cmd, timeout=30, capture_output=True, text=True)
        return (result.stdout or result.stderr).strip().splitlines()[0]
    except (OSError, IndexError, subprocess.SubprocessError):
        return "unavailable"


def wait_for_loopback_port(limit_s):
    """Waits, bounded, while a test or another server holds the loopback port."""
    deadline = time.monotonic() + limit_s
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            try:
                probe.bind(("127.0.0.1", PORT))
                return
            except OSError:
                pass
        if time.monotonic() > deadline:
            raise SystemExit(f"port {PORT} stayed busy for {limit_s} s; try later")
        log(f"port {PORT} busy; waiting")
        time.sleep(10)


def write_junk_program(path, program, size):
    """Writes program's bytes followed by junk up to size bytes (an ELF still runs with trailing bytes)."""
    if path.exists() and path.stat().st_size == size:
        return path
    chunk = random.Random(size).randbytes(16 * MB)
    with open(path, "wb") as out:
        out.write(Path(program).read_bytes())
        while out.tell() < size:
            out.write(chunk[:min(size - out.tell(), len(chunk))])
    path.chmod(0o755)
    return path


def make_extraction_package(folder, setup_program):
    """Makes (once) a package of about 3,200 mixed files in nested folders: text, compressible tables and
    incompressible images, zipped by Info-ZIP, with the setup program at <top>/x64/Setup.exe."""
    package = folder / EXTRACT_PACKAGE_NAME
    if package.exists():
        return package
    log("making the extraction package (once)")
    rng = random.Random(20240611)
    top = folder / "src" / EXTRACT_PACKAGE_NAME[:-4]
    shutil.rmtree(top.parent, ignore_errors=True)
    words = ["".join(rng.choice("tarnwelldriverusbaudio") for _ in range(rng.randint(2, 9))) for _ in range(600)]
    corpus = "\n".join(" ".join(rng.choice(words) for _ in range(rng.randint(4, 14))) for _ in range(40000)).encode()
    folders = ["x64", "x86", "docs/en", "docs/ja/html", "tools/lib/plugins"] + [
        f"firmware/model{m:02d}/rev{r}" for m in range(12) for r in range(3)]

    def add(name, data):
        target = top / rng.choice(folders) / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)

    for index in range(1700):
        size = rng.randint(300, 48 * 1024)
        start = rng.randrange(0, len(corpus) - size)
        add(f"text_{index}.inf", corpus[start:start + size])
    for index in range(900):
        record = rng.randbytes(60)
        add(f"table_{index}.bin", b"".join(record + n.to_bytes(4, "little") for n in range(rng.randint(256, 8192))))
    for index in range(572):
        add(f"image_{index}.cab", rng.randbytes(rng.randint(64 * 1024, 760 * 1024)))
    (top / "x64").mkdir(parents=True, exist_ok=True)
    shutil.copy2(setup_program, top / "x64" / "Setup.exe")
    run(["zip", "-q", "-r", "-X", package.resolve(), top.name], cwd=top.parent, check=True, timeout=600)
    shutil.rmtree(top.parent, ignore_errors=True)
    return package


def parse_stamps(path):
    """bench-stamp's lines (event, realtime ns, monotonic ns, pid) as {event: [monotonic seconds]}."""
    stamps = defaultdict(list)
    if path.exists():
        for line in path.read_text().splitlines():
            event, _, monotonic, _ = line.split()
            stamps[event].append(int(monotonic) / 1e9)
    return stamps


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = Path(args.build_dir).resolve()
        self.work = Path(args.work_dir).resolve()
        self.tmp = self.work / "tmp"
        self.www = self.work / "www"
        self.tmp.mkdir(parents=True, exist_ok=True)
        self.tmp.chmod(0o777)
        self.figures = []  # (figure, median, range text, samples)

    def program(self, name):
        path = self.build / name
        if not path.is_file():
            raise SystemExit(f"{path} has not been built (configure with -DSTRELL_BENCH=ON)")
        return path

    def figure(self, name, values, unit=""):
        scale = {"ms": 1e3, "MiB": 1 / 1024, "us": 1e6}.get(unit, 1)
        shown = [v * scale for v in values]
        self.figures.append((name, f"{statistics.median(shown):.3f} {unit}".strip(),
                             f"{min(shown):.3f} to {max(shown):.3f}", len(values)))

    # -- whole runs ----------------------------------------------------------------------------------------

    def prepare(self):
        stamp = self.program("bench-stamp")
        drivers = self.www / "drivers"
        drivers.mkdir(parents=True, exist_ok=True)
        (self.www / "firmware" / "unitpanel" / "firmware").mkdir(parents=True, exist_ok=True)
        shutil.copy2(stamp, drivers / TINY_EXE_NAME)
        packages.make_driver_zip(drivers / TINY_ZIP_NAME, stamp)
        slot, vendor, product = run([self.program("model-table")], capture_output=True, text=True,
                                    check=True).stdout.splitlines()[0].split("\t")[:3]
        self.product = int(product, 16)
        self.usb_tree = servers.make_usb_tree(self.work / "usb", [servers.UsbDevice(int(vendor, 16), self.product,
                                                                                     serial="BENCH0001")])

    def set_catalogue(self, driver, sha256=None):
        text = packages.catalogue(f"https://localhost:{PORT}/drivers",
                                  [packages.Entry(f"0x{self.product:04x}", driver, sha256=sha256)])
        (self.www / "firmware" / "unitpanel" / "firmware" / "interfaces.xml").write_text(text)

    def run_installer(self):
        """One whole run; gives back (process start to setup program start in seconds, peak RSS in KiB)."""
        stamps_file, rss_file = self.tmp / "stamps.txt", self.tmp / "rss.txt"
        stamps_file.unlink(missing_ok=True)
        env = dict(os.environ, DISPLAY=self.display.display, TMPDIR=str(self.tmp), FAKE_SETUP_STAMP_FILE=str(stamps_file))
        cmd = [self.program("bench-stamp"), "--run", GNU_TIME, "-f", "%M", "-o", rss_file,
               self.program("StrellDriverInstaller-loopback")]
        result = servers.run_in_test_namespace(cmd, env=env, cert_bundle=self.pki.bundle, usb_tree=self.usb_tree,
                                               timeout=RUN_TIMEOUT)
        stamps = parse_stamps(stamps_file)
        if result.returncode != 0 or len(stamps["setup"]) != 1:
            raise RuntimeError(f"installer run ended with {result.returncode}: {result.stderr.decode(errors='replace')}")
        return stamps["setup"][0] - stamps["start"][0], int(rss_file.read_text().split()[-1])

    def run_curl(self, paths):
        """Fetches paths from the server with one curl process; gives back its wall time in seconds."""
        cmd = ["curl", "-sS", "--fail", "--cacert", self.pki.ca_cert]
        for index, path in enumerate(paths):
            cmd += ["-o", self.tmp / f"curl-{index}.out", f"https://localhost:{PORT}/{path}"]
        started = time.perf_counter()
        run(cmd, check=True)
        wall = time.perf_counter() - started
        for index in range(len(paths)):
            (self.tmp / f"curl-{index}.out").unlink(missing_ok=True)
        return wall

    def bench_overhead(self):
        self.set_catalogue(TINY_ZIP_NAME)
        self.run_installer()  # warm-up: fonts, caches, the server's first handshake
        runs, ratios = [], []
        for _ in range(self.args.pairs):
            total, _ = self.run_installer()
            peer = self.run_curl(["firmware/unitpanel/firmware/interfaces.xml", f"drivers/{TINY_ZIP_NAME}"])
            runs.append(total)
            ratios.append(total / peer)
        self.figure("Overhead, tiny zip package: process start to setup program started", runs, "ms")
        self.figure("Overhead (zip) / curl fetching the catalogue and the tiny package", ratios)

    def bench_download(self):
        # What the extra bytes cost each side: the runs less the median runs with the tiny package.
        self.set_catalogue(TINY_EXE_NAME)
        baseline = [self.run_installer() for _ in range(self.args.pairs)]
        tiny_time = statistics.median(t for t, _ in baseline)
        tiny_curl = statistics.median(self.run_curl([f"drivers/{TINY_EXE_NAME}"]) for _ in range(self.args.pairs))
        self.figure("Peak RSS of a run with the tiny package", [rss for _, rss in baseline], "MiB")
        for size_mb in self.args.download_sizes:
            big = write_junk_program(self.www / "drivers" / f"bench-{size_mb}.exe", self.program("bench-stamp"),
                                     size_mb * MB)
            digest = packages.sha256_of(big)
            ratios, hashed_ratios, rss = [], [], []
            for pair in range(self.args.pairs):
                self.set_catalogue(big.name)
                os.sync()
                total, peak = self.run_installer()
                os.sync()
                curl = self.run_curl([f"drivers/{big.name}"])
                self.set_catalogue(big.name, sha256=digest)
                os.sync()
                hashed, _ = self.run_installer()
                ratios.append((total - tiny_time) / (curl - tiny_curl))
                hashed_ratios.append((hashed - tiny_time) / (curl - tiny_curl))
                rss.append(peak)
                log(f"download {size_mb} MB pair {pair + 1}: installer +{total - tiny_time:.3f} s, "
                    f"with sha256 +{hashed - tiny_time:.3f} s, curl +{curl - tiny_curl:.3f} s")
            self.figure(f"Download of {size_mb} MB beyond a tiny package: installer / curl -o", ratios)
            self.figure(f"Download of {size_mb} MB with sha256 in its entry, beyond a tiny package: "
                        "installer / curl -o", hashed_ratios)
            self.figure(f"Peak RSS during the {size_mb} MB download", rss, "MiB")

    def bench_wine(self):
        """Whole runs of the Windows build under Wine with a tiny package; the figures come from the run log."""
        os.environ["STRELL_BUILD_DIR"] = str(Path(self.args.windows_build_dir).resolve())  # wine.tool's folder
        installer = wine.tool("StrellDriverInstaller-loopback")
        packages.make_driver_zip(self.www / "drivers" / WINE_ZIP_NAME, wine.tool("fake-setup"),
                                 subfolder=("x64_Win10", "x64"))
        self.set_catalogue(WINE_ZIP_NAME)
        shutil.rmtree(self.work / "wine", ignore_errors=True)
        prefix = wine.WinePrefix(self.work / "wine" / "prefix", display=self.display.display)
        try:
            prefix.create()  # Managed=N: no window manager runs on the bench's Xvfb
            prefix.add_root_certificate(self.pki.ca_der)
            prefix.set_windows_version("win10")
            vendor = int(run([self.program("model-table")], capture_output=True, text=True,
                             check=True).stdout.split("\t")[1], 16)
            prefix.add_usb_device(vendor, self.product)
            logs = prefix.temp_dir() / "Tarnwell" / "Logs"
            to_catalogue, to_setup = [], []
            for attempt in range(self.args.pairs + 1):  # the first run warms Wine's caches up
                shutil.rmtree(logs, ignore_errors=True)
                result = prefix.launch(installer, env={"FAKE_SETUP_EXIT_CODE": "0"})
                events = [line for path in logs.glob("*.log") for line in path.read_text().splitlines()]
                at = {name: next((int(line.split()[0]) for line in events if line.split("ms  ", 1)[-1]
                                  .startswith(name)), None) for name in ("catalogue: fetching", "setup program starting")}
                if result.exit_code != 0 or None in at.values():
                    raise RuntimeError(f"Wine run ended with {result.exit_code}; log:\n" + "\n".join(events))
                log(f"wine run {attempt}: catalogue request at {at['catalogue: fetching']} ms, setup program "
                    f"started at {at['setup program starting']} ms")
                if attempt > 0:
                    to_catalogue.append(at["catalogue: fetching"] / 1e3)
                    to_setup.append(at["setup program starting"] / 1e3)
        finally:
            prefix.stop()
        self.figure("Wine (Managed=N), tiny zip package, run log: start to catalogue request", to_catalogue, "ms")
        self.figure("Wine (Managed=N), tiny zip package, run log: start to setup program started", to_setup, "ms")

    # -- programs on their own -----------------------------------------------------------------------------

    def bench_extraction(self):
        folder = self.work / "extract"
        folder.mkdir(exist_ok=True)
        package = make_extraction_package(folder, self.program("bench-stamp"))
        out = folder / "out"
        ratios = []
        for pair in range(self.args.pairs):
            shutil.rmtree(out, ignore_errors=True)
            out.mkdir()
            os.sync()
            result = run([self.program("extract-bench"), package, EXTRACT_PACKAGE_NAME, out / "own"],
                         capture_output=True, text=True, check=True)
            fields = dict(line.split(" ", 1) for line in result.stdout.splitlines())
            if int(fields["result"]) != 0:
                raise RuntimeError(f"installDriverPackage gave {fields['result']}: {result.stderr}")
            own = int(fields["unpack_ns"]) / 1e9
            os.sync()
            started = time.perf_counter()
            run(["unzip", "-o", "-q", package, "-d", out / "unzip"], check=True)
            ratios.append(own / (time.perf_counter() - started))
            log(f"extraction pair {pair + 1}: ratio {ratios[-1]:.3f}")
        same = run(["diff", "-r", "-q", out / "own", out / "unzip"], capture_output=True).returncode == 0
        shutil.rmtree(out, ignore_errors=True)
        if not same:
            raise RuntimeError("installDriverPackage and unzip unpacked different trees")
        self.figure("Extraction (same tree checked): installDriverPackage / unzip -o", ratios)

    def bench_usb(self):
        cases = ["matchInstanceIdsAsScanned/1000", "prebuiltPatternsFind/1000", "matchInstanceIdsAsScanned/30"]
        times = defaultdict(list)
        for _ in range(self.args.pairs):
            for case in cases:
                result = run([self.program("usb-match-bench"), f"--benchmark_filter=^{case}$",
                              "--benchmark_format=json", "--benchmark_min_time=0.2"],
                             capture_output=True, text=True, check=True)
                entries = [b for b in json.loads(result.stdout)["benchmarks"] if b.get("run_type") == "iteration"]
                if len(entries) != 1 or entries[0].get("error_occurred"):
                    raise RuntimeError(f"usb-match-bench {case}: {result.stdout[-500:]}")
                unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3}[entries[0]["time_unit"]]
                times[case].append(entries[0]["cpu_time"] * unit)
        scanned, prebuilt = times["matchInstanceIdsAsScanned/1000"], times["prebuiltPatternsFind/1000"]
        self.figure("USB matching, 51 candidates x 1,000 ids (CPU time per scan)", scanned, "ms")
        self.figure("USB matching / the same search with prebuilt patterns, 1,000 ids",
                    [a / b for a, b in zip(scanned, prebuilt)])
        self.figure("USB matching, 51 candidates x 30 ids (a typical machine)", times["matchInstanceIdsAsScanned/30"],
                    "us")


    def bench_signature(self):
        folder = self.work / "signature"
        folder.mkdir(exist_ok=True)
        for count in SIGNED_CATALOGUE_ENTRIES:
            entries = [packages.Entry(f"0x{n:04x}", f"Tarnwell_Model{n}_1.0.0.1.zip", sha256="ab" * 32)
                       for n in range(1, count + 1)]
            text = packages.catalogue("https://localhost/drivers", entries, sign_with="a")
            catalogue = folder / f"signed-{count}.xml"
            catalogue.write_text(text)
            cut = text.rindex("<!--")
            (folder / "document").write_bytes(text[:cut].encode("utf-8"))
            signature = text[cut:].split()[3]
            (folder / "signature.der").write_bytes(base64.b64decode(signature))
            own, ratios = [], []
            for _ in range(self.args.pairs):
                result = run([self.program("signature-bench"), catalogue, packages.TEST_PUBLIC_KEYS, "21"],
                             capture_output=True, text=True, check=True)
                fields = dict(line.split(" ", 1) for line in result.stdout.splitlines())
                own.append(int(fields["verify_ns"]) / 1e9)
                started = time.perf_counter()
                run(["openssl", "dgst", "-sha256", "-verify", packages.KEYS_FOLDER / "catalogue-test-a.pub.pem",
                     "-signature", folder / "signature.der", folder / "document"], capture_output=True, check=True)
                ratios.append(own[-1] / (time.perf_counter() - started))
            size = f"{catalogue.stat().st_size / 1024:.0f} KiB"
            self.figure(f"Catalogue signature check, {count} entries ({size})", own, "ms")
            self.figure(f"Catalogue signature check / openssl dgst -verify process, {size}", ratios)


def write_report(bench, args, started, finished):
    """Writes the figures as one table, with the machine and the command, to args.out."""
    load = " ".join(Path("/proc/loadavg").read_text().split()[:3])
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), "unknown")
    lines = [
        "# Benchmark results", "",
        "Written by `bench/run-benchmarks.sh`; each ratio is the median of per-pair ratios against a peer "
        "measured in the same run. What the figures mean, and the targets: bench/ANALYSIS.md.", "",
        f"- Command: `{args.command}`; run {started} to {finished} (UTC); load average at the end: {load}",
        f"- nproc: {os.cpu_count()}; CPU: {cpu}; build: `{bench.build}`; pairs per figure: {args.pairs}",
        f"- Peers: {' '.join(first_line(['curl', '--version']).split()[:2])}; {first_line(['unzip', '-v'])}", "",
        "| Figure | Median | Range | Samples |", "|---|---|---|---|",
    ]
    lines += [f"| {name} | **{value}** | {spread} | {count} |" for name, value, spread, count in bench.figures]
    Path(args.out).write_text("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(SOURCE / "build" / "linux"))
    parser.add_argument("--windows-build-dir", default=str(SOURCE / "build" / "windows"),
                        help="the windows preset's build, for the wine section")
    parser.add_argument("--work-dir", default=str(SOURCE / "build" / "bench"))
    parser.add_argument("--out", default=str(SOURCE / "bench" / "RESULTS.md"))
    parser.add_argument("--pairs", type=int, default=5)
    parser.add_argument("--download-sizes", type=int, nargs="+", default=[256, 1024])
    parser.add_argument("--only", nargs="+", choices=SECTIONS)
    parser.add_argument("--command", default="bench/run-benchmarks.sh")
    parser.add_argument("--port-wait", type=int, default=1800, help="seconds to wait for a busy loopback port")
    args = parser.parse_args()
    if args.pairs < 5:
        parser.error("at least 5 pairs per figure")
    only = set(args.only or SECTIONS)
    started = datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M:%S")
    bench = Bench(args)
    if only & {"overhead", "download", "wine"}:
        bench.pki = servers.make_pki(bench.work / "pki")
        bench.prepare()
        wait_for_loopback_port(args.port_wait)
        bench.display = Xvfb()
        bench.display.start()
        server = servers.NginxServer(bench.www, PORT, bench.pki, bench.work / "nginx")
        try:
            server.start()
            for section in ("overhead", "download", "wine"):
                if section in only:
                    log(section)
                    getattr(bench, f"bench_{section}")()
        finally:
            server.stop()
            bench.display.stop()
    for section in ("extraction", "usb", "signature"):
        if section in only:
            log(section)
            getattr(bench, f"bench_{section}")()
    write_report(bench, args, started, datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M:%S"))
    log(f"wrote {args.out}")


if __name__ == "__main__":
    main()
