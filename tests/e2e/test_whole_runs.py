"""Whole runs of the Linux installer built for tests (StrellDriverInstaller-loopback) against loopback HTTPS
servers, with a supported model on a fake USB bus and real zip packages holding the stand-in setup program:
the successful installs through the maker's kind of server (nginx), then the failures of the driver step
through our fault-injecting server that one fault-matrix row (tests/faults) cannot arrange."""

import re
import shutil
import unittest

from e2e_support import InstallerTestCase
from strelltest import native, packages, servers
from strelltest.codes import DRIVER_PACKAGE_FAILED

PACKAGE = "Tarnwell_Corvel_1.2.0.7.zip"


class InstallsFromStaticServer(InstallerTestCase):
    """The package comes from Debian's nginx serving files, as the maker's server would."""

    def serve(self, driver, files):
        root = packages.write_site(self.scratch / "www", self.catalogue(servers.LOOPBACK_ORIGIN + "/drivers", driver),
                                   files)
        return servers.NginxServer(root, port=servers.LOOPBACK_PORT, pki=self.pki,
                                   scratch=self.scratch / "nginx")

    def test_zip_package_setup_program_runs_and_its_exit_code_is_passed_on(self):
        package = self.driver_zip(PACKAGE)
        with self.serve(PACKAGE, {PACKAGE: package}) as server:
            for code in (0, 1, 253):
                with self.subTest(exit_code=code):
                    run = self.run_installer(exit_code=code)
                    self.assert_setup_ran(run, code, self.unpacked_setup(PACKAGE))
                    self.assert_temp_folder_clean()
                    # The unpacked package stays for the next run to clear.
                    self.assertTrue(self.unpacked_setup(PACKAGE).is_file())
                self.use_temp_folder_again()
            requests = [line for line in server.access_log() if '"GET ' in line]
        self.assertEqual(len([r for r in requests if packages.CATALOGUE_PATH in r]), 3, requests)
        self.assertEqual(len([r for r in requests if "/drivers/" + PACKAGE in r]), 3, requests)

    def test_each_run_writes_a_log_and_the_ten_newest_stay(self):
        logs = self.tmp / "Tarnwell" / "Logs"
        logs.mkdir()
        old = [logs / f"StrellDriverInstaller-202501{day:02d}-120000.log" for day in range(10, 21)]
        for path in old:
            path.write_text("an earlier run\n")
        target = self.scratch / "target.txt"
        target.write_text("not a log\n")
        oldest_link = logs / "StrellDriverInstaller-20240101-000000.log"
        oldest_link.symlink_to(target)
        (logs / "notes.txt").write_text("kept\n")

        package = self.driver_zip(PACKAGE)
        with self.serve(PACKAGE, {PACKAGE: package}):
            for code in (0, 5):
                self.assert_setup_ran(self.run_installer(exit_code=code), code, self.unpacked_setup(PACKAGE))

        # Two new logs and the eight newest old ones; the link (never followed) and other files stay.
        names = sorted(path.name for path in logs.iterdir() if path.is_file() and not path.is_symlink())
        self.assertEqual([name for name in names if name.startswith("StrellDriverInstaller-2025")],
                         [path.name for path in old[3:]])
        new = [name for name in names if name not in [path.name for path in old] and name != "notes.txt"]
        self.assertEqual(len(new), 2, names)
        self.assertTrue(oldest_link.is_symlink())
        self.assertEqual(target.read_text(), "not a log\n")
        text = max((logs / name for name in new), key=lambda path: path.read_text().count("exit 5")).read_text()
        for expected in (r"^ *\d+ ms  StrellDriverInstaller \d+\.\d+\.\d+, catalogue origin https://",
                         r"(?m)^ *\d+ ms  elevation: the token is elevated$",
                         r"(?m)^ *\d+ ms  model chosen: slot \d+ \(",
                         r"(?m)^ *\d+ ms  catalogue: HTTP 200, \d+ bytes in \d+ ms$",
                         r"(?m)^ *\d+ ms  download: HTTP 200, " + str(package.stat().st_size) + r" bytes in \d+ ms \(",
                         r"(?m)^ *\d+ ms  unpacked \d+ entries, \d+ bytes into ",
                         r" *\d+ ms  exit 5 setupProgramExitCode: the setup program exited with 5 after \d+ ms\n\Z"):
            self.assertRegex(text, expected)

    def test_one_run_at_a_time_and_a_killed_run_blocks_none(self):
        ready, go = self.scratch / "pause-ready", self.scratch / "pause-go"
        logs = self.tmp / "Tarnwell" / "Logs"
        with self.serve(PACKAGE, {PACKAGE: self.driver_zip(PACKAGE, readme=True)}) as server:
            first = self.start_installer(exit_code=8, pause_ready=ready, pause_go=go)
            self.addCleanup(servers.end_process_group, first)
            self.assertTrue(native.wait_for_file(ready), "the first run's setup program never paused")
            before = native.snapshot(self.tmp / "Tarnwell")
            asked = len([line for line in server.access_log() if '"GET ' in line])

            second = self.run_installer()
            self.assert_failed_quietly(second, DRIVER_PACKAGE_FAILED)
            self.assertEqual(native.snapshot(self.tmp / "Tarnwell", skip=[("Logs",)]),
                             {k: v for k, v in before.items() if not k.startswith("Logs")},
                             "the second run changed the first run's files")
            self.assertEqual(len([line for line in server.access_log() if '"GET ' in line]), asked)
            refused = [p.read_text() for p in logs.iterdir() if "another run holds the installer" in p.read_text()]
            self.assertEqual(len(refused), 1, "the second run's log does not say why it ended")

            go.touch()
            out, err = first.communicate(timeout=60)
            self.assertEqual(first.returncode, 8, err)

            # A run killed while its setup program waits leaves nothing that blocks the next one.
            ready.unlink()
            go.unlink()
            killed = self.start_installer(pause_ready=ready, pause_go=go)
            self.addCleanup(servers.end_process_group, killed)
            self.assertTrue(native.wait_for_file(ready), "the killed run's setup program never paused")
            killed.kill()
            killed.wait(timeout=30)
            self.record.unlink()  # the first run's
            go.touch()
            # The killed run's setup program goes on alone; its record says it went past its pause point.
            self.assertTrue(native.wait_for_file(self.record, timeout=60))
            self.record.unlink()
            self.assert_setup_ran(self.run_installer(exit_code=9), 9, self.unpacked_setup(PACKAGE))

    def use_temp_folder_again(self):
        shutil.rmtree(self.tmp)
        self.use_temp_folder(self.tmp)

    def test_package_name_in_upper_case(self):
        name = "TARNWELL_CORVEL_1.2.0.7.ZIP"
        with self.serve(name, {name: self.driver_zip(name)}):
            run = self.run_installer(exit_code=4)
        self.assert_setup_ran(run, 4, self.working_folder / name[:-4] / "x64" / "Setup.exe")
        self.assert_temp_folder_clean()

    def test_temporary_folder_with_a_blank(self):
        shutil.rmtree(self.tmp)
        self.use_temp_folder(self.scratch / "Temp Folder" / "with blank")
        exe = "Tarnwell_Setup_1.2.0.7.exe"
        with self.serve(PACKAGE, {PACKAGE: self.driver_zip(PACKAGE), exe: self.setup_program}) as server:
            run = self.run_installer(exit_code=6)
            self.assert_setup_ran(run, 6, self.unpacked_setup(PACKAGE))
            self.assert_temp_folder_clean()

            # The same with a setup program run straight from the temporary file.
            catalogue_file = server.root / packages.CATALOGUE_PATH.lstrip("/")
            catalogue_file.write_text(self.catalogue(server.url("/drivers"), exe))
            run = self.run_installer(exit_code=7)
        self.assertEqual(run.code, 7, run.stderr)
        self.assertEqual(len(run.records), 1)
        self.assertIn(" ", run.records[0]["argv"][0])
        self.assertEqual(run.records[0]["argv"][0], run.records[0]["path"])
        self.assertEqual(native.temp_files(self.tmp), [])

    def test_without_any_display(self):
        with self.serve(PACKAGE, {PACKAGE: self.driver_zip(PACKAGE)}):
            run = self.run_installer(display=False, exit_code=2)
        self.assert_setup_ran(run, 2, self.unpacked_setup(PACKAGE))
        self.assert_temp_folder_clean()

    def test_exe_entry_runs_the_downloaded_file_itself(self):
        for name in ("Tarnwell_Setup_1.2.0.7.exe", "TARNWELL_SETUP.EXE", "Tarnwell_Setupexe"):
            with self.subTest(name=name):
                self.use_temp_folder_again()
                with self.serve(name, {name: self.setup_program}):
                    run = self.run_installer(exit_code=3)
                self.assertEqual(run.code, 3, run.stderr)
                self.assertEqual((run.stdout, run.stderr), ("", ""))
                self.assertEqual(len(run.records), 1)
                record = run.records[0]
                # Started from the temporary file itself: temp_ and hexadecimal digits, no extension.
                self.assertRegex(record["path"], "^" + re.escape(str(self.tmp)) + r"/temp_[0-9a-f]+$")
                self.assertEqual(record["argv"], [record["path"]])
                self.assertFalse(record["windowOpen"])
                self.assert_temp_folder_clean()
                self.assertEqual(list(self.working_folder.iterdir()), [])


