#!/usr/bin/env bash
# bench/compare.sh: serves one document directory from quillfen, nginx and
# lighttpd on loopback and loads them with wrk in the same run, alternating
# the servers for each workload so that a busy machine hurts all alike.
# The HTTPS rows compare the three with the same ECDSA P-256 certificate:
# a new TLS connection (1.3, as wrk offers it) per request.
# Every server keeps connections open (5 s); the rows named KA_ let wrk keep
# its connections, every other row asks for a new one per request
# (Connection: close), which each server honours. quillfen trusts a file
# look-up for 1 s (file_cache 1, as its sample configuration sets).
#
# Usage: bench/compare.sh            (from anywhere in the repository)
# Environment:
#   BENCH_DURATION  seconds per wrk run (default 5, at most 60)
#   BENCH_ROUNDS    rounds of every workload, the table shows the median and,
#                   below it, the lowest and highest (default 1, at most 9)
#   QUILLFEN        a quillfen binary to use instead of building build-bench/
#   BENCH_ONLY      a regular expression: only the workloads whose names match
#                   it run (e.g. 'TLS_1KiB' or '1KiB_c=16$'); default all
#   BENCH_OUT       where the raw wrk outputs and runs.txt, the figures of every
#                   run, are kept (default build-bench/bench-results)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

duration=${BENCH_DURATION:-5}
if ! [[ "$duration" =~ ^[0-9]+$ ]] || [ "$duration" -lt 1 ] || [ "$duration" -gt 60 ]; then
    echo "BENCH_DURATION must be 1..60 seconds" >&2
    exit 2
fi
rounds=${BENCH_ROUNDS:-1}
if ! [[ "$rounds" =~ ^[1-9]$ ]]; then
    echo "BENCH_ROUNDS must be 1..9" >&2
    exit 2
fi
small_conc=(1 16 64 256)
mem_conc=64   # the 1 KiB run during which each server's memory is sampled
big_conc=(1 4)
big_size=$((100 * 1024 * 1024))
tls_small_conc=(16 64)
tls_big_conc=(1)
ka_conc=(16 64 256)

# --- what the benchmark needs, installed only when missing ------------------
packages=(wrk nginx lighttpd lighttpd-mod-openssl curl python3 g++ cmake make openssl libssl-dev libsystemd-dev)
scripts/install-packages.sh "${packages[@]}"
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
lighttpd_bin=$(command -v lighttpd || echo /usr/sbin/lighttpd)

# --- an optimised quillfen --------------------------------------------------
source bench/common.sh
build_quillfen
out_dir=${BENCH_OUT:-$repo/build-bench/bench-results}
mkdir -p "$out_dir"

# --- the servers, stopped whatever happens -----------------------------------
start_work quillfen-bench

