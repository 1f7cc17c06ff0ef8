#!/usr/bin/env bash
# bench/compare.sh: serves one document directory from quillfen, nginx and
# lighttpd on loopback and loads them with wrk in the same run, alternating
# the servers for each workload so that a busy machine hurts all alike.
#
# Usage: bench/compare.sh            (from anywhere in the repository)
# Environment:
#   BENCH_DURATION  seconds per wrk run (default 5, at most 60)
#   BENCH_ROUNDS    rounds of every workload, the table shows the median
#                   (default 1, at most 9); more rounds steady a busy machine
#   QUILLFEN        a quillfen binary to use instead of building build-bench/
#   BENCH_OUT       where the raw wrk outputs are kept (default build-bench/bench-results)
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

# --- what the benchmark needs, installed only when missing ------------------
packages=(wrk nginx lighttpd curl python3 g++ cmake make)
scripts/install-packages.sh "${packages[@]}"
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
lighttpd_bin=$(command -v lighttpd || echo /usr/sbin/lighttpd)

# --- an optimised quillfen --------------------------------------------------
if [ -n "${QUILLFEN:-}" ]; then
    quillfen=$QUILLFEN
else
    echo "Building quillfen (Release) in build-bench/"
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQF_TESTS=OFF >/dev/null
    cmake --build build-bench --target quillfen -j"$(nproc)" >/dev/null
    quillfen=$repo/build-bench/quillfen
fi
out_dir=${BENCH_OUT:-$repo/build-bench/bench-results}
mkdir -p "$out_dir"

# --- the servers, stopped whatever happens -----------------------------------
work=$(mktemp -d /tmp/quillfen-bench.XXXXXX)
qf_pid=""
nginx_pid=""
lighttpd_pid=""

stop_pid() {   # pid signal seconds: signal one process of ours and wait for it
    local pid=$1 sig=$2 secs=$3
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    kill "-$sig" "$pid" 2>/dev/null || true
    for _ in $(seq $((secs * 10))); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    echo "pid $pid did not end on SIG$sig; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
}

