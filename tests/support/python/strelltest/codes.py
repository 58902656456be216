"""The installer's own exit codes, and what a starting process reads of a code on each build.

- ``NOT_ELEVATED`` (-6), ``SETUP_PROGRAM_MISSING`` (-5), ``NO_SUPPORTED_DEVICE`` (-4), ``DRIVER_PACKAGE_FAILED``
  (-3); ``CODE_NAMES``: {code: its name in the installer ("notElevated", ...)}.
- ``LINUX``, ``WINDOWS``, ``BUILDS``: the builds.
- ``seen_by(build, code)``: what the starting process reads: the low 8 bits on Linux (as a shell reports
  them), all 32 bits as an unsigned number from a Windows parent.
- ``ACCESS_VIOLATION``: what Windows reports for a program that crashed on a bad memory access.
"""

LINUX = "linux"
WINDOWS = "windows"
BUILDS = (LINUX, WINDOWS)

NOT_ELEVATED = -6
SETUP_PROGRAM_MISSING = -5
NO_SUPPORTED_DEVICE = -4
DRIVER_PACKAGE_FAILED = -3
CODE_NAMES = {NOT_ELEVATED: "notElevated", SETUP_PROGRAM_MISSING: "setupProgramMissing",
              NO_SUPPORTED_DEVICE: "noSupportedDevice", DRIVER_PACKAGE_FAILED: "driverPackageFailed"}

ACCESS_VIOLATION = 0xC0000005


def seen_by(build: str, code: int) -> int:
    """Takes a build and a 32-bit exit code (signed or not); gives back what the starting process reads."""
    return code & 0xFF if build == LINUX else code & 0xFFFFFFFF
