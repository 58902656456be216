"""What the whole-run tests of the Linux installer share: one Xvfb display per test class, and per test a
temporary folder of the installer's own (TMPDIR) with a working folder left over from an earlier run, a fake
USB tree holding one supported model, and runs of StrellDriverInstaller-loopback in the test namespace."""

import os
import subprocess
from dataclasses import dataclass
from pathlib import Path

from strelltest import native, packages, servers
from strelltest.codes import LINUX, seen_by

RUN_TIMEOUT = 180


@dataclass
class Run:
    code: int
    stdout: str
    stderr: str
    records: list


class InstallerTestCase(native.DisplayTestCase):
    scratch_prefix = "strell-e2e-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.installer = native.program("StrellDriverInstaller-loopback")
        models = native.supported_models()
        # A model from the middle of the table, so that its slot and its product id differ from the first's.
        cls.model = models[len(models) // 2]
        cls.other_models = [m for m in models if m.product_id != cls.model.product_id]

    def setUp(self):
        super().setUp()
        self.use_temp_folder(self.scratch / "tmp")
        self.usb_tree = servers.make_usb_tree(self.scratch / "usb", [
            servers.UsbDevice(0x046d, 0xc52b, None, "1-1"),
            servers.UsbDevice(self.model.vendor_id, self.model.product_id, "STRELL0001", "1-2")])
        self.record = self.scratch / "record.jsonl"

    # The installer's temporary folder

    def use_temp_folder(self, folder):
        """Makes folder the installer's temporary folder, with what an earlier run left behind in it. As root
        the installer takes $TMPDIR only when no one but root can change its path: the scratch folder is
        made by root below /tmp, so it qualifies (see test_working_folder_attacks.py for one that does not)."""
        self.tmp = Path(folder)
        self.working_folder = self.tmp / "Tarnwell" / "StrellDriver"
        old_setup = self.working_folder / "Tarnwell_Old_0.0.0.1" / "x64" / "Setup.exe"
        old_setup.parent.mkdir(parents=True)
        old_setup.write_bytes(b"left by an earlier run")
        (self.working_folder / "notes.txt").write_text("old\n")
        (self.tmp / "Tarnwell" / "keep.txt").write_text("beside the working folder\n")
        (self.tmp / "unrelated.txt").write_text("not ours\n")

    def assert_temp_folder_clean(self):
        """The downloaded file is gone, the old working folder contents were removed, the rest is kept."""
        self.assertEqual(native.temp_files(self.tmp), [], "the downloaded file was left behind")
        self.assertTrue(self.working_folder.is_dir(), "the working folder is missing after the run")
        self.assertFalse((self.working_folder / "Tarnwell_Old_0.0.0.1").exists(), "old package not removed")
        self.assertFalse((self.working_folder / "notes.txt").exists(), "old file not removed")
        self.assertTrue((self.tmp / "Tarnwell" / "keep.txt").is_file(), "the outer folder was not left alone")
        self.assertTrue((self.tmp / "unrelated.txt").is_file())

    # Runs

    def installer_env(self, display=True, **setup_env):
        env = dict(os.environ)
        env["TMPDIR"] = str(self.tmp)
        env["DISPLAY"] = self.display.display if display else native.unused_display()
        env["FAKE_SETUP_RECORD"] = str(self.record)
        env.update({f"FAKE_SETUP_{key.upper()}": str(value) for key, value in setup_env.items()})
        return env

    def start_installer(self, **setup_env):
        """Starts a run in the background; gives back its Popen (stdout and stderr piped). The caller ends
        it with servers.end_process_group."""
        return servers.popen_in_test_namespace([self.installer], env=self.installer_env(**setup_env),
                                               cert_bundle=self.pki.bundle, usb_tree=self.usb_tree,
                                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run_installer(self, display=True, **setup_env):
        result = servers.run_in_test_namespace([self.installer], env=self.installer_env(display, **setup_env),
                                               cert_bundle=self.pki.bundle, usb_tree=self.usb_tree,
                                               timeout=RUN_TIMEOUT)
        run = Run(result.returncode, result.stdout.decode(errors="replace"),
                  result.stderr.decode(errors="replace"), native.read_records(self.record))
        if self.record.exists():
            self.record.unlink()
        return run

    def assert_failed_quietly(self, run, code):
        """The run ended with the given installer code (as the shell reads it), printed nothing and ran no
        setup program."""
        self.assertEqual(run.code, seen_by(LINUX, code), f"stdout {run.stdout!r} stderr {run.stderr!r}")
        self.assertEqual((run.stdout, run.stderr), ("", ""))
        self.assertEqual(run.records, [], "a setup program was run")

    def assert_setup_ran(self, run, code, program):
        """The run ran program once, with only its path as argument, with no window open, and passed its
        exit code on."""
        self.assertEqual(run.code, code, f"stdout {run.stdout!r} stderr {run.stderr!r}")
        self.assertEqual((run.stdout, run.stderr), ("", ""))
        self.assertEqual(len(run.records), 1, run.records)
        record = run.records[0]
        self.assertEqual(record["argv"], [str(program)])
        self.assertEqual(record["path"], str(program))
        self.assertFalse(record["windowOpen"], "the progress window was open while the setup program ran")

    # Catalogue and packages

    def pid(self, model=None):
        return f"0x{(model or self.model).product_id:04x}"

    def catalogue(self, base_url, driver, pid=None):
        """A catalogue listing every model: ours with the given driver, the others with packages of their
        own."""
        entries = [packages.Entry(self.pid(m), f"Tarnwell_{m.key_name}_1.0.0.1.zip", m.display_name)
                   for m in self.other_models[:10]]
        entries.append(packages.Entry(pid or self.pid(), driver, self.model.display_name))
        return packages.catalogue(base_url, entries)

    def driver_zip(self, name, **kwargs):
        return packages.make_driver_zip(self.scratch / "packages" / name, self.setup_program, **kwargs)

    def unpacked_setup(self, package_name, subfolder="x64"):
        return self.working_folder / package_name[:-4] / subfolder / "Setup.exe"
