#pragma once

// Takes the prefix of variables that a build for tests passes on to the stand-in setup program (empty in
// the installer: nothing is passed on). Replaces the process environment, before any library has read it,
// with the installer's own, which the setup program inherits. Writes the process environment.
//
// POSIX (OwnEnvironment_posix.cpp): PATH and LANG fixed; HOME the running user's home; TMPDIR the trusted
// temporary folder (trustedTemporaryFolder), or none; DISPLAY for the progress window, and XAUTHORITY only
// when it names a file no process without elevation can change (isTrustedFile): a caller's environment
// must not load libraries (OPENSSL_CONF), write files (SSLKEYLOGFILE), route the fetch (https_proxy) or
// hold the run (a pipe to read) in the elevated process. Nothing else of the caller's is kept.
// Windows (OwnEnvironment_windows.cpp): left as it is. An elevated process gets its environment from the
// system, not from the process that asked for it, and WinINet reads no proxy or key-log variables.
void useOwnEnvironment(const char* keptPrefix);
