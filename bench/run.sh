#!/usr/bin/env bash
# `make bench`: builds the release programs, serves a temporary root folder on loopback with
# tarvelo-ftpd (and with pyftpdlib when it is installed, alternating), measures with bench/client.c,
# probes what the 4096-byte chunk rule allows on this machine, times the secure folder's passes
# against `openssl enc`, and writes a Markdown table.
#
# BENCH_SMALL=1   tiny sizes: a smoke run of a minute or two that keeps the suite working
# BENCH_REPS=N    runs of each measurement per server (medians are reported); default 3, 1 when small
# BENCH_BUILD=DIR the release build folder; default build-release
# BENCH_OUT=FILE  the report; default bench/results/<date>.md (the smoke run: <build>/bench-smoke.md)
# BENCH_TMP=DIR   where the temporary folder goes; default /tmp
set -euo pipefail

bench=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$bench")
build=${BENCH_BUILD:-$repo/build-release}
small=${BENCH_SMALL:-0}

if [ "$small" = 1 ]; then
    big=$((8 << 20)) smallFiles=100 clients=20 logins=30 listEntries=500 listRuns=3
    cryBig=$((8 << 20)) cryFiles=20 reps=${BENCH_REPS:-1}
    out=${BENCH_OUT:-$build/bench-smoke.md}
else
    big=$((1 << 30)) smallFiles=2000 clients=500 logins=500 listEntries=10000 listRuns=5
    cryBig=$((1 << 30)) cryFiles=1000 reps=${BENCH_REPS:-3}
    out=${BENCH_OUT:-$bench/results/$(date +%Y-%m-%d-%H%M).md}
fi
user=bench password=bench-password cryPassword=bench-cry-password

# ---- build ---------------------------------------------------------------------------------------
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVELO_GUI=OFF >/dev/null
fi
cmake --build "$build" -j2 --target tarvelo-ftpd tarvelo-cry >/dev/null
client=$build/bench-client
cc -O2 -Wall -Wextra -pthread -o "$client" "$bench/client.c"

need=$((3 * big + 2 * cryBig + (100 << 20)))
freeBytes=$(($(df -Pk "${BENCH_TMP:-/tmp}" | awk 'NR == 2 {print $4}') * 1024))
if [ "$freeBytes" -lt "$need" ]; then
    echo "bench: ${BENCH_TMP:-/tmp} has $((freeBytes >> 20)) MiB free; this run needs $((need >> 20)) MiB" >&2
    exit 1
fi

