"""The fetch against our fault server on a free loopback port, checked from inside by fetch-stream-tests
(GoogleTest): the SHA-256 taken as a download's bytes are written, including a download reset halfway, and
the message thread's dispatching while the catalogue's answer is held back for two seconds."""

import os
import re
import shutil
import tempfile
import unittest
from pathlib import Path

from strelltest import native, packages, servers

PACKAGE_BYTES = 3 * 1024 * 1024
CASES = ("DigestTakenAsTheBodyIsWrittenIsTheWrittenFilesDigest", "DownloadThatBreaksHalfwayClaimsNoDigest",
         "MessageThreadDispatchesWhileTheCatalogueAnswerIsHeld")


class FetchStreams(unittest.TestCase):
    def test_fetch_stream_cases(self):
        scratch = Path(tempfile.mkdtemp(prefix="strell-fetch-"))
        self.addCleanup(shutil.rmtree, scratch, True)
        served = scratch / "package.bin"
        served.write_bytes(os.urandom(PACKAGE_BYTES))
        pieces = dict(file=str(served), chunk_size=32 * 1024, chunk_delay=0.004)
        routes = {
            "/package": servers.Route(**pieces),
            "/package-broken": servers.Route(send_bytes=PACKAGE_BYTES // 2, ending="reset", **pieces),
            "/catalogue-held": servers.xml(packages.catalogue("https://localhost/drivers", []), header_delay=2.0),
        }
        env = dict(os.environ, STRELL_FETCH_ORIGIN="", STRELL_FETCH_SERVED=str(served),
                   STRELL_FETCH_SCRATCH=str(scratch), DISPLAY=native.unused_display())
        with servers.FaultServer(routes=routes) as server:
            env["STRELL_FETCH_ORIGIN"] = server.origin
            result = servers.run_in_test_namespace([native.program("fetch-stream-tests")], env=env, timeout=240)
        output = result.stdout.decode(errors="replace") + result.stderr.decode(errors="replace")
        self.assertEqual(result.returncode, 0, output)
        passed = set(re.findall(r"^\[       OK \] FetchStream\.(\w+)", output, re.MULTILINE))
        self.assertEqual(passed, set(CASES), output)


if __name__ == "__main__":
    unittest.main(verbosity=2)
