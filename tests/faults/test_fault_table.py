"""The fault matrix's table itself: every row is one the runners can arrange and check (a misspelt setting
would silently run an ordinary install instead of the fault), the areas are all covered, and MATRIX.md is
the table as fault_matrix.py renders it."""

import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import fault_matrix as matrix  # noqa: E402


class FaultTable(unittest.TestCase):
    def test_rows_are_well_formed(self):
        ids = [row.id for row in matrix.CASES]
        self.assertEqual(len(ids), len(set(ids)), "two rows share an id")
        self.assertGreaterEqual(len(ids), 30)
        for row in matrix.CASES:
            with self.subTest(case=row.id):
                self.assertRegex(row.id, r"^[a-z0-9]+(-[a-z0-9]+)*$")
                self.assertIn(row.area, matrix.AREAS)
                self.assertTrue(row.fault)
                self.assertTrue(row.builds, "the row runs on no build")
                self.assertEqual(set(row.exit), set(row.builds), "an exit code for an unknown build")
                for build in row.builds:
                    limit = 0xFF if build == matrix.LINUX else 0xFFFFFFFF
                    self.assertTrue(0 <= row.exit[build] <= limit, f"{build} exit {row.exit[build]}")
                    re.compile(row.stdout_for(build))
                    re.compile(row.stderr_for(build))
                    self.assertIn(row.runs_for(build), (0, 1))
                    for check in row.checks:
                        self.assertIn(check, matrix.CHECKS_BY_BUILD[build], f"{build} cannot check {check}")
                for name, choices in matrix.SETUP_CHOICES.items():
                    self.assertIn(getattr(row.setup, name), choices, name)
                if matrix.WINDOWS in row.builds:
                    for name, choices in matrix.WINDOWS_SETUP_LIMITS.items():
                        self.assertIn(getattr(row.setup, name), choices, f"{name} cannot be arranged under Wine")
                self.assertIn(row.asks, matrix.ASKS)
                for key in ("stderr", "stdout", "runs"):
                    value = getattr(row, key)
                    if isinstance(value, dict):
                        self.assertLessEqual(set(value), set(row.builds), key)

    def test_every_area_is_covered_on_both_builds(self):
        for build in matrix.BUILDS:
            areas = {row.area for row in matrix.cases_for(build)}
            self.assertEqual(areas, set(matrix.AREAS), build)

    def test_exit_codes_are_what_each_parent_reads(self):
        self.assertEqual(matrix.seen_by(matrix.LINUX, matrix.DRIVER_PACKAGE_FAILED), 253)
        self.assertEqual(matrix.seen_by(matrix.WINDOWS, matrix.DRIVER_PACKAGE_FAILED), 4294967293)
        self.assertEqual(matrix.seen_by(matrix.WINDOWS, matrix.NOT_ELEVATED), 4294967290)
        self.assertEqual(matrix.seen_by(matrix.LINUX, matrix.ACCESS_VIOLATION), 5)

    def test_exit_codes_are_the_installers_own(self):
        # The tests read every run through codes.py: a code or name that drifted from the installer's table
        # would make rows pass or fail for the wrong reason.
        header = Path(__file__).resolve().parents[2] / "app" / "InstallerExitCode.h"
        declared = {name: int(value) for name, value in
                    re.findall(r"^\s*([a-z][A-Za-z]*)\s*=\s*(-?\d+)\s*,", header.read_text(), re.MULTILINE)}
        self.assertEqual(len(declared), 4, declared)
        self.assertEqual({code: name for name, code in declared.items()}, matrix.CODE_NAMES)

    def test_the_document_matches_the_table(self):
        self.assertTrue(matrix.MATRIX_DOC.is_file(), "MATRIX.md is missing")
        self.assertEqual(matrix.MATRIX_DOC.read_text(), matrix.render_markdown(),
                         "MATRIX.md is out of date: run python3 tests/faults/fault_matrix.py --write")
        text = matrix.MATRIX_DOC.read_text()
        for row in matrix.CASES:
            self.assertEqual(len(re.findall(r"^\| " + re.escape(row.id) + r" \|", text, re.MULTILINE)), 1, row.id)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)
