#!/usr/bin/env bash
# Scans tarvelo-ftpd with encryption required with testssl (Debian's testssl.sh) --starttls ftp,
# prints its findings rated LOW and above, and fails when any is rated HIGH or CRITICAL. The build
# folder is the first argument (default: build).
set -euo pipefail
build=${1:-build}
work=$(mktemp -d)
pid=""
trap '[ -z "$pid" ] || { kill "$pid"; wait "$pid" || true; }; rm -rf "$work"' EXIT
mkdir -p "$work/root"
# A certificate from a scratch authority, as a user's own (Let's Encrypt) one would be: the scan
# then rates the server's TLS, not a self-signed certificate's want of a chain of trust.
cd "$work"
key() { openssl req "$@" -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes 2>/dev/null; }
key -x509 -keyout ca.key -out ca.pem -subj /CN=scan-authority -days 90
key -new -keyout leaf.key -out leaf.csr -subj /CN=127.0.0.1
printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\ncrlDistributionPoints=URI:http://127.0.0.1/x.crl\n' >ext
openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 90 -extfile ext -out leaf.pem 2>/dev/null
cd - >/dev/null
XDG_CONFIG_HOME="$work" "$build/tarvelo-ftpd" --port 0 --root "$work/root" --tls require \
    --tls-certificate "$work/leaf.pem" --tls-key "$work/leaf.key" >"$work/monitor" 2>"$work/errors" &
pid=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on port \([0-9]*\),.*/\1/p' "$work/errors")
    [ -n "$port" ] && break
    kill -0 "$pid" 2>/dev/null || { cat "$work/errors" >&2; exit 1; }
    sleep 0.1
done
[ -n "$port" ] || { echo "$0: tarvelo-ftpd did not start" >&2; exit 1; }
testssl --quiet --color 0 --warnings off --add-ca "$work/ca.pem" --starttls ftp --jsonfile "$work/scan.json" "127.0.0.1:$port" \
    >"$work/report" || true
# One finding a line: severity, id, finding.
python3 - "$work/scan.json" <<'PY'
import json, sys
findings = [f for f in json.load(open(sys.argv[1])) if f.get("severity") in ("LOW", "MEDIUM", "HIGH", "CRITICAL")]
for f in findings:
    print(f"{f['severity']:8} {f['id']}: {f['finding']}")
bad = [f for f in findings if f["severity"] in ("HIGH", "CRITICAL")]
print(f"testssl: {len(bad)} findings rated HIGH or CRITICAL, {len(findings) - len(bad)} rated LOW or MEDIUM")
sys.exit(1 if bad else 0)
PY
