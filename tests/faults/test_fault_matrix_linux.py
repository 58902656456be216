"""The fault matrix (fault_matrix.py) against the Linux installer built for tests: every row that runs on
Linux is one whole run of StrellDriverInstaller-loopback in the test namespace (which trusts the test CA
and shows a fake USB bus), on an Xvfb display of this test's own, against our fault server on the loopback
port. One subTest per row. FAULT_CASES=<id>,<id> runs only those rows."""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import fault_fixtures as fx  # noqa: E402
from fault_matrix import (CHECK_DAMAGED_FILE_DIFFERS, CHECK_EARLIER_RUN_KEPT,  # noqa: E402
                          CHECK_NOTHING_UNPACKED, CHECK_OTHER_SERVER_ASKED, CHECK_PACKAGE_ASKED_ONCE,
                          CHECK_SECOND_NOT_ASKED,
                          CHECK_SETUP_PROGRAM_UNPACKED, LINUX,
                          SECOND_PACKAGE, selected_cases)
from strelltest import native, servers  # noqa: E402
from strelltest.wine import Xvfb  # noqa: E402

FOREIGN_DEVICE = (0x046D, 0xC52B)
# Run as root in a private mount namespace: a read-only bind mount there is the only thing that stops root
# from writing, and it is gone with the namespace.
READ_ONLY_THEN_RUN = 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && shift && exec "$@"'
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


