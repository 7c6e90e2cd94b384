#!/usr/bin/env bash
# `make bench`: builds the release programs, serves one temporary root folder on loopback with
# tarvelo-ftpd and with the peer servers vsftpd, pure-ftpd and pyftpdlib, taking turns in each
# round, measures them all with the same client (bench/client.c), plain and over explicit FTPS (a
# second instance of each server, TLS required, all with one certificate), times the secure
# folder's passes against `openssl enc`, and writes a Markdown table. Ratios are taken within one round (ours
# against the best peer of that round) and the table gives their median over the rounds.
#
# The peers are Debian's packages. vsftpd and pure-ftpd cannot be installed side by side, so their
# .debs are fetched (apt-get download) and unpacked under <build>/peers, and run from there on free
# loopback ports as plain processes: no system service, nothing written under /etc. Each session
# runs as the account nobody, chrooted to the root folder: vsftpd with an anonymous login, whose
# account comes from a copy of /etc/passwd bind-mounted in a mount namespace of its own;
# pure-ftpd with a virtual user in a puredb file. That takes root; without it only pyftpdlib runs.
# The full run installs what is missing (python3-pyftpdlib, libwrap0 for vsftpd, openssl) and
# fetches the peers once; the smoke run fetches nothing and measures the peers that are at hand.
#
# BENCH_SMALL=1   tiny sizes: a smoke run of a minute or two that keeps the suite working
# BENCH_REPS=N    rounds (medians are reported); default 3, 1 when small
# BENCH_BUILD=DIR the release build folder; default build-release
# BENCH_OUT=FILE  the report; default bench/results/<date>.md (the smoke run: <build>/bench-smoke.md)
# BENCH_TMP=DIR   where the temporary folder goes; default /tmp
# BENCH_PEERS="…" the peers to measure; default "vsftpd pure-ftpd pyftpdlib"
set -euo pipefail
umask 022

bench=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$bench")
build=${BENCH_BUILD:-$repo/build-release}
small=${BENCH_SMALL:-0}
allPeers=(vsftpd pure-ftpd pyftpdlib)
read -r -a wantedPeers <<<"${BENCH_PEERS-${allPeers[*]}}"

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
wanted() { [[ " ${wantedPeers[*]} " == *" $1 "* ]]; }
isRoot=0
[ "$(id -u)" -eq 0 ] && isRoot=1

