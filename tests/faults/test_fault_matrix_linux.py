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
from fault_matrix import (CHECK_DAMAGED_FILE_DIFFERS, CHECK_EARLIER_ENTRIES_STAY, CHECK_EARLIER_RUN_KEPT,  # noqa: E402
                          CHECK_OTHER_SERVER_ASKED, CHECK_SECOND_NOT_ASKED, LINUX, SECOND_PACKAGE, cases_for)
from strelltest import native, servers  # noqa: E402
from strelltest.wine import Xvfb  # noqa: E402

FOREIGN_DEVICE = (0x046D, 0xC52B)
# Run as root in a private mount namespace: a read-only bind mount there is the only thing that stops root
# from writing, and it is gone with the namespace.
READ_ONLY_THEN_RUN = 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && shift && exec "$@"'
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def selected(rows):
    wanted = [name for name in os.environ.get("FAULT_CASES", "").split(",") if name]
    return [row for row in rows if not wanted or row.id in wanted]


class FaultMatrixLinux(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.installer = native.program("StrellDriverInstaller-loopback")
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
        rows = selected(cases_for(LINUX))
        self.assertTrue(rows, "no case selected")
        self.reasons, self.work_folders = {}, {}
        for row in rows:
            with self.subTest(case=row.id):
                self.run_case(row)
        fx.reasons_told_apart(self, self.reasons, self.work_folders)

    # One row

    def run_case(self, row):
        setup = row.setup
        work = self.scratch / row.id
        self.work_folders[row.id] = work
        self.addCleanup(shutil.rmtree, work, True)
        temp, sentinel = work / "tmp", work / "sentinel"
        result, before, record, script_record = self.run_row(row, work, "writable")

        code = result.returncode
        stdout = result.stdout.decode("utf-8", errors="replace")
        stderr = result.stderr.decode("utf-8", errors="replace")
        runs = [(r["path"], r) for r in native.read_records(record)]
        if script_record.exists():
            runs += [(line, None) for line in script_record.read_text().splitlines()]
        seen = f"exit {code}, stdout {stdout[-300:]!r}, stderr {stderr[-300:]!r}, runs {[p for p, _ in runs]}"

        self.assertEqual(code, row.exit[LINUX], seen)
        self.assertRegex(stdout, "^" + row.stdout_for(LINUX) + r"\Z", seen)
        self.assertRegex(stderr, "^" + row.stderr_for(LINUX) + r"\Z", seen)
        self.check_runs(row, runs, temp, seen)
        self.assertEqual(self.progress_windows(), [], "a progress window is still open")
        self.assertEqual(fx.downloaded_files(temp), [], "the downloaded file was left behind")
        skip = [fx.WORKING_FOLDER, fx.LOG_FOLDER]
        after = (fx.snapshot(temp, skip=skip), fx.snapshot(sentinel))
        self.assertEqual(fx.snapshot_changes(before[0], after[0]), [], "the temporary folder changed")
        self.assertEqual(fx.snapshot_changes(before[1], after[1]), [], "the sentinel tree changed")
        fx.check_asked(self, row, self.asked)
        for check in row.checks:
            self.check_named(check, row, temp, self.asked)
        self.check_log(row, temp, code, seen)

        # The log folder read-only, or a file in its place: the same run, byte for byte, and no log.
        for state in fx.LOG_FOLDER_STATES[1:] if fx.log_expected(setup.disk) else ():
            again, _, _, _ = self.run_row(row, work, state)
            self.assertEqual((again.returncode, again.stdout, again.stderr), (result.returncode, result.stdout,
                             result.stderr), f"log folder {state}: the run differs")
            logs = temp.joinpath(*fx.LOG_FOLDER)
            if state == "file":
                self.assertEqual(logs.read_text(), fx.LOG_FOLDER_FILE_TEXT, "the file in the log folder's place changed")
            else:
                self.assertEqual(list(logs.iterdir()), [], "a log was written into a read-only folder")

    def run_row(self, row, work, log_folder):
        """Takes a row, its own folder and the LOG_FOLDER_STATES value to start with; arranges the row's
        folders afresh in the same places, serves it and runs the installer once. Gives back the completed
        process, the snapshots before it, and the setup program's record files; sets self.asked."""
        setup = row.setup
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir()
        temp, sentinel = work / "tmp", work / "sentinel"
        fx.prepare_sentinel(sentinel)
        fx.prepare_temp_folder(temp, setup.disk, sentinel)
        read_only_logs = fx.prepare_log_folder(temp, log_folder)
        usb = servers.make_usb_tree(work / "usb", self.devices(setup.devices))
        record, script_record = work / "setup-record.jsonl", work / "script-record.txt"
        before = (fx.snapshot(temp, skip=[fx.WORKING_FOLDER, fx.LOG_FOLDER]), fx.snapshot(sentinel))

        with contextlib.ExitStack() as stack:
            served = self.serve(stack, setup, str(sentinel))
            env = dict(os.environ, TMPDIR=str(temp), DISPLAY=self.display.display,
                       FAKE_SETUP_RECORD=str(record), FAULT_SCRIPT_RECORD=str(script_record))
            env.update({f"FAKE_SETUP_{name}": value for name, value in setup.setup_env})
            command = [str(self.installer)]
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
            self.asked = {name: server.requests if server else None for name, server in served.items()}
        return result, before, record, script_record

    def check_log(self, row, temp, code, seen):
        """Checks the run's one log (or that there is none where the log folder cannot be made) and keeps
        its exit line's reason for test_every_case."""
        logs = fx.run_logs(temp)
        if not fx.log_expected(row.setup.disk) or row.setup.token == "limited":
            # A run without root writes its log only where it may; in a root-owned folder it may not.
            self.assertEqual(logs, [], "a log where none can be written")
            return
        self.assertEqual(len(logs), 1, f"not one log: {[name for name, _ in logs]}")
        name, text = logs[0]
        self.assertRegex(name, fx.LOG_NAME)
        logged, exit_name, reason = fx.check_run_log(self, text, LINUX, code, f"{seen}\nlog:\n{text[-3000:]}")
        if exit_name != "setupProgramExitCode":
            self.reasons[row.id] = (logged, exit_name, reason)

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
        if check == CHECK_EARLIER_ENTRIES_STAY:
            self.assertTrue((package_folder / fx.native_subfolder(LINUX) / "Setup.exe").is_file(),
                            "the entries before the refused one were not unpacked")
        elif check == CHECK_DAMAGED_FILE_DIFFERS:
            damaged = package_folder / fx.DAMAGED_ENTRY
            self.assertTrue(damaged.is_file(), "the damaged entry was not unpacked")
            self.assertNotEqual(damaged.read_bytes(), fx.firmware_image(), "the damage did not show")
        elif check == CHECK_OTHER_SERVER_ASKED:
            path = f"{fx.DRIVER_FOLDER}/{row.setup.package_name}"
            self.assertEqual(len([r for r in asked["other"] if r["path"] == path]), 1, asked["other"])
        elif check == CHECK_EARLIER_RUN_KEPT:
            for path in fx.earlier_run_files(temp):
                self.assertTrue(path.is_file(), f"{path} was removed from a read-only folder")
        elif check == CHECK_SECOND_NOT_ASKED:
            requests = asked["catalogue"]
            self.assertEqual([r for r in requests if SECOND_PACKAGE in r["path"]], [],
                             "the second model's package was asked for")
        else:
            self.fail(f"unknown check {check}")


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)