# ---- the temporary root folder, servers, clean-up -------------------------------------------------
work=$(mktemp -d "${BENCH_TMP:-/tmp}/tarvelo-bench.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

root=$work/root
mkdir -p "$root/small" "$root/list" "$work/config/Tarvelo FTP Server" "$work/cry/big" "$work/cry/small"
echo "bench: making the files in $work" >&2
"$client" gen "$root/big.bin" "$big"
"$client" gen "$root/mib.bin" $((1 << 20))
"$client" files "$root/small" "$smallFiles" 4096
"$client" files "$root/list" "$listEntries" 0

cat >"$work/config/Tarvelo FTP Server/tarvelo-ftp.conf" <<EOF
[DataApp]
Username=$user
Password=$password
SharedFolder=$root
ServerPort=0
MaxUsers=100000
AllowDownloadFiles=1
AllowUploadFiles=1
AllowDeleteFiles=1
AllowRenameFiles=1
AllowCreateFolders=1
EOF

# Starts a server in the background; sets port and pid from its "listening on port N" line.
start_server() {
    local log=$1
    shift
    "$@" >"$log.out" 2>"$log.err" &
    pid=$!
    pids+=("$pid")
    for _ in $(seq 200); do
        port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$log.err")
        [ -n "$port" ] && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "bench: $* did not start:" >&2
    cat "$log.err" >&2
    exit 1
}

XDG_CONFIG_HOME=$work/config start_server "$work/tarvelo" "$build/tarvelo-ftpd"
declare -A portOf pidOf
portOf[tarvelo]=$port pidOf[tarvelo]=$pid
servers=(tarvelo)

python=""
for candidate in python3 /usr/bin/python3; do
    if command -v "$candidate" >/dev/null && "$candidate" -c 'import pyftpdlib' 2>/dev/null; then
        python=$candidate
        break
    fi
done
if [ -n "$python" ]; then
    start_server "$work/pyftpd" "$python" "$bench/pyftpd.py" "$root" "$user" "$password"
    portOf[pyftpdlib]=$port pidOf[pyftpdlib]=$pid
    servers+=(pyftpdlib)
else
    echo "bench: pyftpdlib is not installed (python3-pyftpdlib); measuring tarvelo-ftpd alone" >&2
fi

# ---- measuring -------------------------------------------------------------------------------------
declare -A runs # "<measure>/<server>" -> space-separated results
record() { runs[$1/$2]="${runs[$1/$2]:-} $3"; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p"; }
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
med() { echo "${runs[$1/$2]:-}" | median; }
peak_kib() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }
now_ns() { date +%s%N; }

# Each round alternates the servers, the first one taking turns.
ordered_servers() {
    if [ $(($1 % 2)) -eq 0 ] || [ ${#servers[@]} -eq 1 ]; then echo "${servers[@]}"; else echo "${servers[1]} ${servers[0]}"; fi
}

for rep in $(seq "$reps"); do
    echo "bench: round $rep of $reps" >&2
    r=$("$client" probe-send "$root/big.bin")
    record probeSend rule "$(echo "$r" | field mbps)"
    r=$("$client" probe-recv "$work/probe.out" "$big")
    rm -f "$work/probe.out"
    record probeRecv rule "$(echo "$r" | field mbps)"
    r=$("$client" probe-wire "$big")
    record wire client "$(echo "$r" | field mbps)"
    for s in $(ordered_servers "$rep"); do
        p=${portOf[$s]}
        r=$("$client" retr "$p" "$user" "$password" big.bin)
        record retr "$s" "$(echo "$r" | field mbps)"
        r=$("$client" stor "$p" "$user" "$password" up.bin "$big")
        rm -f "$root/up.bin"
        record stor "$s" "$(echo "$r" | field mbps)"
        r=$("$client" small "$p" "$user" "$password" small "$smallFiles")
        record small "$s" "$(echo "$r" | field filesps)"
        r=$("$client" login "$p" "$user" "$password" "$logins")
        record login "$s" "$(echo "$r" | field median_us)"
        r=$("$client" list "$p" "$user" "$password" list "$listRuns")
        record list "$s" "$(echo "$r" | field median_ms)"
        echo 5 >"/proc/${pidOf[$s]}/clear_refs" 2>/dev/null || true # VmHWM from here on
        r=$("$client" many "$p" "$user" "$password" "$clients" mib.bin)
        record manyTime "$s" "$(echo "$r" | field seconds)"
        record manyFail "$s" "$(echo "$r" | field failures)"
        record manyPeak "$s" "$(awk -v k="$(peak_kib "${pidOf[$s]}")" 'BEGIN {printf "%.1f", k / 1024}')"
    done
done

# ---- the secure folder's passes ------------------------------------------------------------------
seconds_since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN {printf "%.6f", (b - a) / 1e9}'; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN {printf "%.1f", n / s}'; }
mbps() { awk -v n="$1" -v s="$2" 'BEGIN {printf "%.1f", n / s / 1e6}'; }
cry() { printf '%s\n' "$cryPassword" | "$build/tarvelo-cry" "$@" >/dev/null; }
ossl() { openssl enc -aes-256-cbc -pbkdf2 -nosalt -iter 8000 -md sha512 -pass "pass:$cryPassword" "$@"; }
haveOpenssl=0
command -v openssl >/dev/null && haveOpenssl=1

"$client" gen "$work/cry/big/big.bin" "$cryBig"
"$client" files "$work/cry/small" "$cryFiles" 4096
for rep in $(seq "$reps"); do
    echo "bench: passes, round $rep of $reps" >&2
    t=$(now_ns); cry encrypt "$work/cry/big"; record encBig tarvelo "$(mbps "$cryBig" "$(seconds_since "$t")")"
    t=$(now_ns); cry decrypt "$work/cry/big"; record decBig tarvelo "$(mbps "$cryBig" "$(seconds_since "$t")")"
    t=$(now_ns); cry encrypt "$work/cry/small"; record encSmall tarvelo "$(rate "$cryFiles" "$(seconds_since "$t")")"
    t=$(now_ns); cry decrypt "$work/cry/small"; record decSmall tarvelo "$(rate "$cryFiles" "$(seconds_since "$t")")"
    [ -f "$work/cry/big/big.bin" ] && [ "$(ls "$work/cry/small" | wc -l)" -eq "$cryFiles" ] || {
        echo "bench: a pass lost files" >&2
        exit 1
    }
    if [ "$haveOpenssl" = 1 ]; then
        t=$(now_ns); ossl -in "$work/cry/big/big.bin" -out "$work/o.cry"; record encBig openssl "$(mbps "$cryBig" "$(seconds_since "$t")")"
        t=$(now_ns); ossl -d -in "$work/o.cry" -out "$work/o.plain"; record decBig openssl "$(mbps "$cryBig" "$(seconds_since "$t")")"
        cmp -s "$work/o.plain" "$work/cry/big/big.bin" || { echo "bench: openssl round trip differs" >&2; exit 1; }
        rm -f "$work/o.cry" "$work/o.plain"
        mkdir -p "$work/ossl"
        t=$(now_ns)
        for f in "$work"/cry/small/*; do ossl -in "$f" -out "$work/ossl/${f##*/}.cry"; done
        record encSmall openssl "$(rate "$cryFiles" "$(seconds_since "$t")")"
        t=$(now_ns)
        for f in "$work"/ossl/*.cry; do ossl -d -in "$f" -out "${f%.cry}"; done
        record decSmall openssl "$(rate "$cryFiles" "$(seconds_since "$t")")"
        rm -rf "$work/ossl"
    fi
done

# ---- the report ------------------------------------------------------------------------------------
peer=${servers[1]:-}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f", a / b}'; }
# verdict VALUE OP LIMIT: "yes" or "no" (or "-" when something is missing)
verdict() { awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN {if (v == "-" || l == "-") {print "-"; exit} ok = op == ">=" ? v >= l : op == "<=" ? v <= l : op == "<" ? v < l : v == l; print ok ? "yes" : "no"}'; }
times() { awk -v a="$1" -v f="$2" 'BEGIN {if (a == "-") print "-"; else printf "%.1f", a * f}'; }

pm() { if [ -n "$peer" ]; then med "$1" "$peer"; else echo -; fi; }
om() { if [ "$haveOpenssl" = 1 ]; then med "$1" openssl; else echo -; fi; }
mib() { echo "$(($1 >> 20)) MiB"; }

retrT=$(med retr tarvelo) retrP=$(pm retr) ceilSend=$(med probeSend rule)
storT=$(med stor tarvelo) storP=$(pm stor) ceilRecv=$(med probeRecv rule)
smallT=$(med small tarvelo) smallP=$(pm small)
manyT=$(med manyTime tarvelo) manyP=$(pm manyTime)
failT=$(echo "${runs[manyFail/tarvelo]}" | tr ' ' '\n' | awk '{s += $1} END {print s + 0}')
failP=-
[ -n "$peer" ] && failP=$(echo "${runs[manyFail/$peer]}" | tr ' ' '\n' | awk '{s += $1} END {print s + 0}')
peakT=$(med manyPeak tarvelo) peakP=$(pm manyPeak)
loginT=$(med login tarvelo) loginP=$(pm login)
listT=$(med list tarvelo) listP=$(pm list)
encBigT=$(med encBig tarvelo) encBigO=$(om encBig) decBigT=$(med decBig tarvelo) decBigO=$(om decBig)
encSmallT=$(med encSmall tarvelo) encSmallO=$(om encSmall) decSmallT=$(med decSmall tarvelo) decSmallO=$(om decSmall)

mkdir -p "$(dirname "$out")"
{
    echo "# Benchmark of tarvelo-ftpd and tarvelo-cry"
    echo
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) cores ($(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)), kernel $(uname -r)."
    echo "Loopback, release build, ${peer:-no peer server}; medians of $reps alternating runs."
    echo "Sizes: RETR/STOR $(mib "$big"), $smallFiles files of 4 KiB, $clients clients, $logins logins, LIST of $listEntries entries, passes on $(mib "$cryBig") and $cryFiles files of 4 KiB."
    echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
    echo
    echo "| measure | tarvelo | ${peer:-peer} / openssl | ratio | chunk-rule ceiling | of ceiling | target | met |"
    echo "|---|---:|---:|---:|---:|---:|---|---|"
    echo "| RETR, MB/s | $retrT | $retrP | $(ratio "$retrT" "$retrP") | $ceilSend | $(ratio "$retrT" "$ceilSend") | >= 0.9 of ceiling | $(verdict "$(ratio "$retrT" "$ceilSend")" ">=" 0.9) |"
    echo "| STOR, MB/s | $storT | $storP | $(ratio "$storT" "$storP") | $ceilRecv | $(ratio "$storT" "$ceilRecv") | >= 0.9 of ceiling | $(verdict "$(ratio "$storT" "$ceilRecv")" ">=" 0.9) |"
    echo "| small files over one session, files/s | $smallT | $smallP | $(ratio "$smallT" "$smallP") | | | >= 2x peer | $(verdict "$(ratio "$smallT" "$smallP")" ">=" 2) |"
    echo "| $clients clients, wall s | $manyT | $manyP | $(ratio "$manyT" "$manyP") | | | <= peer | $(verdict "$manyT" "<=" "$manyP") |"
    echo "| $clients clients, failures (all runs) | $failT | $failP | | | | 0 | $(verdict "$failT" "==" 0) |"
    echo "| $clients clients, server peak resident MiB | $peakT | $peakP | $(ratio "$peakT" "$peakP") | | | < 64 | $(verdict "$peakT" "<" 64) |"
    echo "| login round trip (connect to 230), median us | $loginT | $loginP | $(ratio "$loginT" "$loginP") | | | <= peer | $(verdict "$loginT" "<=" "$loginP") |"
    echo "| LIST of $listEntries entries, median ms | $listT | $listP | $(ratio "$listT" "$listP") | | | < 50 | $(verdict "$listT" "<" 50) |"
    echo "| encrypt pass, one file, MB/s | $encBigT | $encBigO | $(ratio "$encBigT" "$encBigO") | | | >= 1.0x openssl | $(verdict "$(ratio "$encBigT" "$encBigO")" ">=" 1) |"
    echo "| decrypt pass, one file, MB/s | $decBigT | $decBigO | $(ratio "$decBigT" "$decBigO") | | | >= 1.0x openssl | $(verdict "$(ratio "$decBigT" "$decBigO")" ">=" 1) |"
    echo "| encrypt pass, small files, files/s | $encSmallT | $encSmallO | $(ratio "$encSmallT" "$encSmallO") | | | >= 5x openssl per file | $(verdict "$(ratio "$encSmallT" "$encSmallO")" ">=" 5) |"
    echo "| decrypt pass, small files, files/s | $decSmallT | $decSmallO | $(ratio "$decSmallT" "$decSmallO") | | | >= 5x openssl per file | $(verdict "$(ratio "$decSmallT" "$decSmallO")" ">=" 5) |"
    echo
    echo "The client itself: $(med wire client) MB/s over loopback with no server between (1 MiB sends and receives)."
    [ -n "$peer" ] && echo "Against $peer's sendfile RETR it reaches $retrP MB/s, so it is not what bounds the figures above."
    echo "Chunk-rule ceilings: a loop of pread of 4096 bytes and a non-blocking send (poll on would-block) for RETR;"
    echo "a loop of 4096-byte receives each written to a file for STOR. All runs: $(for k in "${!runs[@]}"; do echo "$k:${runs[$k]}"; done | sort | tr '\n' ';')"
} >"$out"
cat "$out"
echo "bench: report written to $out" >&2
