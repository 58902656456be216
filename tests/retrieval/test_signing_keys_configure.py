"""The configure step's reading of CATALOGUE_SIGNING_KEYS (cmake/CatalogueSigningKeys.cmake), run through
`cmake -P`: one or two P-256 public keys give a header with their points and the fingerprints the run log
shows; a file that would leave a build knowing no key, or the wrong ones, stops the configure step."""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from strelltest import packages

SOURCE = Path(__file__).resolve().parents[2]


class SigningKeysConfigure(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="strell-signing-keys-")
        self.addCleanup(scratch.cleanup)
        self.scratch = Path(scratch.name)

    def configure(self, pem):
        """Reads pem as the configure step does; gives back (exit code, output, header text or None)."""
        script = self.scratch / "read-keys.cmake"
        script.write_text(f'set(PROJECT_SOURCE_DIR "{self.scratch}")\nset(CMAKE_BINARY_DIR "{self.scratch}/build")\n'
                          f'include("{SOURCE}/cmake/CatalogueSigningKeys.cmake")\n'
                          f'strell_catalogue_keys_header("{pem}" header)\nmessage(STATUS "header: ${{header}}")\n')
        result = subprocess.run(["cmake", "-P", str(script)], capture_output=True, text=True, timeout=120)
        output = result.stdout + result.stderr
        header = next((line.split("header: ", 1)[1] for line in output.splitlines() if "header: " in line), None)
        return result.returncode, output, Path(header).read_text() if header else None

    def public(self, name, *command):
        path = self.scratch / f"{name}.pem"
        key = subprocess.run(["openssl", *command], capture_output=True, check=True, timeout=60).stdout
        path.write_bytes(subprocess.run(["openssl", "pkey", "-pubout"], input=key, capture_output=True, check=True,
                                        timeout=60).stdout)
        return path.read_text()

    def test_two_keys_give_their_points_and_fingerprints(self):
        code, output, header = self.configure(packages.TEST_PUBLIC_KEYS)
        self.assertEqual(code, 0, output)
        self.assertIn("catalogueSigningKeyCount = 2;", header)
        for key in ("a", "b"):
            self.assertIn(f'"{packages.key_fingerprint(key)}"', header)
        self.assertEqual(header.count("{0x04, "), 2)

    def test_files_that_no_build_may_take_stop_the_configure_step(self):
        keys = packages.KEYS_FOLDER
        three = "".join((keys / f"catalogue-test-{k}.pub.pem").read_text() for k in ("a", "b", "other"))
        cases = {
            "empty": ("", "holds no public key"),
            "three-keys": (three, "holds 3 public keys"),
            "private-key": (packages.SIGNING_KEYS["a"].read_text(), "holds a private key"),
            "p384": (self.public("p384-source", "genpkey", "-algorithm", "EC", "-pkeyopt",
                                 "ec_paramgen_curve:P-384"), "is not an ECDSA P-256"),
            "ed25519": (self.public("ed-source", "genpkey", "-algorithm", "ED25519"), "is not an ECDSA P-256"),
        }
        for name, (text, message) in cases.items():
            with self.subTest(name):
                pem = self.scratch / f"{name}.pem"
                pem.write_text(text)
                code, output, header = self.configure(pem)
                self.assertNotEqual(code, 0, output)
                self.assertIn(message, " ".join(output.split()))
                self.assertIsNone(header)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)
