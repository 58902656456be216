"""Attacks on the working folder by another user of the same machine: whole runs of the Linux installer built
for tests, as root in the test namespace with a /tmp of its own, while the unprivileged user nobody (uid
65534, through setpriv) tries to rename the working folder or its parent away, replace or add files, plant
links and open the folder up; and what a user's environment, kept by the administrator who starts the
installer, could make the elevated run load, write or connect to.

Each attempt is made while the installer waits for the stand-in setup program, which stops at its pause
point until the attempts are done: so every attempt is made at a known moment, with the working folder
filled and the installer holding it. Each attempt must be refused by the system (permission denied), and
the run must go on to run the intact setup program (the hash of the image that ran is the stand-in's) and
pass its exit code on, with nothing planted in the working folder."""

import os
import shutil
import socket
import stat
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from e2e_support import RUN_TIMEOUT, InstallerTestCase
from strelltest import native, packages, servers

PACKAGE = "Tarnwell_Corvel_1.2.0.7.zip"
STEM = PACKAGE[:-4]
EXIT_CODE = 5
PAUSE_TIMEOUT = 120
# Paths as the installer and the attacker see them, in the namespace.
WORKING = "/tmp/Tarnwell/StrellDriver"
SETUP_FOLDER = f"{WORKING}/{STEM}/x64"
REFUSED = ("Permission denied", "Operation not permitted")
ATTEMPTS = (
    ("rename Tarnwell away", "mv /tmp/Tarnwell /tmp/Tarnwell-away"),
    ("rename the working folder away", f"mv {WORKING} /tmp/Tarnwell/away"),
    ("rename the package folder away", f"mv {WORKING}/{STEM} {WORKING}/away"),
    ("overwrite Setup.exe", f"printf 'evil' > {SETUP_FOLDER}/Setup.exe"),
    ("replace Setup.exe by a rename", "printf '#!/bin/sh\\ntouch /tmp/pwned\\n' > /tmp/evil.$$ && chmod 755 /tmp/evil.$$"
                                      f" && mv -f /tmp/evil.$$ {SETUP_FOLDER}/Setup.exe"),
    ("delete Setup.exe", f"rm -f {SETUP_FOLDER}/Setup.exe"),
    ("add a library beside Setup.exe", f"printf 'evil' > {SETUP_FOLDER}/libevil.so"),
    ("add a file to the working folder", f": > {WORKING}/planted"),
    ("plant a link", f"ln -s /etc {SETUP_FOLDER}/link"),
    ("open the working folder to all", f"chmod 0777 {WORKING}"),
)


def fnv1a64(data: bytes) -> str:
    """The 64-bit FNV-1a hash that the stand-in setup program records of its own image."""
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return f"{value:016x}"


