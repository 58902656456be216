#!/usr/bin/env bash
# Signs a driver catalogue for installers built with CATALOGUE_SIGNING_KEYS (ECDSA P-256, SHA-256).
#
#   tools/sign-catalogue.sh [--in-place] <catalogue.xml> [<signed.xml>]
#
# Takes, from the environment (never from the command line, which `ps` shows to everyone):
#   the private key (PEM), from exactly one of
#     STRELL_CATALOGUE_KEY_FD      a file descriptor open for reading, e.g. 3 with `3<key.pem`,
#     STRELL_CATALOGUE_KEY         the path of a file only the release engineer can read;
#   STRELL_CATALOGUE_PUBLIC_KEYS   optional: the PEM file the installers are built with (one or two public
#                                  keys); the signature must verify under one of them (default: the
#                                  private key's own public half).
# Writes <signed.xml>: the catalogue with any signature comment at its end replaced by
#   <!-- catalogue-signature ecdsa-p256-sha256 BASE64 -->
# over every byte before it, once that signature has verified. The input is only read unless --in-place
# is given (then it is replaced, and no <signed.xml> is named). UTF-16 catalogues are refused: the
# installer finds the comment in ASCII-compatible text only. Gives back 0 when written, else non-zero with
# nothing written.
set -euo pipefail
set +x # a caller's xtrace would show the key

fail() {
    echo "sign-catalogue: $*" >&2
    exit 1
}

in_place=0
if [ "${1:-}" = "--in-place" ]; then
    in_place=1
    shift
fi
if [ "$in_place" = 1 ]; then
    [ $# -eq 1 ] || fail "usage: $0 --in-place <catalogue.xml>"
    in=$1
    out=$1
else
    [ $# -eq 2 ] || fail "usage: $0 [--in-place] <catalogue.xml> [<signed.xml>]"
    in=$1
    out=$2
    [ "$(realpath -m -- "$in")" != "$(realpath -m -- "$out")" ] ||
        fail "the output would replace the input: give --in-place for that"
fi
[ -f "$in" ] || fail "no such file: $in"
command -v openssl >/dev/null || fail "openssl is not installed"
command -v python3 >/dev/null || fail "python3 is not installed"

work=$(mktemp -d "$(dirname -- "$out")/.sign-catalogue.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
chmod 700 "$work"

# The key, from exactly one source. Read from a descriptor it stays in this shell's memory and reaches
# openssl through pipes: it is never written to disk here.
if [ -n "${STRELL_CATALOGUE_KEY_FD+set}" ] && [ -n "${STRELL_CATALOGUE_KEY+set}" ]; then
    fail "give the key one way only"
fi
key_text=""
key_path=""
if [ -n "${STRELL_CATALOGUE_KEY_FD+set}" ]; then
    [[ "$STRELL_CATALOGUE_KEY_FD" =~ ^[0-9]+$ ]] || fail "STRELL_CATALOGUE_KEY_FD is not a descriptor number"
    key_text=$(cat <&"$STRELL_CATALOGUE_KEY_FD") || fail "cannot read descriptor $STRELL_CATALOGUE_KEY_FD"
    exec {STRELL_CATALOGUE_KEY_FD}<&-
    [ -n "$key_text" ] || fail "nothing to read on the key's descriptor"
elif [ -n "${STRELL_CATALOGUE_KEY+set}" ]; then
    [ -r "$STRELL_CATALOGUE_KEY" ] || fail "cannot read STRELL_CATALOGUE_KEY"
    key_path=$STRELL_CATALOGUE_KEY
else
    fail "set STRELL_CATALOGUE_KEY_FD or STRELL_CATALOGUE_KEY"
fi
unset STRELL_CATALOGUE_KEY STRELL_CATALOGUE_KEY_FD
key() {
    if [ -n "$key_path" ]; then cat -- "$key_path"; else printf '%s\n' "$key_text"; fi
}
openssl pkey -in <(key) -noout -text 2>/dev/null | grep -q 'NIST CURVE: P-256' ||
    fail "the key is not an ECDSA P-256 private key"

# The document without its old signature comment (and the spaces after it), refused when UTF-16.
python3 - "$in" "$work/document" <<'PY' || exit 1
import re, sys
data = open(sys.argv[1], "rb").read()
if data[:2] in (b"\xff\xfe", b"\xfe\xff") or b"\x00" in data:
    sys.exit("sign-catalogue: the catalogue is UTF-16 (or holds NUL bytes); sign only UTF-8 or Windows-1252")
data = re.sub(rb"<!-- catalogue-signature [^>]*-->[ \t\r\n]*\Z", b"", data)
if not data.rstrip(b" \t\r\n").endswith(b">"):
    sys.exit("sign-catalogue: the catalogue does not end with markup")
open(sys.argv[2], "wb").write(data)
PY

openssl dgst -sha256 -sign <(key) -out "$work/signature.der" "$work/document" ||
    fail "signing failed"
if [ -n "${STRELL_CATALOGUE_PUBLIC_KEYS:-}" ]; then
    [ -r "$STRELL_CATALOGUE_PUBLIC_KEYS" ] || fail "cannot read STRELL_CATALOGUE_PUBLIC_KEYS"
    # One public key per file: openssl reads the first block only.
    awk -v dir="$work" '/-----BEGIN PUBLIC KEY-----/ { n++ } n { print > (dir "/public" n ".pem") }' \
        "$STRELL_CATALOGUE_PUBLIC_KEYS"
else
    openssl pkey -in <(key) -pubout -out "$work/public1.pem"
fi
verified=""
for public in "$work"/public*.pem; do
    [ -f "$public" ] || continue
    if openssl dgst -sha256 -verify "$public" -signature "$work/signature.der" "$work/document" >/dev/null 2>&1; then
        verified=$(openssl pkey -pubin -in "$public" -outform DER | openssl dgst -sha256 -r | cut -c1-16)
        break
    fi
done
[ -n "$verified" ] || fail "the signature verifies under none of the public keys: is this the right key?"

key_text=""
{
    cat "$work/document"
    printf '<!-- catalogue-signature ecdsa-p256-sha256 %s -->\n' "$(openssl base64 -A -in "$work/signature.der")"
} > "$work/signed.xml"
chmod --reference="$in" -- "$work/signed.xml"
mv -f -- "$work/signed.xml" "$out"
echo "signed: $out (key $verified)"