docroot=$work/docroot
make_docroot "$docroot"
head -c "$big_size" /dev/urandom >"$docroot/big.bin"
chmod 644 "$docroot"/*.bin

make_tls_cert
qf_port=$(free_port)
qf_tls_port=$(free_port)
start_quillfen "$qf_port" "$docroot" -ssl_cert "$work/server.pem" \
    -ports "127.0.0.1:$qf_port,127.0.0.1:${qf_tls_port}s" -keep_alive 5 -file_cache 1
nginx_port=$(free_port)
nginx_tls_port=$(free_port)
NGINX_KEEPALIVE=5 start_nginx "$nginx_port" "$docroot" 1024 "" "$(nginx_tls_server "$nginx_tls_port" "$docroot")"

lighttpd_port=$(free_port)
lighttpd_tls_port=$(free_port)
# Connections kept 5 s, like the others; no access log; the kernel sends the
# files; HTTPS on a second port.
cat >"$work/lighttpd.conf" <<EOF
server.document-root = "$docroot"
server.bind = "127.0.0.1"
server.port = $lighttpd_port
server.errorlog = "$work/lighttpd.error.log"
server.max-keep-alive-requests = 1000
server.max-keep-alive-idle = 5
server.network-backend = "sendfile"
server.modules += ( "mod_openssl" )
\$SERVER["socket"] == "127.0.0.1:$lighttpd_tls_port" {
    ssl.engine = "enable"
    ssl.pemfile = "$work/server.pem"
}
EOF
"$lighttpd_bin" -D -f "$work/lighttpd.conf" >"$work/lighttpd.out" 2>&1 &
lighttpd_pid=$!

wait_ready quillfen "$qf_port" "$qf_pid" small.bin
wait_ready nginx "$nginx_port" "$nginx_pid" small.bin
wait_ready lighttpd "$lighttpd_port" "$lighttpd_pid" small.bin
check_same_bytes "$docroot" "small.bin big.bin" "$qf_port" "$nginx_port" "$lighttpd_port"
for port in "$qf_tls_port" "$nginx_tls_port" "$lighttpd_tls_port"; do
    if [ "$(curl -sfk "https://127.0.0.1:$port/small.bin" | sha256sum)" != \
         "$(sha256sum <"$docroot/small.bin")" ]; then
        echo "port $port serves a different small.bin over TLS" >&2
        exit 1
    fi
done

# --- measuring -----------------------------------------------------------------
# wrk's numbers: requests/s, p99 in ms, transfer in MiB/s, socket errors,
# non-2xx, requests completed.
parse_wrk() {
    python3 - "$1" <<'EOF'
import re, sys
text = open(sys.argv[1]).read()
def num(pattern, default=0.0):
    m = re.search(pattern, text)
    return m.group(1) if m else default
def to_ms(s):
    m = re.match(r'([\d.]+)(us|ms|s|m)$', s)
    if not m: return float('nan')
    return float(m.group(1)) * {'us': 0.001, 'ms': 1.0, 's': 1000.0, 'm': 60000.0}[m.group(2)]
def to_mib(s):
    m = re.match(r'([\d.]+)(B|KB|MB|GB|TB)$', s)
    if not m: return float('nan')
    return float(m.group(1)) * {'B': 1/1048576, 'KB': 1/1024, 'MB': 1, 'GB': 1024, 'TB': 1048576}[m.group(2)]
rps = float(num(r'Requests/sec:\s*([\d.]+)', 'nan'))
p99 = to_ms(num(r'\n\s*99%\s+(\S+)', ''))
mib = to_mib(num(r'Transfer/sec:\s*(\S+)', ''))
m = re.search(r'Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)', text)
sock = sum(int(x) for x in m.groups()) if m else 0
non2xx = int(num(r'Non-2xx or 3xx responses:\s*(\d+)', 0))
requests = int(num(r'(\d+) requests in', 0))
print(f"{rps:.1f} {p99:.3f} {mib:.1f} {sock} {non2xx} {requests}")
EOF
}

# One wrk run while bench/procstat.py watches the server's processes: their
# summed VmRSS every 50 ms (the peak is kept), their VmHWM at the end, and
# the CPU time and context switches of all their threads over the run.
# Appends one line to $runs: workload server round, wrk's numbers, peak
# RSS and summed HWM (KiB), CPU time (us) and context switches.
run_wrk() {   # workload server port path conc timeout round pid [scheme]
    local workload=$1 server=$2 port=$3 path=$4 conc=$5 tmo=$6 round=$7 pid=$8 scheme=${9:-http}
    local threads=$((conc < 2 ? conc : 2)) close=(-H 'Connection: close')
    [[ "$workload" == KA_* ]] && close=()
    local raw="$out_dir/${server}_${scheme}_${path%.bin}_c${conc}_r${round}.txt"
    local stopfile="$work/stop-sampling" readyfile="$work/sampling" sampler
    rm -f "$stopfile" "$readyfile"
    python3 bench/procstat.py sample "$pid" "$stopfile" "$readyfile" >"$work/sample.out" &
    sampler=$!
    for _ in $(seq 100); do
        [ -e "$readyfile" ] && break
        sleep 0.05
    done
    wrk -t"$threads" -c"$conc" -d"${duration}s" --timeout "${tmo}s" --latency \
        "${close[@]}" "$scheme://127.0.0.1:$port/$path" >"$raw" 2>&1 || true
    touch "$stopfile"
    wait "$sampler" || true
    echo "$workload $server $round $(parse_wrk "$raw") $(cat "$work/sample.out")" >>"$runs"
}

servers=(quillfen nginx lighttpd)
declare -A port_of=([quillfen]=$qf_port [nginx]=$nginx_port [lighttpd]=$lighttpd_port)
declare -A pid_of=([quillfen]=$qf_pid [nginx]=$nginx_pid [lighttpd]=$lighttpd_pid)
declare -A tls_port_of=([quillfen]=$qf_tls_port [nginx]=$nginx_tls_port [lighttpd]=$lighttpd_tls_port)
runs=$out_dir/runs.txt
: >"$runs"

# One workload: every round runs the servers one after the other.
measure() {   # workload path conc timeout [scheme]
    local r s scheme=${5:-http} map=port_of
    [ "$scheme" = https ] && map=tls_port_of
    local -n ports=$map
    [[ "$1" =~ ${BENCH_ONLY:-.} ]] || return 0
    for r in $(seq "$rounds"); do
        for s in "${servers[@]}"; do
            run_wrk "$1" "$s" "${ports[$s]}" "$2" "$3" "$4" "$r" "${pid_of[$s]}" "$scheme"
        done
    done
}

# name prefix, file, the arrays of concurrencies, extra seconds of timeout,
# scheme, and what the progress line says
workloads=(
    "1KiB small.bin small_conc 5 http 1 KiB file"
    "100MiB big.bin big_conc 30 http 100 MiB file"
    "TLS_1KiB small.bin tls_small_conc 5 https HTTPS, 1 KiB file"
    "TLS_100MiB big.bin tls_big_conc 30 https HTTPS, 100 MiB file"
    "KA_1KiB small.bin ka_conc 5 http kept connections, 1 KiB file"
    "KA_TLS_1KiB small.bin ka_conc 5 https kept connections, HTTPS, 1 KiB file"
)
for w in "${workloads[@]}"; do
    read -r prefix file conc_var timeout scheme label <<<"$w"
    declare -n concs="$conc_var"
    for c in "${concs[@]}"; do
        echo "$label, concurrency $c ..." >&2
        measure "${prefix}_c=$c" "$file" "$c" "$timeout" "$scheme"
    done
    unset -n concs
done

echo
echo "quillfen vs nginx $("$nginx_bin" -v 2>&1 | sed 's/.*\///') and lighttpd" \
     "$("$lighttpd_bin" -v 2>&1 | sed -n 's/^lighttpd\/\([^ ]*\).*/\1/p'), loopback, ${duration} s per run," \
     "$(nproc) cores, wrk -H 'Connection: close' but in the KA_ rows (threads = min(2, connections))," \
     "median of $rounds round(s)"
