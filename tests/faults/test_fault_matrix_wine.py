"""The fault matrix (fault_matrix.py) against the Windows installer built for tests, under Wine: every row
that runs on Windows is one whole run of StrellDriverInstaller-loopback.exe, started through the launcher as
a Windows parent would (which reads all 32 bits of its exit code), in one prefix that trusts the test CA,
reports Windows 10 and shows a registry-made USB device, against our fault server on the loopback port.
One subTest per row. FAULT_CASES=<id>,<id> runs only those rows."""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "wine"))

import fault_fixtures as fx  # noqa: E402
from fault_matrix import (CHECK_DRIVE_ROOTS_UNTOUCHED, CHECK_EARLIER_RUN_KEPT,  # noqa: E402
                          CHECK_NOTHING_UNPACKED, CHECK_OTHER_SERVER_ASKED, CHECK_PACKAGE_ASKED_ONCE,
                          CHECK_SETUP_PROGRAM_UNPACKED, WINDOWS, selected_cases)
from strelltest import native, servers, wine  # noqa: E402
from wine_runs import InstallerRunCase  # noqa: E402

ROOTED_ESCAPE = "strell-fault-escaped.txt"


def chattr(flag, path):
    """Sets or clears (flag "+i" / "-i") the immutable attribute on a tree: it stops root and Wine alike."""
    subprocess.run(["chattr", "-R", flag, str(path)], check=True, timeout=30, capture_output=True)