class FaultMatrixLinux(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.setup_program = native.program("fake-setup").read_bytes()
        models = native.supported_models()
        cls.model = models[len(models) // 2]
        cls.second = models[len(models) // 2 + 1]
        listed = {m.product_id for m in models}
        cls.unlisted_pid = next(pid for pid in range(0xFFF0, 0, -1) if pid not in listed)
        cls.other_pids = [m.product_id for m in models if m not in (cls.model, cls.second)][:10]
        scratch = tempfile.TemporaryDirectory(prefix="strell-faults-")
        cls.addClassCleanup(scratch.cleanup)
        cls.scratch = Path(scratch.name)
        cls.pki = servers.shared_pki()
        cls.untrusted_pki = servers.make_pki(cls.scratch / "untrusted-pki")  # a CA nobody trusts
        cls.display = Xvfb()
        cls.display.start()
        cls.addClassCleanup(cls.display.stop)

    def test_every_case(self):
        rows = selected_cases(LINUX)
        self.assertTrue(rows, "no case selected")
        reasons = {}
        for row in rows:
            with self.subTest(case=row.id):
                fx.run_and_check_row(self, row, reasons)
        fx.reasons_told_apart(self, reasons, {row.id: self.scratch / row.id for row in rows})

    # One row

    def run_case(self, row, log_folder="writable"):
        """Arranges the row's Setup (always in the same folders, so that runs of a row compare byte for byte)
        with the log folder in a LOG_FOLDER_STATES state, runs the installer once; gives back what the
        checks look at."""
        setup = row.setup
        work = self.scratch / row.id
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir()
        self.addCleanup(shutil.rmtree, work, True)
        temp, sentinel = work / "tmp", work / "sentinel"
        fx.prepare_sentinel(sentinel)
        fx.prepare_temp_folder(temp, setup.disk, sentinel)
        read_only_logs = fx.prepare_log_folder(temp, log_folder)
        usb = servers.make_usb_tree(work / "usb", self.devices(setup.devices))
        record, script_record = work / "setup-record.jsonl", work / "script-record.txt"
        before = fx.snapshots(temp, sentinel)

        with contextlib.ExitStack() as stack:
            served = self.serve(stack, setup, str(sentinel))
            env = dict(os.environ, TMPDIR=str(temp), DISPLAY=self.display.display,
                       FAKE_SETUP_RECORD=str(record), FAKE_SETUP_SCRIPT_RECORD=str(script_record))
            env.update({f"FAKE_SETUP_{name}": value for name, value in setup.setup_env})
            command = [str(native.program(fx.installer_name(setup)))]
            if setup.token == "limited":
                command = NOBODY + command
            for target in (fx.read_only_target(temp, setup.disk), read_only_logs):
                if target is not None:
                    command = ["sh", "-c", READ_ONLY_THEN_RUN, "read-only", str(target)] + command
            try:
                result = servers.run_in_test_namespace(command, env=env, cert_bundle=self.pki.bundle,
                                                       usb_tree=usb, timeout=row.bound_s)
            except subprocess.TimeoutExpired:
                self.fail(f"the run did not end within {row.bound_s} s")
            asked = {name: server.requests if server else None for name, server in served.items()}

        runs = [(r["path"], r) for r in native.read_records(record)]
        if script_record.exists():
            runs += [(line, None) for line in script_record.read_text().splitlines()]
        return fx.Outcome(code=result.returncode, stdout=result.stdout.decode("utf-8", errors="replace"),
                          stderr=result.stderr.decode("utf-8", errors="replace"), runs=runs, asked=asked,
                          temp=temp, sentinel=sentinel, before=before)

    @staticmethod
    def writes_log(row):
        """A run without root writes its log only where it may: not in a folder of root's."""
        return row.setup.token != "limited"

    def check_case(self, row, outcome, reasons):
        """Checks a run's outcome and its log against the row and against what holds for every row."""
        seen = fx.check_outcome(self, row, LINUX, outcome)
        fx.check_run_log(self, row, LINUX, outcome, seen, reasons, log_written=self.writes_log(row))
        self.check_runs(row, outcome.runs, outcome.temp, seen)
        self.assertEqual(self.progress_windows(), [], "a progress window is still open")
        for check in row.checks:
            self.check_named(check, row, outcome.temp, outcome.asked)

    def devices(self, kind):
        foreign = servers.UsbDevice(*FOREIGN_DEVICE, None, "1-1")
        ours = servers.UsbDevice(self.model.vendor_id, self.model.product_id, "STRELL0001", "1-2")
        if kind == "none":
            return []
        if kind == "unsupported":
            return [foreign, servers.UsbDevice(self.model.vendor_id, self.unlisted_pid, "STRELL0009", "1-2")]
        if kind == "several":
            return [foreign, ours, servers.UsbDevice(self.second.vendor_id, self.second.product_id, "STRELL0002",
                                                     "1-3")]
        return [foreign, ours]

    def serve(self, stack, setup, sentinel):
        """Starts the servers the Setup names and gives them their routes; gives back {"catalogue": ...,
        "package": ..., "plain": ...} (a FaultServer or None each)."""
        served, base = fx.start_servers(stack, setup, self.pki, self.untrusted_pki)
        if base is None:
            return served

        package = fx.package_bytes(setup, LINUX, self.setup_program, sentinel)
        text = fx.catalogue_text(setup, base, self.model.product_id, self.second.product_id, self.other_pids,
                                 SECOND_PACKAGE, package)
        return fx.route_servers(stack, setup, served, text, package, self.pki)

    # Checks

    def progress_windows(self):
        tree = subprocess.run(["xwininfo", "-display", self.display.display, "-root", "-tree"],
                              capture_output=True, text=True, timeout=30, check=True).stdout
        return re.findall(r'^\s*(0x[0-9a-f]+) "' + re.escape(fx.WINDOW_TITLE) + '"', tree, re.MULTILINE)

    def expected_setup_path(self, row, temp):
        """A pattern for the path the setup program must be started by."""
        if row.setup.package_name.lower().endswith("exe"):
            return re.escape(str(temp)) + r"/temp_[0-9a-f]+"
        folder = Path(temp).joinpath(*fx.WORKING_FOLDER, fx.package_stem(row.setup.package_name),
                                     fx.native_subfolder(LINUX))
        return re.escape(str(folder / "Setup.exe"))

    def check_runs(self, row, runs, temp, seen):
        self.assertEqual(len(runs), row.runs_for(LINUX), seen)
        for path, record in runs:
            self.assertRegex(path, "^" + self.expected_setup_path(row, temp) + r"\Z")
            if record is not None:
                self.assertEqual(record["argv"], [path], "started with more than its path")
                self.assertFalse(record["windowOpen"], "the progress window was open while the setup program ran")

    def check_named(self, check, row, temp, asked):
        package_folder = Path(temp).joinpath(*fx.WORKING_FOLDER, fx.package_stem(row.setup.package_name))
        if check == CHECK_SETUP_PROGRAM_UNPACKED:
            self.assertTrue((package_folder / fx.setup_subfolder(row.setup, LINUX) / "Setup.exe").is_file(),
                            "the entries before the refused one were not unpacked")
        elif check == CHECK_DAMAGED_FILE_DIFFERS:
            damaged = package_folder / fx.DAMAGED_ENTRY
            self.assertTrue(damaged.is_file(), "the damaged entry was not unpacked")
            self.assertNotEqual(damaged.read_bytes(), fx.firmware_image(), "the damage did not show")
        elif check == CHECK_NOTHING_UNPACKED:
            self.assertFalse(package_folder.exists(), "something was unpacked")
        elif check == CHECK_OTHER_SERVER_ASKED:
            path = f"{fx.DRIVER_FOLDER}/{row.setup.package_name}"
            self.assertEqual(len([r for r in asked["other"] if r["path"] == path]), 1, asked["other"])
        elif check == CHECK_EARLIER_RUN_KEPT:
            fx.check_earlier_run(self, temp, kept=True)
        elif check == CHECK_PACKAGE_ASKED_ONCE:
            path = f"{fx.DRIVER_FOLDER}/{row.setup.package_name}"
            self.assertEqual(len([r for r in asked["package"] if r["path"] == path]), 1, asked["package"])
        elif check == CHECK_SECOND_NOT_ASKED:
            requests = asked["catalogue"]
            self.assertEqual([r for r in requests if SECOND_PACKAGE in r["path"]], [],
                             "the second model's package was asked for")
        else:
            self.fail(f"unknown check {check}")


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)
