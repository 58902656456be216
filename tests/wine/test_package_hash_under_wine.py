"""The package hash of the Windows build (BCrypt) against known SHA-256 vectors, run under Wine: the same
vectors program the Linux build runs natively (tests/retrieval/PackageHashVectors.cpp)."""

import sys
import unittest

from strelltest.wine import PrefixTestCase, tool


class PackageHashUnderWine(PrefixTestCase):
    def test_known_vectors(self):
        result = self.prefix.run([tool("package-hash-vectors")], timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout.splitlines()[-1:], ["0 failed"], result.stdout)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)