class FaultMatrixWine(InstallerRunCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.untrusted_pki = servers.make_pki(cls.scratch / "untrusted-pki")  # not in the prefix's Root store
        cls.setup_program = cls.fake_setup.read_bytes()
        cls.sentinel = cls.temp.parent / "sentinel"  # beside the Windows user's temporary folder
        cls.sentinel_windows = cls.temp_windows.rsplit("\\", 1)[0] + "\\sentinel"
        cls.drive_c = Path(os.path.realpath(cls.prefix.path / "dosdevices" / "c:"))

    def test_every_case(self):
        rows = selected_cases(WINDOWS)
        self.assertTrue(rows, "no case selected")
        reasons = {}
        for row in rows:
            with self.subTest(case=row.id):
                try:
                    fx.run_and_check_row(self, row, reasons)
                finally:
                    self.prefix.remove_all_usb_devices()
        fx.reasons_told_apart(self, reasons, {row.id: self.temp for row in rows},
                              fx.SAME_CAUSE + fx.SAME_CAUSE_UNDER_WINE)

    # One row

    def fresh_folders(self, setup):
        """Empties what an earlier row left in the temporary folder and the sentinel tree, then fills them."""
        for path in list(self.temp.iterdir()):
            if path.is_dir() and not path.is_symlink():
                shutil.rmtree(path)
            else:
                path.unlink()
        shutil.rmtree(self.sentinel, ignore_errors=True)
        fx.prepare_temp_folder(self.temp, setup.disk)
        fx.prepare_sentinel(self.sentinel)

    def run_case(self, row, log_folder="writable"):
        """Arranges the row's Setup with the log folder in a LOG_FOLDER_STATES state, runs the installer once
        through the launcher; gives back what the checks look at."""
        setup = row.setup
        self.prefix.remove_all_usb_devices()
        self.fresh_folders(setup)
        read_only_logs = fx.prepare_log_folder(self.temp, log_folder)
        if setup.devices != "none":
            self.plug_in(0)
        if self.record.exists():
            self.record.unlink()
        before = fx.snapshots(self.temp, self.sentinel)

        with contextlib.ExitStack() as stack:
            served = self.serve(stack, setup)
            for target in (fx.read_only_target(self.temp, setup.disk), read_only_logs):
                if target is not None:
                    chattr("+i", target)
                    stack.callback(chattr, "-i", target)
            env = {"FAKE_SETUP_RECORD": self.prefix.windows_path(self.record)}
            env.update({f"FAKE_SETUP_{name}": value for name, value in setup.setup_env})
            try:
                installer = self.installer if setup.installer == "plain" else wine.tool(fx.installer_name(setup))
                result = self.prefix.launch(installer, limited=setup.token == "limited", env=env,
                                            timeout=row.bound_s)
            except subprocess.TimeoutExpired:
                self.fail(f"the run did not end within {row.bound_s} s")
            asked = {name: server.requests if server else None for name, server in served.items()}

        self.assertEqual(result.launcher_code, 0, f"the run did not end within {row.bound_s} s: {result.stderr}")
        runs = [(r["path"], r) for r in native.read_records(self.record)]
        return fx.Outcome(code=result.exit_code, stdout=result.child_stdout, stderr=result.stderr, runs=runs,
                          asked=asked, temp=self.temp, sentinel=self.sentinel, before=before)

    @staticmethod
    def writes_log(row):
        """Wine does not enforce access lists: a run with a limited token writes its log too."""
        return True

    def check_case(self, row, outcome, reasons):
        """Checks a run's outcome and its log against the row and against what holds for every row."""
        seen = fx.check_outcome(self, row, WINDOWS, outcome)
        fx.check_run_log(self, row, WINDOWS, outcome, seen, reasons, log_written=self.writes_log(row))
        self.check_runs(row, [record for _, record in outcome.runs], seen)
        self.assertEqual([title for _, title in self.prefix.windows() if title == fx.WINDOW_TITLE], [],
                         "a progress window is still open")
        for check in row.checks:
            self.check_named(check, row, outcome.asked)

    def serve(self, stack, setup):
        """Starts the servers the Setup names and gives them their routes; gives back {"catalogue": ...,
        "package": ..., "plain": ...} (a FaultServer or None each)."""
        served, base = fx.start_servers(stack, setup, self.pki, self.untrusted_pki)
        if base is None:
            return served

        second_pid = self.product_id(1)
        other_pids = [model["product_id"] for model in self.models[2:12]]
        package = fx.package_bytes(setup, WINDOWS, self.setup_program, self.sentinel_windows)
        text = fx.catalogue_text(setup, base, self.product_id(0), second_pid, other_pids, "unused.zip", package)
        return fx.route_servers(stack, setup, served, text, package, self.pki)

    # Checks

    def expected_setup_path(self, row):
        """A pattern (compared without case) for the Windows path the setup program must be started by."""
        if row.setup.package_name.lower().endswith("exe"):
            return re.escape(self.temp_windows) + r"\\temp_[0-9a-f]+"
        return re.escape(self.windows_temp_path(*fx.WORKING_FOLDER, fx.package_stem(row.setup.package_name),
                                                fx.native_subfolder(WINDOWS), "Setup.exe"))

    def check_runs(self, row, records, seen):
        self.assertEqual(len(records), row.runs_for(WINDOWS), seen)
        for record in records:
            self.assertRegex(record["path"], "(?i)^" + self.expected_setup_path(row) + r"\Z")
            self.assertEqual(record["argc"], 1, f"started with arguments: {record['argv']}")
            self.assertFalse(record["windowOpen"], "the progress window was open while the setup program ran")

    def check_named(self, check, row, asked):
        package_folder = self.working_folder / fx.package_stem(row.setup.package_name)
        if check == CHECK_SETUP_PROGRAM_UNPACKED:
            self.assertTrue((package_folder / fx.setup_subfolder(row.setup, WINDOWS) / "Setup.exe").is_file(),
                            "the entries before the refused one were not unpacked")
        elif check == CHECK_NOTHING_UNPACKED:
            self.assertFalse(package_folder.exists(), "something was unpacked")
        elif check == CHECK_PACKAGE_ASKED_ONCE:
            path = f"{fx.DRIVER_FOLDER}/{row.setup.package_name}"
            self.assertEqual(len([r for r in asked["package"] if r["path"] == path]), 1, asked["package"])
        elif check == CHECK_OTHER_SERVER_ASKED:
            path = f"{fx.DRIVER_FOLDER}/{row.setup.package_name}"
            self.assertEqual(len([r for r in asked["other"] if r["path"] == path]), 1, asked["other"])
        elif check == CHECK_EARLIER_RUN_KEPT:
            fx.check_earlier_run(self, self.temp, kept=True)
        elif check == CHECK_DRIVE_ROOTS_UNTOUCHED:
            # The installer's current drive is Z: (the Linux root) when started from a Linux folder.
            for root in (Path("/"), self.drive_c):
                escaped = root / ROOTED_ESCAPE
                if escaped.exists():
                    escaped.unlink()
                    self.fail(f"an entry was written to {escaped}")
        else:
            self.fail(f"unknown check {check}")


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)
