"""tools/sign-installer.sh on the built loopback installer, with a throwaway code-signing CA: PKCS#12 and PEM
credentials, the password through a descriptor, a private file or the environment, an RFC 3161 timestamp
from a server on loopback; the signature verified by osslsigncode and covering the whole exe; the password
in no output and on no command line; failures leave no output file; removing the signature gives back the
unsigned exe. Leaves the signed installer at $STRELL_BUILD_DIR/signed/StrellDriverInstaller-loopback.exe
for the whole run under Wine (release_signed_whole_run)."""

import hashlib
import os
import secrets
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import pefile

from strelltest import signing, wine

SOURCE_DIR = Path(os.environ["STRELL_SOURCE_DIR"])
SCRIPT = SOURCE_DIR / "tools" / "sign-installer.sh"
SIGN_TIMEOUT = 120
# Stands in for osslsigncode on PATH: records its arguments and environment, then runs the real one.
RECORDING_SHIM = """#!/bin/sh
{{ printf '%s\\n' "$@"; env; }} >> "{record}"
exec "{real}" "$@"
"""


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def osslsigncode_verify(path, pki, extra=()):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(pki.ca_cert), "-TSA-CAfile", str(pki.ca_cert),
                           *extra, "-in", str(path)], capture_output=True, text=True, timeout=SIGN_TIMEOUT)


