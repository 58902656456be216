#!/bin/sh
# make-test-pki.sh <folder>: makes a throwaway PKI for the loopback test servers in <folder>, once:
#   ca.pem / ca.key / ca.der   a test certificate authority (PEM, key, and the certificate in DER)
#   server.pem / server.key    a server certificate for localhost (SAN DNS:localhost, IP:127.0.0.1),
#                              signed by the CA; server-chain.pem is the certificate followed by the CA
# A folder that already holds all of them is left as it is, so tests may share one. Nothing here is
# trusted anywhere: the tests trust ca.pem only inside a private mount namespace.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 <folder>" >&2
    exit 2
fi
dir=$1
mkdir -p "$dir"
cd "$dir"

# Tests that start together share the folder: one makes the PKI, the others wait for it and find it made.
exec 9>./.lock
flock -w 120 9

all_present=yes
for f in ca.pem ca.key ca.der server.pem server.key server-chain.pem; do
    [ -s "$f" ] || all_present=no
done
[ "$all_present" = yes ] && exit 0

# Build in a scratch folder and move the results in at the end, so that an interrupted run leaves no
# half-made PKI behind.
work=$(mktemp -d ./.pki-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

# openssl's progress dots go to a log that is shown only when a step fails.
quietly() {
    "$@" 2>>"$work/openssl.log" || { cat "$work/openssl.log" >&2; exit 1; }
}

cat > "$work/ca.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Strell Loopback Test CA
O = Strell tests
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF

cat > "$work/server.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = localhost
O = Strell tests
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
authorityKeyIdentifier = keyid
subjectKeyIdentifier = hash
CNF

quietly openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -keyout "$work/ca.key" -out "$work/ca.pem" -config "$work/ca.cnf" -extensions ca_ext
quietly openssl x509 -in "$work/ca.pem" -outform DER -out "$work/ca.der"

quietly openssl req -newkey rsa:2048 -nodes -sha256 \
    -keyout "$work/server.key" -out "$work/server.csr" -config "$work/server.cnf"
quietly openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -CAserial "$work/ca.srl" -CAcreateserial -sha256 -days 825 \
    -extfile "$work/server.cnf" -extensions server_ext -out "$work/server.pem"
cat "$work/server.pem" "$work/ca.pem" > "$work/server-chain.pem"

quietly openssl verify -CAfile "$work/ca.pem" "$work/server.pem" >/dev/null

chmod 600 "$work/ca.key" "$work/server.key"
for f in ca.key ca.pem ca.der server.key server.pem server-chain.pem; do
    mv -f "$work/$f" "./$f"
done
