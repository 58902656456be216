"""The Windows build's package hash (BCrypt) and catalogue-check.exe under Wine, in one prefix that trusts
the test CA: the known-vectors program the Linux build runs natively (tests/retrieval/PackageHashVectors.cpp),
and catalogue-check with --download against a catalogue and packages on our fault server, as a release
engineer on Windows would run it."""

import json
import sys
import tempfile
import unittest
from pathlib import Path

from strelltest import packages, servers
from strelltest.wine import PrefixTestCase, supported_models, tool

DRIVERS = packages.DRIVER_FOLDER


class PackageHashAndCatalogueCheckUnderWine(PrefixTestCase):
    def test_known_vectors(self):
        result = self.prefix.run([tool("package-hash-vectors")], timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout.splitlines()[-1:], ["0 failed"], result.stdout)

    def test_catalogue_check_downloads_hashes_and_unpacks(self):
        pki = servers.shared_pki()
        self.prefix.add_root_certificate(pki.ca_der)
        folder = Path(tempfile.mkdtemp(prefix="packages-", dir=self.scratch))
        complete = packages.make_driver_zip(folder / "Tarnwell_All_1.0.0.1.zip", b"MZ setup\n",
                                            subfolder=packages.BOTH_GENERATIONS)
        old_only = packages.make_driver_zip(folder / "Tarnwell_Old_1.0.0.1.zip", b"MZ setup\n", subfolder="x64")
        models = supported_models(self.prefix)
        with servers.FaultServer(pki=pki) as server:
            for path in (complete, old_only):
                server.set_route(f"{DRIVERS}/{path.name}", servers.ok(path.read_bytes(), content_type="application/zip"))
            wrong = "0" * 64
            entries = [packages.Entry(f"0x{m['product_id']:04x}", complete.name, m["display_name"],
                                      sha256=packages.sha256_of(complete).upper()) for m in models[1:]]
            entries.append(packages.Entry(f"0x{models[0]['product_id']:04x}", old_only.name, sha256=wrong))
            server.set_route(packages.CATALOGUE_PATH, servers.xml(packages.catalogue(server.url(DRIVERS), entries)))

            result = self.prefix.run([tool("catalogue-check"), "--json", "--download",
                                      server.url(packages.CATALOGUE_PATH)], timeout=300)
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        document = json.loads(result.stdout)
        self.assertEqual(document["exitCode"], 2)
        self.assertEqual(sum(model["resolves"] for model in document["models"]), 51)
        by_name = {Path(package["address"]).name: package for package in document["packages"]}
        self.assertEqual(set(by_name), {complete.name, old_only.name})
        good, bad = by_name[complete.name], by_name[old_only.name]
        self.assertEqual((good["sha256"], good["bytes"], good["hashMatches"], good["complete"]),
                         (packages.sha256_of(complete), complete.stat().st_size, True, True))
        self.assertEqual(good["setupPrograms"], ["x64_Win10\\Setup.exe", "x64\\Setup.exe"])
        self.assertEqual((bad["sha256"], bad["hashMatches"], bad["missing"], bad["complete"]),
                         (packages.sha256_of(old_only), False, ["x64_Win10\\Setup.exe"], False))

    def test_catalogue_check_verifies_signatures_with_bcrypt(self):
        """--key under Wine: BCrypt verifies the second of two keys, and refuses a catalogue changed since."""
        folder = Path(tempfile.mkdtemp(prefix="signed-", dir=self.scratch))
        entries = [packages.Entry(f"0x{m['product_id']:04x}", "Tarnwell_All_1.0.0.1.zip", sha256="ab" * 32)
                   for m in supported_models(self.prefix)]
        text = packages.catalogue("https://localhost/drivers", entries, sign_with="b")
        (folder / "signed.xml").write_text(text)
        (folder / "changed.xml").write_text(text.replace("localhost", "127.0.0.1"))
        keys = self.prefix.windows_path(packages.TEST_PUBLIC_KEYS)
        for name, code, verified in (("signed.xml", 0, True), ("changed.xml", 1, False)):
            with self.subTest(name):
                result = self.prefix.run([tool("catalogue-check"), "--json", "--key", keys,
                                          self.prefix.windows_path(folder / name)], timeout=120)
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                signature = json.loads(result.stdout)["signature"]
                self.assertEqual((signature["verified"], signature["key"]),
                                 (verified, packages.key_fingerprint("b") if verified else None))


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)