@unittest.skipUnless(os.geteuid() == 0, "needs real root: the installer runs as root and nobody attacks it")
class WorkingFolderAttacks(InstallerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.genuine_hash = fnv1a64(Path(cls.setup_program).read_bytes())

    def setUp(self):
        # A /tmp of the test's own, mounted over /tmp in the run's namespace; the scratch folder stays visible.
        self.scratch = Path(tempfile.mkdtemp(prefix="strell-attacks-"))
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.private_tmp = servers.make_private_tmp(self.scratch / "private-tmp")
        self.tmp = self.private_tmp
        self.working_folder = self.private_tmp / "Tarnwell" / "StrellDriver"
        self.usb_tree = servers.make_usb_tree(self.scratch / "usb", [
            servers.UsbDevice(self.model.vendor_id, self.model.product_id, "STRELL0001", "1-2")])
        self.record = self.scratch / "record.jsonl"
        self.ready, self.go = self.scratch / "pause-ready", self.scratch / "pause-go"
        self.server = servers.FaultServer(port=servers.LOOPBACK_PORT, pki=self.pki)
        self.server.start()
        self.addCleanup(self.server.stop)
        self.server.set_route(packages.CATALOGUE_PATH,
                              servers.xml(self.catalogue(self.server.url("/drivers"), PACKAGE)))
        package = self.driver_zip(PACKAGE).read_bytes()
        self.server.set_route(f"/drivers/{PACKAGE}", servers.ok(package, content_type="application/zip"))

    # One attacked run

    def run_attacked(self, tmpdir=None, umask=None, **callers_env):
        """Runs the installer, with callers_env added to its environment; at the setup program's pause point
        makes every attempt as nobody. Gives back (the run's exit code, its stderr, {attempt:
        CompletedProcess})."""
        env = dict(os.environ, DISPLAY=self.display.display, FAKE_SETUP_RECORD=str(self.record),
                   FAKE_SETUP_PAUSE_READY=str(self.ready), FAKE_SETUP_PAUSE_GO=str(self.go),
                   FAKE_SETUP_EXIT_CODE=str(EXIT_CODE), **callers_env)
        env.pop("TMPDIR", None)
        if tmpdir is not None:
            env["TMPDIR"] = tmpdir
        command = [str(self.installer)]
        if umask is not None:
            command = ["sh", "-c", f'umask {umask:o} && exec "$@"', "with-umask"] + command
        process = servers.popen_in_test_namespace(command, env=env, cert_bundle=self.pki.bundle,
                                                  usb_tree=self.usb_tree, private_tmp=self.private_tmp,
                                                  keep_in_tmp=[self.scratch], stdout=subprocess.PIPE,
                                                  stderr=subprocess.PIPE)
        try:
            deadline = time.monotonic() + PAUSE_TIMEOUT
            while not self.ready.exists() and process.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            attempts = {}
            if self.ready.exists():
                attempts = {name: servers.run_as_nobody_in(process.pid, script) for name, script in ATTEMPTS}
            self.go.touch()
            _, stderr = process.communicate(timeout=RUN_TIMEOUT)
        finally:
            servers.end_process_group(process)
        self.assertTrue(attempts, "the setup program never reached its pause point")
        return process.returncode, stderr.decode(errors="replace"), attempts

    # Checks

    def assert_every_attempt_refused(self, attempts):
        for name, result in attempts.items():
            with self.subTest(attempt=name):
                self.assertNotEqual(result.returncode, 0, f"{name} succeeded: {result.stderr!r}")
                self.assertTrue(any(text in result.stderr for text in REFUSED),
                                f"{name} failed for another reason: {result.stderr!r}")

    def assert_intact_program_ran(self, code, stderr):
        self.assertEqual(code, EXIT_CODE, stderr)
        records = native.read_records(self.record)
        self.assertEqual(len(records), 1, records)
        self.assertEqual(records[0]["path"], f"{SETUP_FOLDER}/Setup.exe")
        self.assertEqual(records[0]["imageHash"], self.genuine_hash, "another program ran as the setup program")
        self.assertFalse((self.private_tmp / "pwned").exists(), "a planted program ran")

    def assert_working_folder_intact(self):
        """Only the package is in the working folder, byte for byte; everything in it is root's, and no
        folder or file of it is writable by group or others."""
        found = {}
        for folder, dirs, files in os.walk(self.working_folder):
            for name in dirs + files:
                path = Path(folder, name)
                found[str(path.relative_to(self.working_folder))] = path.lstat()
        self.assertEqual(sorted(found), [STEM, f"{STEM}/x64", f"{STEM}/x64/Setup.exe"])
        self.assertEqual((self.working_folder / STEM / "x64" / "Setup.exe").read_bytes(),
                         Path(self.setup_program).read_bytes())
        for path in [self.working_folder.parent, self.working_folder] + [self.working_folder / p for p in found]:
            status = path.lstat()
            with self.subTest(path=str(path)):
                self.assertEqual(status.st_uid, 0)
                self.assertFalse(stat.S_ISLNK(status.st_mode))
                self.assertEqual(status.st_mode & 0o022, 0, f"mode {status.st_mode & 0o7777:o}")
        self.assertEqual(stat.S_IMODE(self.working_folder.lstat().st_mode), 0o755)

    # The cases

    def test_tarnwell_made_first_by_the_attacker(self):
        # nobody's Tarnwell, open to all, with a working folder holding a planted setup program, and a link
        # where the log folder goes.
        outer = self.private_tmp / "Tarnwell"
        planted = outer / "StrellDriver" / STEM / "x64" / "Setup.exe"
        planted.parent.mkdir(parents=True)
        planted.write_text("#!/bin/sh\ntouch /tmp/pwned\n")
        (outer / "Logs").symlink_to(self.scratch)
        for path in [outer, *outer.rglob("*")]:
            os.lchown(path, servers.NOBODY_UID, servers.NOBODY_UID)
            os.chmod(path, 0o777)

        code, stderr, attempts = self.run_attacked()
        self.assert_every_attempt_refused(attempts)
        self.assert_intact_program_ran(code, stderr)
        self.assert_working_folder_intact()
        # nobody's tree was moved aside whole and left to its owner.
        aside = [p for p in self.private_tmp.iterdir() if p.name.startswith("Tarnwell.untrusted-")]
        self.assertEqual(len(aside), 1, list(self.private_tmp.iterdir()))
        self.assertEqual(aside[0].stat().st_uid, servers.NOBODY_UID)
        self.assertEqual((aside[0] / planted.relative_to(outer)).read_text(), "#!/bin/sh\ntouch /tmp/pwned\n")
        # The link did not silence the log: it was written in a folder of root's, and says what was moved.
        logs = list((outer / "Logs").iterdir())
        self.assertEqual(len(logs), 1, logs)
        self.assertEqual(logs[0].lstat().st_uid, 0)
        self.assertIn("moved aside what another user had in the way: \"/tmp/Tarnwell.untrusted-", logs[0].read_text())
        self.assertFalse(any(p.name.startswith("StrellDriverInstaller-") for p in self.scratch.iterdir()))

    def test_tmpdir_owned_by_the_attacker_is_not_used(self):
        theirs = self.private_tmp / "nobody-tmp"
        (theirs / "Tarnwell").mkdir(parents=True)
        for path in (theirs, theirs / "Tarnwell"):
            os.chown(path, servers.NOBODY_UID, servers.NOBODY_UID)
            os.chmod(path, 0o755)

        code, stderr, attempts = self.run_attacked(tmpdir="/tmp/nobody-tmp")
        self.assert_every_attempt_refused(attempts)
        self.assert_intact_program_ran(code, stderr)
        self.assert_working_folder_intact()
        self.assertEqual(sorted(p.name for p in theirs.rglob("*")), ["Tarnwell"], "the installer used $TMPDIR")

    def test_callers_environment_reaches_neither_the_run_nor_the_setup_program(self):
        # An administrator who keeps a user's environment (su without -, sudo -E): the user's OpenSSL
        # configuration names their library, their key log is a link to a file of root's, their proxy listens.
        theirs = self.private_tmp / "nobody-home"
        theirs.mkdir()
        shutil.copy(native.program("load-probe.so"), theirs / "probe.so")
        (theirs / "openssl.cnf").write_text("openssl_conf = init\n[init]\nproviders = providers\n"
                                            "[providers]\nprobe = probe\n[probe]\nmodule = /tmp/nobody-home/probe.so\n"
                                            "activate = 1\n")
        (theirs / "keys.log").symlink_to("/tmp/root-secrets")
        for path in (theirs, *theirs.iterdir()):
            os.lchown(path, servers.NOBODY_UID, servers.NOBODY_UID)
        with socket.create_server(("127.0.0.1", 0)) as proxy:
            proxy.setblocking(False)
            proxy_url = f"http://127.0.0.1:{proxy.getsockname()[1]}"
            code, stderr, attempts = self.run_attacked(
                OPENSSL_CONF="/tmp/nobody-home/openssl.cnf", SSLKEYLOGFILE="/tmp/nobody-home/keys.log",
                https_proxy=proxy_url, HTTPS_PROXY=proxy_url, all_proxy=proxy_url, LD_LIBRARY_PATH="/tmp/nobody-home")
            with self.assertRaises(BlockingIOError, msg="the installer connected to the caller's proxy"):
                proxy.accept()
        self.assert_every_attempt_refused(attempts)
        self.assert_intact_program_ran(code, stderr)
        self.assertEqual([p.name for p in theirs.iterdir() if p.name.startswith("loaded-by-uid-")], [],
                         "the caller's OPENSSL_CONF loaded their library")
        self.assertFalse((self.private_tmp / "root-secrets").exists(), "TLS secrets were written for the caller")
        names = native.read_records(self.record)[0]["environment"]
        self.assertEqual([name for name in names if not name.startswith("FAKE_SETUP_")],
                         sorted(["DISPLAY", "HOME", "LANG", "PATH", "TMPDIR"] +
                                (["XAUTHORITY"] if "XAUTHORITY" in names else [])))

    def test_umask_0_opens_nothing_to_others(self):
        code, stderr, attempts = self.run_attacked(umask=0)
        self.assert_every_attempt_refused(attempts)
        self.assert_intact_program_ran(code, stderr)
        self.assert_working_folder_intact()


if __name__ == "__main__":
    unittest.main(verbosity=2)
