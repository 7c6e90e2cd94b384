#!/usr/bin/env bash
# `make tls-scan`: serves a temporary folder with tarvelo-ftpd, encryption required, on a loopback
# port, scans it with testssl.sh (Debian's testssl.sh) as an FTP client that sends AUTH TLS, and
# fails when any finding is rated HIGH or CRITICAL. The summary goes to standard output; the whole
# scan stays in <build>/tls-scan.json.
#
# usage: scripts/tls-scan.sh [BUILD]          BUILD: the folder with tarvelo-ftpd (default build)
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d /tmp/tarvelo-tls-scan.XXXXXX)
server=""
cleanup() {
    [ -z "$server" ] || { kill "$server" 2>/dev/null && wait "$server" 2>/dev/null; } || true
    rm -rf "$work"
}
trap cleanup EXIT

# A certificate as a public CA would issue it (this host's names, 90 days, where revocation is
# published), from a throwaway CA the scan is told to trust: what is judged is the server's TLS, not
# the trust a self-signed certificate cannot have. (tarvelo-ftpd's own self-signed certificate fails
# any chain-of-trust check by its nature; clients pin its fingerprint instead.)
ca=$work/ca
mkdir -p "$ca"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 90 -subj "/CN=Tarvelo scan CA" \
    -keyout "$ca/ca.key" -out "$ca/ca.pem" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost \
    -keyout "$ca/key.pem" -out "$ca/server.csr" 2>/dev/null
cat >"$ca/server.ext" <<EXT
subjectAltName = IP:127.0.0.1, DNS:localhost
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
crlDistributionPoints = URI:http://127.0.0.1/scan-ca.crl
authorityInfoAccess = OCSP;URI:http://127.0.0.1/ocsp
EXT
openssl x509 -req -in "$ca/server.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" -CAcreateserial -days 90 \
    -extfile "$ca/server.ext" -out "$ca/cert.pem" 2>/dev/null
cat "$ca/ca.pem" >>"$ca/cert.pem"
chmod 600 "$ca/key.pem"

mkdir -p "$work/root" "$work/config"
XDG_CONFIG_HOME="$work/config" TARVELO_FTP_PASSWORD=scan "$build/tarvelo-ftpd" --port 0 --root "$work/root" \
    --user scan --tls require --tls-certificate "$ca/cert.pem" --tls-key "$ca/key.pem" >"$work/server.out" 2>&1 &
server=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$work/server.out" | head -1)
    [ -n "$port" ] && break
    kill -0 "$server" 2>/dev/null || { cat "$work/server.out" >&2; exit 1; }
    sleep 0.1
done
[ -n "$port" ] || { echo "tls-scan: the server did not start" >&2; cat "$work/server.out" >&2; exit 1; }

json=$build/tls-scan.json
rm -f "$json"
testssl --quiet --color 0 --warnings off --openssl-timeout 10 --starttls ftp --add-ca "$ca/ca.pem" \
    --jsonfile "$json" "127.0.0.1:$port" >"$work/scan.txt" || true
[ -s "$json" ] || { echo "tls-scan: testssl.sh wrote no results" >&2; cat "$work/scan.txt" >&2; exit 1; }
python3 - "$json" <<'PY'
import json, sys
findings = json.load(open(sys.argv[1]))
counts = {}
for f in findings:
    counts[f["severity"]] = counts.get(f["severity"], 0) + 1
print("tls-scan: findings by rating: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
for f in findings:
    if f["severity"] in ("LOW", "MEDIUM", "HIGH", "CRITICAL"):
        print(f"  {f['severity']:8} {f['id']}: {f['finding']}")
bad = [f for f in findings if f["severity"] in ("HIGH", "CRITICAL")]
sys.exit(1 if bad else 0)
PY