# ---- packages and peers (the full run only) ------------------------------------------------------
peerDir=$build/peers
declare -A skipped # peer -> why it is not measured
as_root() { if [ "$isRoot" = 1 ]; then "$@"; else sudo -n "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if [ "$small" != 1 ]; then
    missing=()
    installed openssl || missing+=(openssl)
    wanted pyftpdlib && ! installed python3-pyftpdlib && missing+=(python3-pyftpdlib)
    wanted vsftpd && ! installed libwrap0 && missing+=(libwrap0)
    if [ ${#missing[@]} -gt 0 ]; then
        echo "bench: installing ${missing[*]}" >&2
        export DEBIAN_FRONTEND=noninteractive
        { as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1 ||
            { as_root apt-get update -qq && as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"; }; } ||
            echo "bench: could not install ${missing[*]}; going on without" >&2
    fi
    for p in vsftpd pure-ftpd; do
        wanted "$p" || continue
        [ -x "$peerDir/root/usr/sbin/$p" ] && continue
        mkdir -p "$peerDir/debs"
        rm -f "$peerDir/debs/${p}_"*.deb
        echo "bench: fetching $p" >&2
        # apt-get download works as any user; it only needs the package lists.
        (cd "$peerDir/debs" && { apt-get download "$p" >/dev/null 2>&1 ||
            { as_root apt-get update -qq && apt-get download "$p"; }; }) ||
            { echo "bench: could not fetch $p" >&2; continue; }
        dpkg-deb -x "$peerDir/debs/${p}_"*.deb "$peerDir/root"
    done
fi

# ---- build ---------------------------------------------------------------------------------------
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVELO_GUI=OFF >/dev/null
fi
cmake --build "$build" -j2 --target tarvelo-ftpd tarvelo-cry >/dev/null
client=$build/bench-client
cc -O2 -Wall -Wextra -pthread -o "$client" "$bench/client.c" -lssl -lcrypto
cc -O2 -Wall -Wextra -pthread -o "$build/bench-floor" "$bench/floor.c"

need=$((2 * big + 3 * cryBig + (100 << 20)))
freeBytes=$(($(df -Pk "${BENCH_TMP:-/tmp}" | awk 'NR == 2 {print $4}') * 1024))
if [ "$freeBytes" -lt "$need" ]; then
    echo "bench: ${BENCH_TMP:-/tmp} has $((freeBytes >> 20)) MiB free; this run needs $((need >> 20)) MiB" >&2
    exit 1
fi

# ---- the temporary root folder, servers, clean-up -------------------------------------------------
# Every server runs under `client reap`, which takes in the session processes that a forking server
# leaves behind; stopping it stops the whole family.
work=$(mktemp -d "${BENCH_TMP:-/tmp}/tarvelo-bench.XXXXXX")
chmod 755 "$work"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# One certificate and key for every encrypted server: ECDSA P-256, the kind tarvelo-ftpd makes itself.
tls=$work/tls
mkdir -p "$tls"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost \
    -keyout "$tls/key.pem" -out "$tls/cert.pem" 2>/dev/null
chmod 600 "$tls/key.pem"

# The root folder: readable by all, written only in up/, which the peers' sessions own (a chroot
# that its user can write is refused by vsftpd).
root=$work/root
mkdir -p "$root/small" "$root/list" "$root/up" "$work/config/Tarvelo FTP Server" "$work/cry/big" "$work/cry/small"
sessionUid=$(id -u) sessionGid=$(id -g)
if [ "$isRoot" = 1 ]; then
    sessionUid=$(id -u nobody) sessionGid=$(id -g nobody)
    chown "$sessionUid:$sessionGid" "$root/up"
fi
echo "bench: making the files in $work" >&2
"$client" gen "$root/big.bin" "$big"
"$client" gen "$root/mib.bin" $((1 << 20))
"$client" files "$root/small" "$smallFiles" 4096
"$client" files "$root/list" "$listEntries" 0

declare -A portOf pidOf userOf passOf forks version
servers=() tlsServers=()
# The server started last serves explicit FTPS: it moves from servers to tlsServers.
as_tls() { tlsServers+=("${servers[-1]}") && unset 'servers[-1]'; }

# start_server NAME PORT COMMAND...: runs the server, waits until it accepts connections and adds it
# to servers. With no PORT, the port is read from its "listening on port N" line.
start_server() {
    local name=$1 known=$2 log=$work/$1 wrapper
    shift 2
    "$client" reap "$log.pid" "$@" >"$log.out" 2>"$log.err" &
    wrapper=$!
    pids+=("$wrapper")
    for _ in $(seq 200); do
        if [ -s "$log.pid" ]; then
            port=$known
            [ -n "$port" ] || port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$log.err")
            if [ -n "$port" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
                portOf[$name]=$port pidOf[$name]=$(cat "$log.pid")
                userOf[$name]=${userOf[$name]:-$user} passOf[$name]=${passOf[$name]:-$password}
                servers+=("$name")
                return 0
            fi
        fi
        kill -0 "$wrapper" 2>/dev/null || break
        sleep 0.05
    done
    skipped[$name]="it did not start: $(tr '\n' ' ' <"$log.err" | cut -c1-200)"
    echo "bench: $name did not start:" >&2
    cat "$log.err" >&2
    return 1
}

# The peers that need a port chosen for them get ports below the kernel's range for outgoing
# connections, which no connection can take from them: a listening port each from FIRST up, and
# a passive range of 4000 ports each.
ephemeral=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range)
[ "$ephemeral" -gt 12000 ] || ephemeral=32768
free_port() { "$client" port "$1" | sed 's/^port=//'; }

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
start_server tarvelo "" env XDG_CONFIG_HOME="$work/config" "$build/tarvelo-ftpd" || exit 1
start_server tls-tarvelo "" env XDG_CONFIG_HOME="$work/config" "$build/tarvelo-ftpd" \
    --tls require --tls-certificate "$tls/cert.pem" --tls-key "$tls/key.pem" && as_tls

# peer_binary NAME: sets binary to the unpacked server and succeeds, or notes why it cannot run.
peer_binary() {
    binary=$peerDir/root/usr/sbin/$1
    if [ ! -x "$binary" ]; then
        skipped[$1]="not unpacked under $peerDir (the full run fetches it)"
    elif [ "$isRoot" != 1 ]; then
        skipped[$1]="its sessions switch to the account nobody and chroot, which takes root"
    elif ldd "$binary" | grep -q 'not found'; then
        skipped[$1]="missing libraries: $(ldd "$binary" | awk '/not found/ {print $1}' | tr '\n' ' ')"
    else
        return 0
    fi
    return 1
}
deb_version() { dpkg-deb -f "$peerDir/debs/${1}_"*.deb Version 2>/dev/null || echo '?'; }

if wanted vsftpd && peer_binary vsftpd; then
    # Debian's defaults but for what a private instance needs: its own port and passive range, an
    # anonymous account that may upload, no log files, and its empty folder for unprivileged steps.
    mkdir -p "$work/vsftpd/empty"
    vsftpdPort=$(free_port $((ephemeral - 8100)))
    # The anonymous account: its home folder is the chroot, so the namespace's passwd names ours.
    { grep -v '^ftp:' /etc/passwd; echo "ftp:x:$sessionUid:$sessionGid:bench:$root:/usr/sbin/nologin"; } >"$work/vsftpd/passwd"
    cat >"$work/vsftpd/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$vsftpdPort
background=NO
anonymous_enable=YES
no_anon_password=NO
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_world_readable_only=NO
ftp_username=ftp
nopriv_user=nobody
secure_chroot_dir=$work/vsftpd/empty
pasv_enable=YES
pasv_min_port=$((ephemeral - 8000))
pasv_max_port=$((ephemeral - 4001))
connect_from_port_20=NO
max_clients=0
max_per_ip=0
tcp_wrappers=NO
xferlog_enable=NO
dirmessage_enable=NO
EOF
    # Encrypted: anonymous sessions must use TLS on both connections; its default cipher list
    # (DES-CBC3-SHA) is refused by OpenSSL 3's defaults, so HIGH; session reuse required as it ships.
    vsftpdTlsPort=$(free_port $((ephemeral - 8150)))
    sed -e "s/^listen_port=.*/listen_port=$vsftpdTlsPort/" -e "s/^pasv_min_port=.*/pasv_min_port=$((ephemeral - 20000))/" \
        -e "s/^pasv_max_port=.*/pasv_max_port=$((ephemeral - 18001))/" "$work/vsftpd/vsftpd.conf" >"$work/vsftpd/tls.conf"
    cat >>"$work/vsftpd/tls.conf" <<EOF
ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
ssl_ciphers=HIGH
rsa_cert_file=$tls/cert.pem
rsa_private_key_file=$tls/key.pem
EOF
    userOf[vsftpd]=anonymous passOf[vsftpd]=bench@localhost forks[vsftpd]=1 version[vsftpd]=$(deb_version vsftpd)
    userOf[tls-vsftpd]=anonymous passOf[tls-vsftpd]=bench@localhost forks[tls-vsftpd]=1
    for conf in vsftpd tls; do
        name=vsftpd port=$vsftpdPort
        [ "$conf" = tls ] && name=tls-vsftpd port=$vsftpdTlsPort
        start_server "$name" "$port" unshare --mount sh -c 'mount --bind "$1" /etc/passwd && exec "$2" "$3"' \
            sh "$work/vsftpd/passwd" "$binary" "$work/vsftpd/$conf.conf" && { [ "$conf" != tls ] || as_tls; }
    done
fi

if wanted pure-ftpd && peer_binary pure-ftpd; then
    # A virtual user, chrooted ("/./") to the root folder. Its hash is SHA-512 crypt: pure-pw's own
    # default (argon2id) costs seconds of CPU per login here, which no deployment would keep.
    mkdir -p "$work/pure-ftpd"
    pureHash=$(openssl passwd -6 "$password")
    echo "$user:$pureHash:$sessionUid:$sessionGid::$root/./::::::::::::" >"$work/pure-ftpd/passwd"
    "$peerDir/root/usr/bin/pure-pw" mkdb "$work/pure-ftpd/pureftpd.pdb" -f "$work/pure-ftpd/passwd" >/dev/null
    purePort=$(free_port $((ephemeral - 8050)))
    pureTlsPort=$(free_port $((ephemeral - 8120)))
    forks[pure-ftpd]=1 forks[tls-pure-ftpd]=1 version[pure-ftpd]=$(deb_version pure-ftpd)
    pureOptions=(-l "puredb:$work/pure-ftpd/pureftpd.pdb" -E -A -H -c 2000 -C 2000 -f none)
    start_server pure-ftpd "$purePort" "$binary" -S "127.0.0.1,$purePort" -p "$((ephemeral - 4000)):$((ephemeral - 1))" \
        "${pureOptions[@]}" || true
    start_server tls-pure-ftpd "$pureTlsPort" "$binary" -S "127.0.0.1,$pureTlsPort" \
        -p "$((ephemeral - 22000)):$((ephemeral - 20001))" "${pureOptions[@]}" -Y 1 -2 "$tls/cert.pem,$tls/key.pem" && as_tls
fi

if wanted pyftpdlib; then
    python=""
    for candidate in python3 /usr/bin/python3; do
        if command -v "$candidate" >/dev/null && "$candidate" -c 'import pyftpdlib' 2>/dev/null; then
            python=$candidate
            break
        fi
    done
    if [ -n "$python" ]; then
        version[pyftpdlib]=$("$python" -c 'import pyftpdlib; print(pyftpdlib.__ver__)')
        start_server pyftpdlib "" "$python" "$bench/pyftpd.py" "$root" "$user" "$password" \
            "$((ephemeral - 12000)):$((ephemeral - 8201))" || true
        start_server tls-pyftpdlib "" "$python" "$bench/pyftpd.py" "$root" "$user" "$password" \
            "$((ephemeral - 24000)):$((ephemeral - 22001))" "$tls/cert.pem" "$tls/key.pem" && as_tls
    else
        skipped[pyftpdlib]="not installed (python3-pyftpdlib)"
    fi
fi
# No peer: the minimal responder serves only the clients-at-once session (bench/floor.c).
start_server floor "" "$build/bench-floor" "$root" "$((ephemeral - 16000)):$((ephemeral - 12001))" &&
    unset 'servers[-1]'
for p in "${!skipped[@]}"; do echo "bench: not measuring $p: ${skipped[$p]}" >&2; done

# ---- measuring -------------------------------------------------------------------------------------
declare -A runs # "<measure>/<server>" -> space-separated results, one per round
record() { runs[$1/$2]="${runs[$1/$2]:-} $3"; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p"; }
# The median of the numbers among the words read, or "-".
median() {
    awk '{for (i = 1; i <= NF; i++) if ($i ~ /^[0-9.]+$/) v[++n] = $i}
        END {
            for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
            if (n == 0) print "-"; else if (n % 2) print v[(n + 1) / 2]; else print (v[n / 2] + v[n / 2 + 1]) / 2
        }'
}
med() { echo "${runs[$1/$2]:-}" | median; }
least() { awk '{for (i = 1; i <= NF; i++) if ($i ~ /^[0-9.]+$/ && (m == "" || $i + 0 < m + 0)) m = $i} END {print m == "" ? "-" : m}'; }
peak_kib() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }
now_ns() { date +%s%N; }
per_gb() { awk -v s="$1" -v b="$2" 'BEGIN {printf "%.3f", s / (b / 1e9)}'; }

# ordered N NAME...: round N takes the servers named in turn starting from the Nth.
ordered() {
    local round=$1 i
    shift
    for ((i = 0; i < $#; i++)); do
        local at=$(((i + round - 1) % $# + 1))
        echo "${!at}"
    done
}
bulkTries=3
larger() { awk -v a="$1" -v b="$2" 'BEGIN {print (b + 0 > a + 0 ? b : a)}'; }

# One function a workload, each taking a server's name, with p, u, w and pid set to its port, user,
# password and process. Every round runs one workload on all servers before the next, so that what
# else the machine does at a moment weighs on all of them alike.
# RETR, STOR and the small files keep the best of a few runs in a row: a disturbance (another
# process, or the host taking the virtual machine's CPU) only ever slows one.
# bulk VERB MEASURE SERVER: the best rate of a few RETRs or STORs in a row, and their least CPU per GB.
bulk() {
    local best=0 cpu=""
    for _ in $(seq "$bulkTries"); do
        if [[ $1 == *retr ]]; then
            r=$("$client" "$1" "$p" "$u" "$w" big.bin "$pid")
        else
            sync # what earlier steps left to write does not compete with the upload
            r=$("$client" "$1" "$p" "$u" "$w" up/up.bin "$big" "$pid")
            rm -f "$root/up/up.bin"
        fi
        best=$(larger "$best" "$(echo "$r" | field mbps)")
        cpu+=" $(per_gb "$(echo "$r" | field server_cpu)" "$big")"
    done
    record "$2" "$3" "$best"
    record "${2}Cpu" "$3" "$(echo "$cpu" | least)"
}
measure_retr() { bulk retr retr "$1"; }
measure_stor() { bulk stor stor "$1"; }
measure_tlsRetr() { bulk tls-retr tlsRetr "$1"; }
measure_tlsStor() { bulk tls-stor tlsStor "$1"; }
measure_small() {
    local best=0
    for _ in $(seq "$bulkTries"); do
        r=$("$client" small "$p" "$u" "$w" small "$smallFiles")
        best=$(larger "$best" "$(echo "$r" | field filesps)")
    done
    record small "$1" "$best"
}
measure_login() {
    r=$("$client" login "$p" "$u" "$w" "$logins")
    record login "$1" "$(echo "$r" | field median_us)"
}
measure_tlsLogin() {
    r=$("$client" tls-login "$p" "$u" "$w" "$logins")
    record tlsLogin "$1" "$(echo "$r" | field median_us)"
}
measure_list() {
    r=$("$client" list "$p" "$u" "$w" list "$listRuns")
    record list "$1" "$(echo "$r" | field median_ms)"
}
measure_many() {
    local peak failures wall
    if [ -n "${forks[$1]:-}" ]; then
        r=$("$client" many "$p" "$u" "$w" "$clients" mib.bin "$pid" peak)
        peak=$(echo "$r" | field family_peak_kib)
    else
        echo 5 >"/proc/$pid/clear_refs" 2>/dev/null || true # VmHWM from here on
        r=$("$client" many "$p" "$u" "$w" "$clients" mib.bin "$pid")
        peak=$(peak_kib "$pid")
    fi
    failures=$(echo "$r" | field failures) wall=$(echo "$r" | field seconds)
    record manyTime "$1" "$wall"
    record manyFail "$1" "$failures"
    record manyNoConnection "$1" "$(echo "$r" | field no_connection)"
    record manyNoGreeting "$1" "$(echo "$r" | field no_greeting)"
    record manyNoLogin "$1" "$(echo "$r" | field no_login)"
    # A round's wall time counts against ours only where every client got through.
    record manyClean "$1" "$([ "$failures" = 0 ] && echo "$wall" || echo x)"
    record manyPeak "$1" "$(awk -v k="$peak" 'BEGIN {printf "%.1f", k / 1024}')"
    record manyServerCpu "$1" "$(echo "$r" | field server_cpu)"
    record manyClientCpu "$1" "$(echo "$r" | field client_cpu)"
    # The same run with the client's copy of the data left out: how far the client bounds the run.
    # Only for a server that let every client through: the others would wait out timeouts again.
    # "x" keeps the rounds in step where it was not run.
    if [ "$failures" = 0 ]; then
        r=$("$client" many "$p" "$u" "$w" "$clients" mib.bin "$pid" unread)
        local clean
        clean=$([ "$(echo "$r" | field failures)" = 0 ] && echo 1 || echo 0)
        record manyUnread "$1" "$([ "$clean" = 1 ] && echo "$r" | field seconds || echo x)"
        record manyUnreadClientCpu "$1" "$([ "$clean" = 1 ] && echo "$r" | field client_cpu || echo x)"
    else
        record manyUnread "$1" x
        record manyUnreadClientCpu "$1" x
    fi
}

for rep in $(seq "$reps"); do
    echo "bench: round $rep of $reps" >&2
    r=$("$client" probe-wire "$big")
    record wire client "$(echo "$r" | field mbps)"
    for workload in retr stor small login list many tlsRetr tlsStor tlsLogin; do
        taking=("${servers[@]}")
        [ "$workload" = many ] && [ -n "${portOf[floor]:-}" ] && taking+=(floor)
        [[ $workload == tls* ]] && taking=("${tlsServers[@]}")
        # An encrypted instance's results go under its server's name, in the FTPS rows.
        for s in $(ordered "$rep" "${taking[@]}"); do
            p=${portOf[$s]} u=${userOf[$s]} w=${passOf[$s]} pid=${pidOf[$s]}
            "measure_$workload" "${s#tls-}"
        done
    done
done

# ---- what idle clients cost: the idle limit is one timer per client, not a poll -------------------
idleSeconds=60
[ "$small" = 1 ] && idleSeconds=2
echo "bench: $clients idle clients for $idleSeconds s" >&2
r=$("$client" idle "${portOf[tarvelo]}" "${userOf[tarvelo]}" "${passOf[tarvelo]}" "$clients" "$idleSeconds" "${pidOf[tarvelo]}") || true
idleFail=$(echo "$r" | field failures) idleCpu=$(echo "$r" | field server_cpu_per_minute)
[ "${idleFail:-1}" = 0 ] || idleCpu=-

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
        # The encrypted file reaches the disk before the time is taken, as tarvelo-cry's does.
        t=$(now_ns); ossl -in "$work/cry/big/big.bin" -out "$work/o.cry" && sync "$work/o.cry"
        record encBig openssl "$(mbps "$cryBig" "$(seconds_since "$t")")"
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
# versus MEASURE max|min "PEERS": in each round, ours over the best of PEERS (the largest value with
# max, the smallest with min; values that are not numbers do not compete); prints the median of those
# ratios (to two places), the peer that was best in most rounds and the median unrounded, on which
# verdicts are taken (0.996 is shown as 1.00 but misses 1); or "- - -". A fourth argument takes
# another server for ours.
versus() {
    local list="" s
    for s in $3; do list+="$s=${runs[$1/$s]:-};"; done
    awk -v ours="${runs[$1/${4:-tarvelo}]:-}" -v peers="$list" -v best="$2" 'BEGIN {
        rounds = split(ours, o, " "); np = split(peers, p, ";"); k = 0
        for (r = 1; r <= rounds; r++) {
            b = ""; who = ""
            for (i = 1; i <= np; i++) {
                if (p[i] == "") continue
                split(p[i], nameValues, "="); split(nameValues[2], v, " "); x = v[r]
                if (x !~ /^[0-9.]+$/) continue
                if (b == "" || (best == "max" ? x + 0 > b + 0 : x + 0 < b + 0)) { b = x; who = nameValues[1] }
            }
            if (b == "" || b + 0 == 0 || o[r] !~ /^[0-9.]+$/) continue
            ratio[++k] = o[r] / b; wins[who]++
        }
        if (k == 0) { print "- - -"; exit }
        for (i = 2; i <= k; i++) for (j = i; j > 1 && ratio[j - 1] > ratio[j]; j--) { t = ratio[j]; ratio[j] = ratio[j - 1]; ratio[j - 1] = t }
        m = k % 2 ? ratio[(k + 1) / 2] : (ratio[k / 2] + ratio[k / 2 + 1]) / 2
        top = ""; for (w in wins) if (top == "" || wins[w] > wins[top]) top = w
        printf "%.2f %s %.6f\n", m, top, m
    }'
}
# verdict VALUE OP LIMIT: "yes" or "no" (or "-" when something is missing)
verdict() { awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN {if (v == "-" || l == "-") {print "-"; exit} ok = op == ">=" ? v >= l : op == "<=" ? v <= l : op == "<" ? v < l : v == l; print ok ? "yes" : "no"}'; }
sum() { echo "${runs[$1/$2]:-}" | awk '{for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+$/) { s += $i; n++ }} END {print n ? s : "-"}'; }
mib() { echo "$(($1 >> 20)) MiB"; }
peers=${servers[*]:1}
tlsPeers=$(for s in "${tlsServers[@]}"; do [ "$s" = tls-tarvelo ] || echo "${s#tls-}"; done | tr '\n' ' ')

# row LABEL MEASURE max|min PEERS TARGET-TEXT OP LIMIT: a table row whose verdict is on the ratio.
row() {
    local label=$1 measure=$2 best=$3 against=$4 target=$5 op=$6 limit=$7 cells="" p ratio who exact
    for p in "${allPeers[@]}"; do cells+=" $(med "$measure" "$p") |"; done
    read -r ratio who exact <<<"$(versus "$measure" "$best" "$against")"
    echo "| $label | $(med "$measure" tarvelo) |$cells $ratio | $who | $target | $(verdict "$exact" "$op" "$limit") |"
}
# own_row LABEL CELLS... TARGET-TEXT VERDICT: a row whose verdict is on our figure alone.
own_row() { echo "| $1 | $2 | $3 | $4 | $5 | | | $6 | $7 |"; }

failT=$(sum manyFail tarvelo) peakT=$(med manyPeak tarvelo)
commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')
git -C "$repo" diff --quiet HEAD -- . ':(exclude)bench' 2>/dev/null || commit+=" with uncommitted changes"

mkdir -p "$(dirname "$out")"
{
    echo "# Benchmark of tarvelo-ftpd and tarvelo-cry against their peers"
    echo
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit, $(nproc) cores ($(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)), kernel $(uname -r)."
    echo "Loopback, release build, one client program for all servers; rounds: $reps, the servers taking turns in each."
    echo "Sizes: RETR/STOR $(mib "$big"), $smallFiles files of 4 KiB, $clients clients, $logins logins, LIST of $listEntries entries, passes on $(mib "$cryBig") and $cryFiles files of 4 KiB."
    echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
    echo
    echo "Each ratio is ours over the best peer of the same round, the median over the rounds; \"best peer\" names the one that was best in most rounds."
    echo
    echo "| measure | tarvelo-ftpd | vsftpd | pure-ftpd | pyftpdlib | ours / best peer | best peer | target | met |"
    echo "|---|---:|---:|---:|---:|---:|---|---|---|"
    row "RETR $(mib "$big"), MB/s" retr max "$peers" ">= 1.1x best peer" ">=" 1.1
    row "STOR $(mib "$big"), MB/s" stor max "$peers" ">= 1.1x best peer" ">=" 1.1
    row "server CPU per GB, RETR, s" retrCpu min "$peers" "<= best peer" "<=" 1
    row "server CPU per GB, STOR, s" storCpu min "$peers" "<= best peer" "<=" 1
    row "$smallFiles x 4 KiB over one session, files/s" small max "$peers" ">= 1.2x best peer" ">=" 1.2
    row "login, connect to 230, median us" login min "pyftpdlib" "<= pyftpdlib" "<=" 1
    row "$clients clients at once, wall s" manyClean min "$peers" "<= 0.5x best peer" "<=" 0.5
    own_row "$clients clients at once, failures (all rounds)" "$failT" "$(sum manyFail vsftpd)" "$(sum manyFail pure-ftpd)" "$(sum manyFail pyftpdlib)" "0" "$(verdict "$failT" "==" 0)"
    own_row "$clients clients at once, server peak resident MiB" "$peakT" "$(med manyPeak vsftpd)" "$(med manyPeak pure-ftpd)" "$(med manyPeak pyftpdlib)" "< 64" "$(verdict "$peakT" "<" 64)"
    for m in "manyServerCpu:server CPU s" "manyClientCpu:the client's CPU s"; do
        IFS=: read -r measure label <<<"$m"
        own_row "$clients clients at once, $label" "$(med "$measure" tarvelo)" "$(med "$measure" vsftpd)" "$(med "$measure" pure-ftpd)" "$(med "$measure" pyftpdlib)" "" ""
    done
    row "$clients clients at once, the client not copying the data, wall s" manyUnread min "$peers" "none: shows the client's share" "<=" -
    own_row "$clients clients at once, not copying, the client's CPU s" "$(med manyUnreadClientCpu tarvelo)" "$(med manyUnreadClientCpu vsftpd)" "$(med manyUnreadClientCpu pure-ftpd)" "$(med manyUnreadClientCpu pyftpdlib)" "" ""
    row "FTPS RETR $(mib "$big"), MB/s" tlsRetr max "$tlsPeers" ">= 1.1x best peer" ">=" 1.1
    row "FTPS STOR $(mib "$big"), MB/s" tlsStor max "$tlsPeers" ">= 1.1x best peer" ">=" 1.1
    row "server CPU per GB, FTPS RETR, s" tlsRetrCpu min "$tlsPeers" "<= best peer" "<=" 1
    row "server CPU per GB, FTPS STOR, s" tlsStorCpu min "$tlsPeers" "<= best peer" "<=" 1
    row "FTPS login, connect to 230 with AUTH TLS, median us" tlsLogin min "$tlsPeers" "<= best peer" "<=" 1
    own_row "$clients logged-in clients idle for $idleSeconds s, server CPU s per minute" "$idleCpu" "" "" "" "< 0.1" "$(verdict "$idleCpu" "<" 0.1)"
    own_row "LIST of $listEntries entries, median ms" "$(med list tarvelo)" "$(med list vsftpd)" "$(med list pure-ftpd)" "$(med list pyftpdlib)" "< 50" "$(verdict "$(med list tarvelo)" "<" 50)"
    echo
    echo "| secure folder | tarvelo-cry | openssl enc | ours / openssl | target | met |"
    echo "|---|---:|---:|---:|---|---|"
    for m in "encBig:encrypt $(mib "$cryBig"), MB/s:1" "decBig:decrypt $(mib "$cryBig"), MB/s:1" \
        "encSmall:encrypt $cryFiles x 4 KiB, files/s:5" "decSmall:decrypt $cryFiles x 4 KiB, files/s:5"; do
        IFS=: read -r measure label limit <<<"$m"
        read -r ratio _ exact <<<"$(versus "$measure" max openssl)"
        echo "| $label | $(med "$measure" tarvelo) | $(med "$measure" openssl) | $ratio | >= ${limit}.0x openssl | $(verdict "$exact" ">=" "$limit") |"
    done
    echo
    echo "How the servers ran, all from the same root folder: tarvelo-ftpd and pyftpdlib as $(id -un), the sessions of vsftpd and pure-ftpd as nobody."
    for p in "${allPeers[@]}"; do
        if [ -n "${portOf[$p]:-}" ]; then
            case $p in
            vsftpd) echo "- vsftpd ${version[$p]} (Debian's .deb, unpacked): anonymous login chrooted to the root folder, Debian's defaults otherwise (seccomp sandbox, isolated sessions, a process pair per session)." ;;
            pure-ftpd) echo "- pure-ftpd ${version[$p]} (Debian's .deb, unpacked): a virtual user from a puredb file with a SHA-512 crypt hash, chrooted; -c 2000 -C 2000 so that all clients are let in, a process pair per session." ;;
            pyftpdlib) echo "- pyftpdlib ${version[$p]} (python3-pyftpdlib): bench/pyftpd.py, one process, sendfile for RETR as it ships, a passive port range as the other peers have." ;;
            esac
        else
            echo "- $p: not measured, ${skipped[$p]:-not asked for (BENCH_PEERS)}."
        fi
    done
    echo "FTPS rows: a second instance of each server with TLS required on the control and data connections, one ECDSA P-256"
    echo "certificate for all; the client sends AUTH TLS before USER, PBSZ 0 and PROT P after, and resumes the control connection's"
    echo "TLS session on each data connection, as curl does. tarvelo-ftpd: --tls require. vsftpd: ssl_enable, allow_anon_ssl, forced"
    echo "TLS for anonymous logins and data, ssl_ciphers=HIGH (its default, DES-CBC3-SHA, is refused by OpenSSL 3). pure-ftpd: -Y 1 with"
    echo "the certificate (-2). pyftpdlib: TLS_FTPHandler (python3-openssl), TLS required."
    for p in "${allPeers[@]}"; do
        [ -n "${portOf[tls-$p]:-}" ] || [ -z "${portOf[$p]:-}" ] ||
            echo "- $p over FTPS: not measured, ${skipped[tls-$p]:-not asked for}."
    done
    [ -n "${portOf[tls-tarvelo]:-}" ] || echo "- tarvelo-ftpd over FTPS: not measured, ${skipped[tls-tarvelo]:-?}."
    echo
    echo "RETR and STOR: the best of $bulkTries transfers in a row, for the rate and for the CPU apart. Small files: the best of $bulkTries sessions in a row."
    echo "Server CPU: user and system seconds of the server's process and all its descendants between the PASV and the 226 reply"
    echo "(each process's CPU clock, to the nanosecond, and the clock ticks of what reaped children used), per 10^9 bytes moved. Peak resident: for tarvelo-ftpd and pyftpdlib the"
    echo "process's high-water mark from the start of the clients run; for vsftpd and pure-ftpd the largest sum over all their"
    echo "processes in samples 100 ms apart (pages they share are counted once per process). A round in which a peer failed any"
    echo "client does not count that peer's wall time. With $clients clients at once, the server's CPU (its processes, as above) and the"
    echo "client's own are those of the whole run: while both keep every core busy, the wall time is their sum over the $(nproc) cores."
    echo "\"Not copying\": the same run again, right after, with the client dropping the data its kernel received (recv with MSG_TRUNC) instead of"
    echo "copying it out; the server's work is the same, the client's CPU less. Run for the servers that let every client through in that round."
    echo "openssl enc is \`openssl enc -aes-256-cbc -pbkdf2 -nosalt -iter 8000 -md sha512\`,"
    echo "its encryption of the large file timed up to a \`sync\` of its output file; the small files take one openssl process each."
    for s in "${servers[@]}"; do
        failed=$(sum manyFail "$s")
        [ "$failed" != 0 ] || continue
        echo "$s failed $failed clients in all: $(sum manyNoConnection "$s") could not connect, $(sum manyNoGreeting "$s") had no 220 greeting within the client's 60 s timeout, $(sum manyNoLogin "$s") no 230 reply, the others failed later in the session."
    done
    echo "The client itself: $(med wire client) MB/s over loopback with no server between (1 MiB sends and receives)."
    if [ -n "${portOf[floor]:-}" ]; then
        read -r ratio _ <<<"$(versus manyClean min "$peers" floor)"
        echo "A floor for the $clients clients at once: bench/floor.c, a minimal responder with one epoll loop per core that knows only that"
        echo "session's commands (no account, path rules, limits or monitor), took $(med manyClean floor) s with $(med manyServerCpu floor) s of CPU, $ratio of the best peer;"
        echo "tarvelo-ftpd took $(med manyClean tarvelo) s with $(med manyServerCpu tarvelo) s. Its failures: $(sum manyFail floor)."
    fi
    echo
    echo "All rounds: $(for k in "${!runs[@]}"; do echo "$k:${runs[$k]}"; done | sort | tr '\n' ';')"
} >"$out"
cat "$out"
echo "bench: report written to $out" >&2