class FailsOnFaultyServer(InstallerTestCase):
    """Our fault-injecting server stands in for the maker's: catalogues without a usable base address (-3), and
    slow, redirected and large answers that still end in an install. A fault that one row of the fault matrix
    arranges is run there (tests/faults)."""

    def setUp(self):
        super().setUp()
        self.server = servers.FaultServer(port=servers.LOOPBACK_PORT, pki=self.pki)
        self.server.start()
        self.addCleanup(self.server.stop)
        self.package = self.driver_zip(PACKAGE)

    def set_catalogue(self, route_or_text):
        route = servers.xml(route_or_text) if isinstance(route_or_text, str) else route_or_text
        self.server.set_route(packages.CATALOGUE_PATH, route)

    def package_requests(self, name=PACKAGE):
        return self.server.requests_for("/drivers/" + name)

    def assert_fails(self):
        run = self.run_installer()
        self.assert_failed_quietly(run, DRIVER_PACKAGE_FAILED)
        self.assert_temp_folder_clean()
        return run

    def test_catalogue_without_a_usable_base_address(self):
        self.server.set_route("/drivers/" + PACKAGE, servers.Route(file=str(self.package)))
        # The same package on plain http: a run that accepted an http address would install from it.
        with servers.FaultServer(routes={"/drivers/" + PACKAGE: servers.Route(file=str(self.package))},
                                 tls=False) as plain:
            for base in (None, "", plain.url("/drivers"), "ftp://localhost/drivers", "localhost.com/drivers"):
                with self.subTest(base=base):
                    self.set_catalogue(self.catalogue(base, PACKAGE))
                    self.assert_fails()
            self.assertEqual(plain.requests, [], "a package was fetched over plain http")
        self.assertEqual(self.package_requests(), [], "a package was fetched from a refused address")

    def test_slow_catalogue_and_slow_package_that_do_end(self):
        text = self.catalogue(self.server.url("/drivers"), PACKAGE).encode()
        self.set_catalogue(servers.Route(body=text, content_type="application/xml", header_delay=1.0,
                                         chunk_size=200, chunk_delay=0.05))
        self.server.set_route("/drivers/" + PACKAGE, servers.Route(file=str(self.package), body_delay=0.5,
                                                                   chunk_size=2048, chunk_delay=0.02))
        run = self.run_installer(exit_code=12)
        self.assert_setup_ran(run, 12, self.unpacked_setup(PACKAGE))
        self.assert_temp_folder_clean()

    def test_redirected_catalogue_and_package(self):
        self.server.set_route(packages.CATALOGUE_PATH, servers.redirect("/moved/interfaces.xml", 301))
        self.server.set_route("/moved/interfaces.xml",
                              servers.xml(self.catalogue(self.server.url("/drivers"), PACKAGE)))
        self.server.set_route("/drivers/" + PACKAGE, servers.redirect("/store/" + PACKAGE))
        self.server.set_route("/store/" + PACKAGE, servers.Route(file=str(self.package)))
        run = self.run_installer(exit_code=0)
        self.assert_setup_ran(run, 0, self.unpacked_setup(PACKAGE))
        self.assert_temp_folder_clean()

    def test_large_catalogue_with_our_entry_last(self):
        base = self.server.url("/drivers")
        entries = [packages.Entry(f"0x{0x10000 + i:x}", f"Tarnwell_Filler_{i}_1.0.0.1.zip", f"Filler {i}")
                   for i in range(60000)]
        entries.append(packages.Entry(self.pid(), PACKAGE))
        self.set_catalogue(packages.catalogue(base, entries))
        self.server.set_route("/drivers/" + PACKAGE, servers.Route(file=str(self.package)))
        run = self.run_installer(exit_code=1)
        self.assert_setup_ran(run, 1, self.unpacked_setup(PACKAGE))
        self.assert_temp_folder_clean()


if __name__ == "__main__":
    unittest.main(verbosity=2)