cleanup() {
    # quillfen lets its idle workers time out before it exits (about 11 s).
    stop_pid "$nginx_pid" QUIT 10
    stop_pid "$lighttpd_pid" TERM 10
    stop_pid "$qf_pid" TERM 30
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# nginx's workers drop root for nobody, so everything they serve is world-readable.
docroot=$work/docroot
mkdir -p "$docroot" "$work/nginx/tmp" "$work/product"
chmod 755 "$work" "$docroot"
head -c 1024 /dev/urandom >"$docroot/small.bin"
head -c "$big_size" /dev/urandom >"$docroot/big.bin"
chmod 644 "$docroot"/*.bin

# quillfen always runs its control panel too, which wants a product
# directory of its own: the demo's data files serve, and nothing is started.
cp -r demo/product/. "$work/product/"

qf_port=$(free_port)
DREVANTA_BIN="$work/product/" "$quillfen" -root "$docroot" -ports "$qf_port" \
    >"$work/quillfen.out" 2>"$work/quillfen.err" &
qf_pid=$!

nginx_port=$(free_port)
cat >"$work/nginx.conf" <<EOF
worker_processes $(nproc);
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
daemon off;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    keepalive_timeout 0;
    default_type application/octet-stream;
    client_body_temp_path $work/nginx/tmp/body;
    proxy_temp_path $work/nginx/tmp/proxy;
    fastcgi_temp_path $work/nginx/tmp/fastcgi;
    uwsgi_temp_path $work/nginx/tmp/uwsgi;
    scgi_temp_path $work/nginx/tmp/scgi;
    server {
        listen 127.0.0.1:$nginx_port;
        root $docroot;
    }
}
EOF
"$nginx_bin" -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx.conf" \
    >"$work/nginx.out" 2>&1 &
nginx_pid=$!

lighttpd_port=$(free_port)
# One request per connection, like the others; no access log; the kernel
# sends the files.
cat >"$work/lighttpd.conf" <<EOF
server.document-root = "$docroot"
server.bind = "127.0.0.1"
server.port = $lighttpd_port
server.errorlog = "$work/lighttpd.error.log"
server.max-keep-alive-requests = 0
server.network-backend = "sendfile"
EOF
"$lighttpd_bin" -D -f "$work/lighttpd.conf" >"$work/lighttpd.out" 2>&1 &
lighttpd_pid=$!

wait_ready() {   # name port pid
    for _ in $(seq 150); do
        if ! kill -0 "$3" 2>/dev/null; then
            echo "$1 ended at start-up:" >&2
            cat "$work"/"$1"* >&2 2>/dev/null || true
            exit 1
        fi
        curl -sf -o /dev/null "http://127.0.0.1:$2/small.bin" && return 0
        sleep 0.1
    done
    echo "$1 does not answer on port $2 after 15 s" >&2
    exit 1
}
wait_ready quillfen "$qf_port" "$qf_pid"
wait_ready nginx "$nginx_port" "$nginx_pid"
wait_ready lighttpd "$lighttpd_port" "$lighttpd_pid"

# All must serve the very same bytes, or the comparison means nothing.
for f in small.bin big.bin; do
    want=$(sha256sum <"$docroot/$f")
    for port in "$qf_port" "$nginx_port" "$lighttpd_port"; do
        got=$(curl -sf "http://127.0.0.1:$port/$f" | sha256sum)
        if [ "$got" != "$want" ]; then
            echo "port $port serves a different $f" >&2
            exit 1
        fi
    done
done

# --- measuring -----------------------------------------------------------------
# wrk's numbers: requests/s, p99 in ms, transfer in MiB/s, socket errors, non-2xx.
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
print(f"{rps:.1f} {p99:.3f} {mib:.1f} {sock} {non2xx}")
EOF
}

run_wrk() {   # server port path conc timeout round -> prints parsed numbers
    local server=$1 port=$2 path=$3 conc=$4 tmo=$5
    local threads=$((conc < 2 ? conc : 2))
    local raw="$out_dir/${server}_${path%.bin}_c${conc}_r$6.txt"
    wrk -t"$threads" -c"$conc" -d"${duration}s" --timeout "${tmo}s" --latency \
        -H 'Connection: close' "http://127.0.0.1:$port/$path" >"$raw" 2>&1 || true
    parse_wrk "$raw"
}

# Peak resident memory of a server: every 50 ms the VmRSS of its processes
# (the given pid and all its descendants: nginx's master and workers) is
# summed until the file $2 appears; then the largest sum and the sum of the
# processes' VmHWM (each one's own peak since its start) are printed, in KiB.
sample_rss() {   # pid stopfile
    python3 - "$1" "$2" <<'EOF'
import os, sys, time
root, stop = int(sys.argv[1]), sys.argv[2]
def family(pid):
    out = [pid]
    try:
        for tid in os.listdir(f'/proc/{pid}/task'):
            with open(f'/proc/{pid}/task/{tid}/children') as f:
                for child in f.read().split():
                    out += family(int(child))
    except OSError:
        pass
    return out
def field(pid, name):
    try:
        with open(f'/proc/{pid}/status') as f:
            for line in f:
                if line.startswith(name + ':'):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0
peak = 0
while not os.path.exists(stop):
    peak = max(peak, sum(field(p, 'VmRSS') for p in family(root)))
    time.sleep(0.05)
print(peak, sum(field(p, 'VmHWM') for p in family(root)))
EOF
}

# run_wrk while sample_rss watches pid: the parsed numbers, then peak RSS
# and summed HWM.
run_wrk_mem() {   # server port path conc timeout round pid
    local stopfile="$work/stop-sampling.$1" nums
    rm -f "$stopfile"
    sample_rss "$7" "$stopfile" >"$work/rss.$1" &
    local sampler=$!
    nums=$(run_wrk "$1" "$2" "$3" "$4" "$5" "$6")
    touch "$stopfile"
    wait "$sampler"
    echo "$nums $(cat "$work/rss.$1")"
}

servers=(quillfen nginx lighttpd)
declare -A port_of=([quillfen]=$qf_port [nginx]=$nginx_port [lighttpd]=$lighttpd_port)
declare -A pid_of=([quillfen]=$qf_pid [nginx]=$nginx_pid [lighttpd]=$lighttpd_pid)

# One workload: every round runs the servers one after the other. Prints a
# line per server: the medians of req/s, p99 and MiB/s, the socket errors
# and non-2xx answers of all rounds, and (with mem 1) the largest peak RSS
# and summed HWM, in KiB.
measure() {   # path conc timeout mem
    local r s
    for r in $(seq "$rounds"); do
        for s in "${servers[@]}"; do
            if [ "$4" -eq 1 ]; then
                run_wrk_mem "$s" "${port_of[$s]}" "$1" "$2" "$3" "$r" "${pid_of[$s]}"
            else
                echo "$(run_wrk "$s" "${port_of[$s]}" "$1" "$2" "$3" "$r") 0 0"
            fi >>"$work/results.$s"
        done
    done
    for s in "${servers[@]}"; do
        python3 - "$work/results.$s" <<'EOF'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1]) if line.strip()]
col = lambda i: [float(r[i]) for r in rows]
med = lambda i: statistics.median(col(i))
print(f"{med(0):.1f} {med(1):.3f} {med(2):.1f} {sum(col(3)):.0f} {sum(col(4)):.0f} "
      f"{max(col(5)):.0f} {max(col(6)):.0f}")
EOF
        rm -f "$work/results.$s"
    done
}

ratio() {
    python3 -c "import sys,math; a,b=float(sys.argv[1]),float(sys.argv[2]); print('%.2f' % (a/b) if b > 0 and not math.isnan(a) else 'n/a')" "$1" "$2"
}

mib() {   # KiB -> MiB with one decimal
    python3 -c "import sys; print('%.1f' % (int(sys.argv[1]) / 1024))" "$1"
}

row_format='%-13s %-8s %10s %10s %10s %6s %6s %9s %9s\n'
row() {   # workload metric quillfen nginx lighttpd [sockerr non2xx]
    printf "$row_format" "$1" "$2" "$3" "$4" "$5" "$(ratio "$3" "$4")" "$(ratio "$3" "$5")" \
        "${6:-}" "${7:-}"
}

rows=()
mem_rows=()
for c in "${small_conc[@]}"; do
    echo "1 KiB file, concurrency $c ..." >&2
    mem=$([ "$c" -eq "$mem_conc" ] && echo 1 || echo 0)
    { read -r q_rps q_p99 _ q_sock q_bad q_rss q_hwm
      read -r n_rps n_p99 _ n_sock n_bad n_rss n_hwm
      read -r l_rps l_p99 _ l_sock l_bad l_rss l_hwm; } < <(measure small.bin "$c" 5 "$mem")
    if [ "$mem" -eq 1 ]; then
        mem_rows+=("$(row "1KiB c=$c" "peak RSS" "$(mib "$q_rss")" "$(mib "$n_rss")" "$(mib "$l_rss")")")
        mem_rows+=("$(row "1KiB c=$c" "sum HWM" "$(mib "$q_hwm")" "$(mib "$n_hwm")" "$(mib "$l_hwm")")")
    fi
    rows+=("$(row "1KiB c=$c" "req/s" "$q_rps" "$n_rps" "$l_rps" \
        "$q_sock/$n_sock/$l_sock" "$q_bad/$n_bad/$l_bad")")
    rows+=("$(row "1KiB c=$c" "p99 ms" "$q_p99" "$n_p99" "$l_p99")")
done
for c in "${big_conc[@]}"; do
    echo "100 MiB file, concurrency $c ..." >&2
    { read -r _ _ q_mib q_sock q_bad _
      read -r _ _ n_mib n_sock n_bad _
      read -r _ _ l_mib l_sock l_bad _; } < <(measure big.bin "$c" 30 0)
    rows+=("$(row "100MiB c=$c" "MiB/s" "$q_mib" "$n_mib" "$l_mib" \
        "$q_sock/$n_sock/$l_sock" "$q_bad/$n_bad/$l_bad")")
done
rows+=("${mem_rows[@]}")

echo
echo "quillfen vs nginx $("$nginx_bin" -v 2>&1 | sed 's/.*\///') and lighttpd" \
     "$("$lighttpd_bin" -v 2>&1 | sed -n 's/^lighttpd\/\([^ ]*\).*/\1/p'), loopback, ${duration} s per run," \
     "$(nproc) cores, wrk -H 'Connection: close' (threads = min(2, connections))," \
     "median of $rounds round(s)"
printf "$row_format" "workload" "metric" "quillfen" "nginx" "lighttpd" "q/n" "q/l" \
    "sockerr" "non2xx"
printf '%s\n' "${rows[@]}"
echo "sockerr, non2xx: wrk's socket errors and non-2xx/3xx answers, quillfen/nginx/lighttpd."
echo "Memory in MiB during the 1 KiB c=$mem_conc run: peak of the VmRSS summed over the"
echo "server's processes (sampled every 50 ms), and the sum of their VmHWM at its end."
echo "raw wrk outputs: $out_dir"
