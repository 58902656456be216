"""Two builds of the windows preset from the same commit (the source folder's HEAD: uncommitted changes are
not in it), in two fresh clones in differently named folders, the second with the clock moved on two days,
give a byte-identical StrellDriverInstaller.exe and the same build-versions.txt. ccache is off (its
time-macro sloppiness would hand the second build the first one's objects). Only the installer target is
built. Prints both SHA-256s; on a difference, names the objects and PE sections that differ.
STRELL_KEEP_SCRATCH=1 keeps the two build folders for a closer look."""

import filecmp
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import pefile

SOURCE_DIR = Path(os.environ["STRELL_SOURCE_DIR"])
BUILD_TIMEOUT = 1500
CLOCK_SHIFT = "+2d"  # faketime's offset for the second build


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def build(commit, source, env, prefix=()):
    """Clones `commit` into `source` and builds the installer with the windows preset, ccache off, under the
    given command prefix (e.g. faketime); gives back the build folder."""
    subprocess.run(["git", "clone", "--quiet", "--no-checkout", str(SOURCE_DIR), str(source)], check=True,
                   timeout=300)
    subprocess.run(["git", "-C", str(source), "checkout", "--quiet", "--detach", commit], check=True, timeout=300)
    build_dir = source / "build" / "windows"
    for step in (["cmake", "--preset", "windows", "-DSTRELL_CCACHE=OFF", "-DBUILD_TESTING=OFF"],
                 ["nice", "cmake", "--build", str(build_dir), "--target", "StrellDriverInstaller", "-j2"]):
        done = subprocess.run([*prefix, *step], cwd=source, env=env, timeout=BUILD_TIMEOUT,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0:
            raise AssertionError(f"{' '.join(step)} failed in {source}:\n{done.stdout[-4000:]}")
    return build_dir


def differing_objects(first, second):
    """The objects and archives (relative paths) whose bytes differ between two build folders."""
    names = []
    for path in sorted(first.rglob("*")):
        if path.suffix in (".obj", ".o", ".a") and path.is_file():
            other = second / path.relative_to(first)
            if not other.is_file() or not filecmp.cmp(path, other, shallow=False):
                names.append(str(path.relative_to(first)))
    return names


def differing_sections(first, second):
    """The PE header fields and sections that differ between two exes, as text."""
    one, two = pefile.PE(str(first)), pefile.PE(str(second))
    found = []
    if one.FILE_HEADER.TimeDateStamp != two.FILE_HEADER.TimeDateStamp:
        found.append("FILE_HEADER.TimeDateStamp")
    for a, b in zip(one.sections, two.sections):
        if a.get_data() != b.get_data():
            found.append(a.Name.rstrip(b"\0").decode())
    return found


class ReproducibleBuild(unittest.TestCase):
    def test_two_clean_builds_give_the_same_exe(self):
        commit = subprocess.run(["git", "-C", str(SOURCE_DIR), "rev-parse", "HEAD"], check=True, text=True,
                                capture_output=True).stdout.strip()
        scratch = Path(tempfile.mkdtemp(prefix="strell-repro-"))
        keep = os.environ.get("STRELL_KEEP_SCRATCH") == "1"
        if not keep:
            self.addCleanup(shutil.rmtree, scratch, ignore_errors=True)
        env = dict(os.environ)
        for name in ("SOURCE_DATE_EPOCH", "CMAKE_C_COMPILER_LAUNCHER", "CMAKE_CXX_COMPILER_LAUNCHER"):
            env.pop(name, None)  # the build takes its time from the commit
        env["CCACHE_DISABLE"] = "1"  # belt and braces: no cached object in either build
        # Faking the monotonic clock too makes some programs wait for ever; the wall clock is what counts.
        shifted = dict(env, FAKETIME_DONT_FAKE_MONOTONIC="1")

        # The clock really moves for the second build, so an unpinned __DATE__ would differ.
        now = int(time.time())
        later = int(subprocess.run(["faketime", "-f", CLOCK_SHIFT, "date", "+%s"], env=shifted, check=True,
                                   text=True, capture_output=True).stdout)
        self.assertGreater(later - now, 86400)

        first = build(commit, scratch / "a" / "src", env)
        second = build(commit, scratch / "second-clone" / "strell", shifted, prefix=["faketime", "-f", CLOCK_SHIFT])
        exes = [folder / "StrellDriverInstaller.exe" for folder in (first, second)]
        hashes = [sha256(exe) for exe in exes]
        print(f"commit {commit}\nfirst build:  {hashes[0]}\nsecond build: {hashes[1]}", flush=True)
        if keep:
            print(f"build folders kept in {scratch}")
        self.assertEqual(hashes[0], hashes[1],
                         f"sections: {differing_sections(*exes)}; objects: {differing_objects(first, second)}")

        # Both also record the same toolchain, for this commit.
        versions = [(folder / "build-versions.txt").read_text() for folder in (first, second)]
        self.assertEqual(versions[0], versions[1])
        self.assertIn(f"commit: {commit}\n", versions[0])
        for name in ("mingw-w64 gcc:", "binutils:", "JUCE:", "zlib:", "libpng:", "libjpeg:"):
            self.assertRegex(versions[0], f"(?m)^{name} [0-9]", name)

        # Independent of the comparison: no link time and no clone path in the exe (same-length clone paths
        # or a clock that did not move would hide either from the hash comparison).
        data = exes[0].read_bytes()
        self.assertEqual(pefile.PE(data=data).FILE_HEADER.TimeDateStamp, 0)
        for folder in (scratch, first):
            for encoding in ("utf-8", "utf-16-le"):
                self.assertNotIn(str(folder).encode(encoding), data, f"{folder} in the exe ({encoding})")


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)