python3 - "$runs" "$mem_conc" "$rounds" <<'EOF'
import collections, math, statistics, sys
runs_file, mem_conc, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
servers = ("quillfen", "nginx", "lighttpd")
runs = collections.defaultdict(list)   # (workload, server) -> [run]
workloads = []
for line in open(runs_file):
    w = line.split()
    if len(w) != 13:
        continue
    workload, server = w[0], w[1]
    rps, p99, mib, sock, bad, reqs, rss, hwm, cpu, ctx = map(float, w[3:])
    runs[workload, server].append({
        "req/s": rps, "p99 ms": p99, "MiB/s": mib, "sock": sock, "bad": bad,
        "rss": rss, "hwm": hwm,
        "CPU us/req": cpu / reqs if reqs else math.nan,
        "ctxsw/req": ctx / reqs if reqs else math.nan,
    })
    if workload not in workloads:
        workloads.append(workload)

fmt = "%-13s %-10s %11s %11s %11s %6s %6s %9s %9s"
def ratio(a, b):
    return "%.2f" % (a / b) if b > 0 and not math.isnan(a) else "n/a"
def row(label, metric, values, errors=("", "")):
    cells = (f"{v:.{digits[metric]}f}" for v in values)
    print(fmt % (label, metric, *cells, ratio(values[0], values[1]), ratio(values[0], values[2]),
                 *errors))

digits = {"req/s": 1, "p99 ms": 3, "MiB/s": 1, "CPU us/req": 1, "ctxsw/req": 2,
          "peak RSS": 1, "sum HWM": 1}
spread_digits = {"req/s": 0, "p99 ms": 2, "MiB/s": 0, "CPU us/req": 1, "ctxsw/req": 2}

def metric_rows(label, workload, metric, errors=False):
    sets = [[r[metric] for r in runs[workload, s]] or [math.nan] for s in servers]
    errs = ("", "")
    if errors:
        errs = tuple("/".join("%.0f" % sum(r[k] for r in runs[workload, s]) for s in servers)
                     for k in ("sock", "bad"))
    row(label, metric, [statistics.median(v) for v in sets], errs)
    if rounds > 1:
        d = spread_digits[metric]
        print(fmt % ("", " min-max", *(f"{min(v):.{d}f}-{max(v):.{d}f}" for v in sets),
                     "", "", "", ""))

print(fmt % ("workload", "metric", "quillfen", "nginx", "lighttpd", "q/n", "q/l",
             "sockerr", "non2xx"))
mem_rows = []
for workload in workloads:
    label = workload.replace("_", " ")
    if "1KiB" in workload:
        metric_rows(label, workload, "req/s", errors=True)
        for metric in ("p99 ms", "CPU us/req", "ctxsw/req"):
            metric_rows(label, workload, metric)
        if workload == f"1KiB_c={mem_conc}":
            for key, metric in (("rss", "peak RSS"), ("hwm", "sum HWM")):
                mem_rows.append((label, metric,
                                 [max(r[key] for r in runs[workload, s]) / 1024 for s in servers]))
    else:
        metric_rows(label, workload, "MiB/s", errors=True)
for label, metric, values in mem_rows:
    row(label, metric, values)
EOF
echo "sockerr, non2xx: wrk's socket errors and non-2xx/3xx answers, quillfen/nginx/lighttpd."
echo "CPU us/req: utime + stime of all the server's processes and threads over the run,"
echo "divided by the requests wrk completed; ctxsw/req: their voluntary + involuntary"
echo "context switches over the run, likewise. q/n and q/l above 1 are better for quillfen"
echo "in req/s and MiB/s, worse in every other row."
if [ "$rounds" -gt 1 ]; then
    echo "min-max: the lowest and highest of the $rounds rounds."
fi
echo "Memory in MiB during the 1 KiB c=$mem_conc run: peak of the VmRSS summed over the"
echo "server's processes (sampled every 50 ms), and the sum of their VmHWM at its end;"
echo "the largest of the rounds."
echo "raw wrk outputs and the figures of every run: $out_dir"