class SignInstaller(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Path(tempfile.mkdtemp(prefix="strell-sign-"))
        cls.addClassCleanup(shutil.rmtree, cls.scratch, ignore_errors=True)
        cls.password = "Strell-" + secrets.token_hex(8) + " with blanks"
        cls.pki = signing.make_signing_pki(cls.scratch / "pki", cls.password)
        cls.unsigned = wine.tool("StrellDriverInstaller-loopback")
        cls.unsigned_hash = sha256(cls.unsigned)
        shim_dir = cls.scratch / "bin"
        shim_dir.mkdir()
        cls.record = cls.scratch / "osslsigncode-calls.txt"
        shim = shim_dir / "osslsigncode"
        shim.write_text(RECORDING_SHIM.format(record=cls.record, real=shutil.which("osslsigncode")))
        shim.chmod(0o755)
        cls.path = f"{shim_dir}:{os.environ['PATH']}"

    def sign(self, out, extra_env, password_fd_text=None):
        """Runs the script on the unsigned installer with only the given STRELL_SIGN_* settings (and the
        password on a pipe when given); gives back (CompletedProcess, seconds taken)."""
        env = {name: value for name, value in os.environ.items() if not name.startswith("STRELL_SIGN_")}
        env.update(extra_env, PATH=self.path)
        pass_fds = ()
        read_end = None
        if password_fd_text is not None:
            read_end, write_end = os.pipe()
            os.write(write_end, password_fd_text.encode())
            os.close(write_end)
            pass_fds = (read_end,)
            env["STRELL_SIGN_PASSWORD_FD"] = str(read_end)
        started = time.monotonic()
        try:
            done = subprocess.run([str(SCRIPT), str(self.unsigned), str(out)], env=env, pass_fds=pass_fds,
                                  capture_output=True, text=True, timeout=SIGN_TIMEOUT)
        finally:
            if read_end is not None:
                os.close(read_end)
        taken = time.monotonic() - started
        self.assertNotIn(self.password, done.stdout + done.stderr, "the password was printed")
        self.assertEqual(sha256(self.unsigned), self.unsigned_hash, "the unsigned input was changed")
        return done, taken

    def assert_no_password_passed_on(self):
        """Checks that osslsigncode saw the password neither among its arguments nor in its environment."""
        calls = self.record.read_text()
        self.assertIn("-readpass", calls)
        self.assertNotIn(self.password, calls)

    def test_pkcs12_with_timestamp_signs_a_verified_copy_covering_the_whole_exe(self):
        out = self.scratch / "signed-pkcs12.exe"
        with signing.TimestampServer(self.pki, self.scratch / "tsa") as server:
            done, taken = self.sign(out, {"STRELL_SIGN_PKCS12": str(self.pki.pkcs12),
                                          "STRELL_SIGN_CA_FILE": str(self.pki.ca_cert),
                                          "STRELL_SIGN_TSA_CA_FILE": str(self.pki.ca_cert),
                                          "STRELL_SIGN_TIMESTAMP_URL": server.url}, self.password + "\n")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertGreaterEqual(server.requests, 1, "the timestamp server was not asked")
        print(f"signing with a timestamp took {taken:.2f} s", flush=True)
        self.assert_no_password_passed_on()
        self.assertIn(sha256(out), done.stdout)

        verified = osslsigncode_verify(out, self.pki)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertRegex(verified.stdout, r"(?i)digest algorithm\s*:\s*SHA256")
        self.assertIn("CN=Tarnwell Test Signer", verified.stdout)
        self.assertRegex(verified.stdout, r"(?i)timestamp")
        security = pefile.PE(str(out), fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[4]  # certificate table
        self.assertGreater(security.Size, 0)

        # A flipped byte in the code, in the resources (the manifest) or in the last section fails verification.
        pe = pefile.PE(str(out), fast_load=True)
        sections = {section.Name.rstrip(b"\0"): section for section in pe.sections}
        offsets = [sections[b".text"].PointerToRawData + 4096, sections[b".rsrc"].PointerToRawData + 64,
                   pe.sections[-1].PointerToRawData + pe.sections[-1].SizeOfRawData - 1]
        pe.close()
        for offset in offsets:
            with self.subTest(flipped_offset=offset):
                data = bytearray(out.read_bytes())
                data[offset] ^= 0x01
                flipped = self.scratch / "flipped.exe"
                flipped.write_bytes(data)
                self.assertNotEqual(osslsigncode_verify(flipped, self.pki).returncode, 0)

        # Taking the signature off gives back the unsigned build byte for byte: how a shipped exe is checked
        # against a build of its tag (README, "For release engineers").
        stripped = self.scratch / "stripped.exe"
        subprocess.run(["osslsigncode", "remove-signature", "-in", str(out), "-out", str(stripped)], check=True,
                       capture_output=True, timeout=SIGN_TIMEOUT)
        self.assertEqual(sha256(stripped), self.unsigned_hash)

        # Kept for the whole runs under Wine.
        kept = wine.build_dir() / "signed" / "StrellDriverInstaller-loopback.exe"
        kept.parent.mkdir(exist_ok=True)
        shutil.copyfile(out, kept)

    def test_pem_pair_with_the_password_in_a_file_or_the_environment(self):
        password_file = self.scratch / "password"
        password_file.write_text(self.password + "\n")
        password_file.chmod(0o600)
        pem = {"STRELL_SIGN_CERT": str(self.pki.cert), "STRELL_SIGN_KEY": str(self.pki.key),
               "STRELL_SIGN_CA_FILE": str(self.pki.ca_cert)}
        for name, password_env in (("file", {"STRELL_SIGN_PASSWORD_FILE": str(password_file)}),
                                   ("environment", {"STRELL_SIGN_PASSWORD": self.password})):
            with self.subTest(password_from=name):
                out = self.scratch / f"signed-pem-{name}.exe"
                done, _ = self.sign(out, {**pem, **password_env})
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(osslsigncode_verify(out, self.pki).returncode, 0)
                self.assert_no_password_passed_on()

    def test_failures_write_no_output(self):
        pkcs12 = {"STRELL_SIGN_PKCS12": str(self.pki.pkcs12), "STRELL_SIGN_CA_FILE": str(self.pki.ca_cert)}
        cases = [
            # The key does not open.
            ("wrong password", pkcs12, "not-" + self.password),
            # Signed, but the signature does not verify against the system's CAs: never declared done.
            ("untrusted signer", {"STRELL_SIGN_PKCS12": str(self.pki.pkcs12)}, self.password),
            ("no credentials", {}, self.password),
            ("two password sources", {**pkcs12, "STRELL_SIGN_PASSWORD": self.password}, self.password),
        ]
        for name, env, password in cases:
            with self.subTest(name):
                out = self.scratch / "not-written.exe"
                done, _ = self.sign(out, env, password + "\n")
                self.assertNotEqual(done.returncode, 0)
                self.assertFalse(out.exists(), "an output was written")
                self.assertEqual([p.name for p in self.scratch.glob(".sign-installer.*")], [])
        # The output never replaces the input.
        done = subprocess.run([str(SCRIPT), str(self.unsigned), str(self.unsigned)], capture_output=True,
                              timeout=SIGN_TIMEOUT, env={**os.environ, **pkcs12, "PATH": self.path})
        self.assertNotEqual(done.returncode, 0)
        self.assertEqual(sha256(self.unsigned), self.unsigned_hash)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)
