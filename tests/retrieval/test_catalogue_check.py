"""catalogue-check, as release engineers run it: against catalogues and packages served by our fault server on
loopback (the tool runs in the test namespace, which trusts the test CA), and against a catalogue file.
Each test arranges one catalogue, good or broken in one way, and reads the table or the JSON document."""

import json
import os
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from strelltest import native, packages, servers

DRIVERS = packages.DRIVER_FOLDER
SETUP_PROGRAM = b"MZ stand-in setup program\n"
PACKAGE_COUNT = 3  # the 51 models share three packages
SIGN_CATALOGUE = Path(__file__).resolve().parents[2] / "tools" / "sign-catalogue.sh"


class CatalogueCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tool = native.program("catalogue-check")
        cls.models = sorted(native.supported_models(), key=lambda model: model.slot)
        scratch = tempfile.TemporaryDirectory(prefix="strell-catalogue-check-")
        cls.addClassCleanup(scratch.cleanup)
        cls.scratch = Path(scratch.name)
        cls.pki = servers.shared_pki()
        cls.server = servers.FaultServer(pki=cls.pki)
        cls.server.start()
        cls.addClassCleanup(cls.server.stop)
        # Complete packages (both 64-bit setup programs; the last also the x86 ones), and one with x64 only.
        cls.package_names = [f"Tarnwell_Group{n}_1.0.0.{n}.zip" for n in range(PACKAGE_COUNT)]
        cls.package_files = {}
        for number, name in enumerate(cls.package_names):
            folders = packages.BOTH_GENERATIONS + (("x86", "x86_Win10") if number == PACKAGE_COUNT - 1 else ())
            cls.serve_package(name, folders)
        cls.serve_package("Tarnwell_OldOnly_1.0.0.1.zip", ("x64",))

    @classmethod
    def serve_package(cls, name, folders):
        path = packages.make_driver_zip(cls.scratch / "packages" / name, SETUP_PROGRAM, subfolder=folders)
        cls.package_files[name] = path
        cls.server.set_route(f"{DRIVERS}/{name}", servers.ok(path.read_bytes(), content_type="application/zip"))

    # Arranging and running

    def package_for(self, model):
        return self.package_names[model.slot % PACKAGE_COUNT]

    def entries(self, skip=(), **overrides):
        """One entry per model, in table order, each naming its group's package; overrides maps a slot to
        the attributes that replace its entry's (a dict) or to None to leave the model out."""
        entries = []
        for model in native.supported_models():
            if model.slot in skip:
                continue
            attributes = {"name": model.display_name, "pid": f"0x{model.product_id:04x}",
                          "driver": self.package_for(model), "file": ""}
            attributes.update(overrides.get(f"slot{model.slot}", {}))
            entries.append(attributes)
        return entries

    def serve_catalogue(self, text):
        self.server.set_route(packages.CATALOGUE_PATH, servers.xml(text))
        return self.server.url(packages.CATALOGUE_PATH)

    def run_tool(self, *arguments, expected_code):
        temp = Path(tempfile.mkdtemp(prefix="tmp-", dir=self.scratch))
        env = dict(os.environ, TMPDIR=str(temp))
        result = servers.run_in_test_namespace([self.tool, *arguments], env=env, cert_bundle=self.pki.bundle,
                                               timeout=120)
        stdout = result.stdout.decode("utf-8")
        self.assertEqual(result.returncode, expected_code, stdout + result.stderr.decode("utf-8", "replace"))
        self.assertEqual(list(temp.iterdir()), [], "the scratch folder was left behind")
        return stdout

    def run_json(self, *arguments, expected_code):
        document = json.loads(self.run_tool("--json", *arguments, expected_code=expected_code))
        self.assertEqual(document["exitCode"], expected_code)
        self.assertEqual([model["slot"] for model in document["models"]], list(range(51)))
        self.assertEqual([model["productId"] for model in document["models"]],
                         [f"0x{model.product_id:04x}" for model in self.models])
        return document

    def packages_asked(self):
        return sorted(request["path"] for request in self.server.requests if request["path"].startswith(DRIVERS))

    # Tests

    def test_good_catalogue_resolves_every_model_and_every_package_is_complete(self):
        first = self.package_names[0]
        hashed = {f"slot{m.slot}": {"sha256": packages.sha256_of(self.package_files[first]).upper()}
                  for m in self.models if self.package_for(m) == first}
        text = packages.catalogue(self.server.url(DRIVERS), self.entries(**hashed))
        address = self.serve_catalogue(text)
        asked_before = len(self.packages_asked())

        document = self.run_json("--download", address, expected_code=0)
        for model in document["models"]:
            self.assertTrue(model["resolves"], model)
            self.assertEqual(model["address"], self.server.url(f"{DRIVERS}/{self.package_for(self.models[model['slot']])}"))
            self.assertIsNone(model["stop"])
        # Each distinct package fetched once, in slot order of first use.
        self.assertEqual(len(self.packages_asked()) - asked_before, PACKAGE_COUNT)
        self.assertEqual([p["address"] for p in document["packages"]],
                         [self.server.url(f"{DRIVERS}/{name}") for name in self.package_names])
        for package, name in zip(document["packages"], self.package_names):
            path = self.package_files[name]
            self.assertTrue(package["complete"], package)
            self.assertEqual(package["bytes"], path.stat().st_size)
            self.assertEqual(package["sha256"], packages.sha256_of(path))
            self.assertEqual(package["missing"], [])
            self.assertIsNone(package["failure"])
        self.assertEqual(document["packages"][0]["hashMatches"], True)
        self.assertIsNone(document["packages"][1]["hashMatches"])
        self.assertEqual(document["packages"][1]["setupPrograms"], ["x64_Win10\\Setup.exe", "x64\\Setup.exe"])
        self.assertEqual(document["packages"][2]["setupPrograms"],
                         ["x64_Win10\\Setup.exe", "x64\\Setup.exe", "x86_Win10\\Setup.exe", "x86\\Setup.exe"])

        # The table tells the same, with the attribute to add where the catalogue gives no hash.
        table = self.run_tool("--download", address, expected_code=0)
        self.assertEqual(len(re.findall(r"(?m)^\d+\t0x[0-9a-f]{4}\t\S+\thttps://", table)), 51, table)
        self.assertIn("\tmatches\n", table)
        second = packages.sha256_of(self.package_files[self.package_names[1]])
        self.assertIn(f'add sha256="{second}"', table)

        # A file holding the same catalogue is judged alike.
        catalogue_file = self.scratch / "interfaces.xml"
        catalogue_file.write_text(text)
        from_file = self.run_json(str(catalogue_file), expected_code=0)
        self.assertEqual(from_file["models"], document["models"])

    def test_a_missing_model_is_named_and_fails_the_check(self):
        missing = self.models[17]
        address = self.serve_catalogue(packages.catalogue(self.server.url(DRIVERS), self.entries(skip={17})))
        document = self.run_json(address, expected_code=1)
        stopped = [model for model in document["models"] if not model["resolves"]]
        self.assertEqual([(m["slot"], m["keyName"], m["stop"]) for m in stopped], [(17, missing.key_name, "no entry")])
        self.assertIsNone(stopped[0]["address"])
        self.assertRegex(self.run_tool(address, expected_code=1), r"(?m)^17\t0x[0-9a-f]{4}\t\S+\tSTOP: no entry$")

    def test_a_refused_address_stops_every_model(self):
        for base in ("http://localhost/drivers", "ftp://localhost/drivers", ""):
            with self.subTest(base=base):
                address = self.serve_catalogue(packages.catalogue(base, self.entries()))
                document = self.run_json("--download", address, expected_code=1)
                self.assertEqual({m["stop"] for m in document["models"]}, {"address refused (not https)"})
                self.assertEqual(document["packages"], [])

    def test_an_unsafe_or_unreadable_document_stops_every_model(self):
        good = packages.catalogue(self.server.url(DRIVERS), self.entries())
        unsafe = good.replace("<interfaces ", '<!DOCTYPE interfaces [<!ENTITY e "x">]>\n<interfaces ', 1)
        deep = good.replace("</interfaces>", "<n>" * 70 + "</n>" * 70 + "</interfaces>")
        for name, text in (("internal subset", unsafe), ("nested too deep", deep), ("not XML", "Downloads are moving. Please try later.\n")):
            with self.subTest(name):
                document = self.run_json(self.serve_catalogue(text), expected_code=1)
                self.assertEqual({m["resolves"] for m in document["models"]}, {False})
                self.assertEqual({m["stop"] for m in document["models"]},
                                 {"unsafe document (not XML the installer may parse)"})
        # Nothing fetched at all (a plain-http address is never asked) is told apart.
        document = self.run_json(self.server.url(packages.CATALOGUE_PATH).replace("https:", "http:"), expected_code=1)
        self.assertEqual({m["stop"] for m in document["models"]}, {"catalogue not fetched"})

    def test_a_package_without_the_windows_10_folder_fails_the_download_check(self):
        old_only = {f"slot{m.slot}": {"driver": "Tarnwell_OldOnly_1.0.0.1.zip"} for m in self.models[:2]}
        address = self.serve_catalogue(packages.catalogue(self.server.url(DRIVERS), self.entries(**old_only)))
        # Without --download only the lookup is judged: every model resolves.
        self.run_json(address, expected_code=0)
        document = self.run_json("--download", address, expected_code=2)
        bad = [p for p in document["packages"] if not p["complete"]]
        self.assertEqual([p["address"] for p in bad], [self.server.url(f"{DRIVERS}/Tarnwell_OldOnly_1.0.0.1.zip")])
        self.assertEqual(bad[0]["missing"], ["x64_Win10\\Setup.exe"])
        self.assertEqual(bad[0]["setupPrograms"], ["x64\\Setup.exe"])
        self.assertIn("missing x64_Win10\\Setup.exe", self.run_tool("--download", address, expected_code=2))

    def test_a_hash_mismatch_fails_the_download_check(self):
        name = self.package_names[1]
        right = packages.sha256_of(self.package_files[name])
        wrong = right[:-1] + ("0" if right[-1] != "0" else "1")
        entries = self.entries(**{f"slot{m.slot}": {"sha256": wrong} for m in self.models if self.package_for(m) == name})
        address = self.serve_catalogue(packages.catalogue(self.server.url(DRIVERS), entries))
        self.run_json(address, expected_code=0)  # a well-formed hash is only judged against the download
        document = self.run_json("--download", address, expected_code=2)
        package = next(p for p in document["packages"] if p["address"].endswith(name))
        self.assertEqual((package["hashMatches"], package["catalogueSha256"], package["sha256"]), (False, [wrong], right))
        self.assertFalse(package["complete"])
        self.assertIn(f"MISMATCH: catalogue gives {wrong}", self.run_tool("--download", address, expected_code=2))

    def test_a_malformed_hash_stops_its_model(self):
        for bad in ("", "abc", "g" * 64, "0" * 65):
            with self.subTest(sha256=bad):
                entries = self.entries(slot5={"sha256": bad})
                document = self.run_json(self.serve_catalogue(packages.catalogue(self.server.url(DRIVERS), entries)),
                                         expected_code=1)
                stopped = [m["slot"] for m in document["models"] if not m["resolves"]]
                self.assertEqual(stopped, [5])
                self.assertEqual(document["models"][5]["stop"], f'malformed sha256 "{bad}"')

    def test_signed_catalogue_from_the_signing_tool(self):
        """tools/sign-catalogue.sh signs (key on a descriptor), re-signs in place with one comment, refuses a
        key the public keys do not hold and writing over its input; --key checks what it made."""
        pinned = {f"slot{m.slot}": {"sha256": packages.sha256_of(self.package_files[self.package_for(m)])}
                  for m in self.models}
        plain = self.scratch / "plain.xml"
        plain.write_text(packages.catalogue(self.server.url(DRIVERS), self.entries(**pinned)))
        signed = self.scratch / "signed.xml"
        self.sign("b", plain, signed)
        self.sign("a", "--in-place", signed)  # replaces b's signature
        text = signed.read_text()
        self.assertEqual(text.count("catalogue-signature"), 1, text[-300:])
        self.assertTrue(text.startswith(plain.read_text()))
        for arguments in (("other", plain, self.scratch / "other.xml"), ("a", signed, signed)):
            with self.subTest(refused=arguments[0]):
                self.assertNotEqual(self.sign(*arguments, check=False).returncode, 0)
                self.assertFalse((self.scratch / "other.xml").exists())
                self.assertEqual(signed.read_text(), text)

        keys = str(packages.TEST_PUBLIC_KEYS)
        document = self.run_json("--key", keys, str(signed), expected_code=0)
        self.assertEqual(document["signature"], {"required": True, "verified": True, "key": packages.key_fingerprint("a"),
                                                 "failure": None})
        tampered = self.scratch / "tampered.xml"
        tampered.write_text(text.replace(self.server.url(DRIVERS), self.server.url("/elsewhere")))
        document = self.run_json("--key", keys, str(tampered), expected_code=1)
        self.assertFalse(document["signature"]["verified"])
        self.assertEqual({m["stop"] for m in document["models"]},
                         {"signature refused (the signature verifies under none of the keys)"})
        # Signed, but one entry pins nothing: that model stops.
        unpinned = self.scratch / "unpinned.xml"
        del pinned["slot3"]
        unpinned.write_text(packages.catalogue(self.server.url(DRIVERS), self.entries(**pinned), sign_with="b"))
        document = self.run_json("--key", keys, str(unpinned), expected_code=1)
        self.assertEqual([m["slot"] for m in document["models"] if not m["resolves"]], [3])

    def sign(self, key, *arguments, check=True):
        with open(packages.SIGNING_KEYS[key], "rb") as key_file:
            env = dict(os.environ, STRELL_CATALOGUE_KEY_FD=str(key_file.fileno()),
                       STRELL_CATALOGUE_PUBLIC_KEYS=str(packages.TEST_PUBLIC_KEYS))
            result = subprocess.run([str(SIGN_CATALOGUE), *map(str, arguments)],
                                    env=env, pass_fds=(key_file.fileno(),), capture_output=True, timeout=60)
        if check:
            self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def test_usage_errors(self):
        for arguments in (["--bogus"], ["a.xml", "b.xml"], ["http://localhost/interfaces.xml"]):
            with self.subTest(arguments=arguments):
                result = servers.run_in_test_namespace([self.tool, *arguments], cert_bundle=self.pki.bundle,
                                                       timeout=60, cwd=self.scratch)
                # A plain-http address is never fetched: no catalogue, so no model resolves.
                self.assertEqual(result.returncode, 1 if arguments[0].startswith("http:") else 3, result)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)
