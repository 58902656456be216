#!/usr/bin/env bash
# Signs a built installer with Authenticode (osslsigncode as Debian 12 installs it, 2.5 or later).
#
#   tools/sign-installer.sh <unsigned.exe> <signed.exe>
#
# Takes, from the environment (never from the command line, which `ps` shows to everyone):
#   STRELL_SIGN_PKCS12             the certificate, its chain and the key as one PKCS#12 file, or
#   STRELL_SIGN_CERT, STRELL_SIGN_KEY   the certificate (with its chain) and the key as PEM files;
#   the key's password, if it has one, from exactly one of
#     STRELL_SIGN_PASSWORD_FD      a file descriptor open for reading (first line), e.g. 3 with `3<file`,
#     STRELL_SIGN_PASSWORD_FILE    a file only the release engineer can read (first line),
#     STRELL_SIGN_PASSWORD         the password itself (dropped from the environment before anything runs);
#   STRELL_SIGN_TIMESTAMP_URL      optional: an RFC 3161 timestamp server;
#   STRELL_SIGN_CA_FILE            optional: the CA certificates the signature is verified against
#                                  (default: the system's bundle);
#   STRELL_SIGN_TSA_CA_FILE        optional: the same for the timestamp's signer (default: the system's).
# Gives back 0 once <signed.exe> is signed with a SHA-256 digest and has passed `osslsigncode verify`;
# otherwise non-zero, with <signed.exe> not written. <unsigned.exe> is only read. The password goes to
# osslsigncode through a pipe (-readpass /dev/fd/N) and appears in no output of this script.
set -euo pipefail
set +x # a caller's xtrace would print the password

fail() {
    echo "sign-installer: $*" >&2
    exit 1
}

[ $# -eq 2 ] || fail "usage: $0 <unsigned.exe> <signed.exe>"
in=$1
out=$2
[ -f "$in" ] || fail "no such file: $in"
[ "$(realpath -m -- "$in")" != "$(realpath -m -- "$out")" ] || fail "the output must not replace the input"
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (tools/install-deps.sh installs it)"

# The password, from exactly one source, into a shell variable only.
password=""
have_password=0
sources=0
for name in STRELL_SIGN_PASSWORD_FD STRELL_SIGN_PASSWORD_FILE STRELL_SIGN_PASSWORD; do
    [ -n "${!name+set}" ] && sources=$((sources + 1))
done
[ "$sources" -le 1 ] || fail "give the password one way only"
if [ -n "${STRELL_SIGN_PASSWORD_FD+set}" ]; then
    [[ "$STRELL_SIGN_PASSWORD_FD" =~ ^[0-9]+$ ]] || fail "STRELL_SIGN_PASSWORD_FD is not a descriptor number"
    IFS= read -r password <&"$STRELL_SIGN_PASSWORD_FD" || [ -n "$password" ] ||
        fail "nothing to read on descriptor $STRELL_SIGN_PASSWORD_FD"
    exec {STRELL_SIGN_PASSWORD_FD}<&-
    have_password=1
elif [ -n "${STRELL_SIGN_PASSWORD_FILE+set}" ]; then
    [ -r "$STRELL_SIGN_PASSWORD_FILE" ] || fail "cannot read STRELL_SIGN_PASSWORD_FILE"
    IFS= read -r password < "$STRELL_SIGN_PASSWORD_FILE" || [ -n "$password" ] ||
        fail "STRELL_SIGN_PASSWORD_FILE is empty"
    have_password=1
elif [ -n "${STRELL_SIGN_PASSWORD+set}" ]; then
    password=$STRELL_SIGN_PASSWORD
    have_password=1
fi
unset STRELL_SIGN_PASSWORD STRELL_SIGN_PASSWORD_FD STRELL_SIGN_PASSWORD_FILE
password=${password%$'\r'}

if [ -n "${STRELL_SIGN_PKCS12:-}" ]; then
    [ -z "${STRELL_SIGN_CERT:-}${STRELL_SIGN_KEY:-}" ] || fail "give a PKCS#12 file or a PEM pair, not both"
    [ -r "$STRELL_SIGN_PKCS12" ] || fail "cannot read STRELL_SIGN_PKCS12"
    credentials=(-pkcs12 "$STRELL_SIGN_PKCS12")
elif [ -n "${STRELL_SIGN_CERT:-}" ] && [ -n "${STRELL_SIGN_KEY:-}" ]; then
    { [ -r "$STRELL_SIGN_CERT" ] && [ -r "$STRELL_SIGN_KEY" ]; } || fail "cannot read STRELL_SIGN_CERT or STRELL_SIGN_KEY"
    credentials=(-certs "$STRELL_SIGN_CERT" -key "$STRELL_SIGN_KEY")
else
    fail "set STRELL_SIGN_PKCS12, or STRELL_SIGN_CERT and STRELL_SIGN_KEY"
fi

timestamp=()
[ -n "${STRELL_SIGN_TIMESTAMP_URL:-}" ] && timestamp=(-ts "$STRELL_SIGN_TIMESTAMP_URL")
trust=()
[ -n "${STRELL_SIGN_CA_FILE:-}" ] && trust+=(-CAfile "$STRELL_SIGN_CA_FILE")
[ -n "${STRELL_SIGN_TSA_CA_FILE:-}" ] && trust+=(-TSA-CAfile "$STRELL_SIGN_TSA_CA_FILE")

# Signed into a private file beside the output, which replaces the output only once verified.
work=$(mktemp -d "$(dirname -- "$out")/.sign-installer.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
log="$work/osslsigncode.log"

sign=(osslsigncode sign "${credentials[@]}" -h sha256 -n "Strell Driver Installer" "${timestamp[@]}"
      -in "$in" -out "$work/signed.exe")
if [ "$have_password" = 1 ]; then
    # -readpass reads the whole file: the password without a line end, through a pipe on descriptor 3.
    "${sign[@]}" -readpass /dev/fd/3 3< <(printf '%s' "$password") > "$log" 2>&1 ||
        { cat "$log" >&2; fail "signing failed"; }
else
    "${sign[@]}" > "$log" 2>&1 || { cat "$log" >&2; fail "signing failed"; }
fi
password=""

osslsigncode verify "${trust[@]}" -in "$work/signed.exe" > "$log" 2>&1 ||
    { cat "$log" >&2; fail "the signed file did not verify"; }
grep -E '^(Signer #0:|[[:space:]]+Subject:|Message digest algorithm|Timestamp time|Signature verification)' \
    "$log" | head -n 6 || true

chmod --reference="$in" -- "$work/signed.exe"
mv -f -- "$work/signed.exe" "$out"
echo "signed: $out ($(sha256sum -- "$out" | cut -d' ' -f1))"
