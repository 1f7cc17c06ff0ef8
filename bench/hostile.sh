#!/usr/bin/env bash
# bench/hostile.sh: quillfen and nginx side by side under clients that never
# finish a request, while an ordinary client asks for a small file once a
# second. The load side is bench/hostile_driver.py.
#
# Usage: bench/hostile.sh            (from anywhere in the repository)
# Environment:
#   HOSTILE_SECONDS        GETs of the 1 KiB file during each load, one a second (default 40)
#   HOSTILE_SILENT         connections that send nothing (default 10000)
#   HOSTILE_TRICKLE        connections that send a header byte every 5 s (default 2000);
#                          as many send a TLS hello byte every 5 s in the tls_trickle load
#   HOSTILE_STALL          clients that ask for a 50 MiB file and read nothing (default 1000)
#   HOSTILE_SLOW_BODY      clients that POST to a program a body that comes one byte every
#                          5 s (default 150, at most 5000); nginx, the reference, has no
#                          program there and refuses the POST
#   HOSTILE_STALL_RCVBUF   their receive buffer in bytes (default 4096)
#   HOSTILE_STALL_MSS      the segment size they offer (default 1460, as across a network;
#                          0 keeps loopback's 64 KiB, which costs the kernel far more)
#   HOSTILE_IDLE           connections kept open after one GET, then silent (default 2000)
#   HOSTILE_PIPELINE       clients that send 1000 GETs at once and read nothing (default 200)
#   HOSTILE_LOADS          which loads, in this order (default
#                          silent,trickle,stall,tls_trickle,slow_body,idle,pipeline; tls_trickle
#                          and its GETs go to each server's HTTPS port)
#   HOSTILE_MAX_THREADS    quillfen's -max_threads (default 100)
#   HOSTILE_EXTRA_THREADS  threads allowed beyond max_threads: the intake threads (one
#                          per core, at most 8) and 3 more (default: 4 with one core)
#   HOSTILE_P99_MS         p99 target of the GETs (default 50)
#   HOSTILE_RSS_LIMIT_MIB  quillfen's RSS during a load at most (default 64)
#   HOSTILE_RSS_SLACK_MIB  RSS after a load at most this above idle (default 4)
#   HOSTILE_PROBE_TIMEOUT  seconds a GET may take before it counts as unanswered (default 10)
#   HOSTILE_RAMP           seconds to open the crowd before the GETs begin (default 20)
#   HOSTILE_SETTLE         seconds to wait after a load for descriptors and RSS (default 60)
#   QUILLFEN               a quillfen binary to use instead of building build-bench/
# Both servers keep connections open 5 s (quillfen's keep_alive, nginx's keepalive_timeout).
# Exit status: 0 when quillfen met every target, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${HOSTILE_SECONDS:-40}
silent=${HOSTILE_SILENT:-10000}
trickle=${HOSTILE_TRICKLE:-2000}
stall=${HOSTILE_STALL:-1000}
slow_body=${HOSTILE_SLOW_BODY:-150}
idle=${HOSTILE_IDLE:-2000}
pipeline=${HOSTILE_PIPELINE:-200}
loads=${HOSTILE_LOADS:-silent,trickle,stall,tls_trickle,slow_body,idle,pipeline}
max_threads=${HOSTILE_MAX_THREADS:-100}
cores=$(nproc)
extra_threads=${HOSTILE_EXTRA_THREADS:-$(( (cores < 8 ? cores : 8) + 3 ))}
p99_ms=${HOSTILE_P99_MS:-50}
rss_limit=${HOSTILE_RSS_LIMIT_MIB:-64}
rss_slack=${HOSTILE_RSS_SLACK_MIB:-4}
probe_timeout=${HOSTILE_PROBE_TIMEOUT:-10}
ramp=${HOSTILE_RAMP:-20}
settle=${HOSTILE_SETTLE:-60}
stall_rcvbuf=${HOSTILE_STALL_RCVBUF:-4096}
stall_mss=${HOSTILE_STALL_MSS:-1460}
for v in seconds silent trickle stall slow_body idle pipeline max_threads extra_threads p99_ms rss_limit rss_slack \
         probe_timeout ramp settle stall_rcvbuf stall_mss; do
    if ! [[ "${!v}" =~ ^[0-9]+$ ]]; then
        echo "hostile.sh: $v must be a whole number (got '${!v}')" >&2
        exit 2
    fi
done
if [ "$seconds" -lt 1 ] || [ "$seconds" -gt 600 ] || [ "$max_threads" -lt 1 ] ||
   [ "$probe_timeout" -lt 1 ] || [ "$probe_timeout" -gt 60 ] || [ "$ramp" -gt 120 ] ||
   [ "$settle" -gt 600 ] || [ "$slow_body" -gt 5000 ]; then
    echo "hostile.sh: HOSTILE_SECONDS 1..600, HOSTILE_MAX_THREADS >= 1," \
         "HOSTILE_PROBE_TIMEOUT 1..60, HOSTILE_RAMP <= 120, HOSTILE_SETTLE <= 600," \
         "HOSTILE_SLOW_BODY <= 5000" >&2
    exit 2
fi

scripts/install-packages.sh nginx curl python3 g++ cmake make openssl libssl-dev libsystemd-dev
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
source bench/common.sh
build_quillfen

# Each server and the driver hold a whole crowd of descriptors at once.
nofile=$(ulimit -Hn)
[ "$nofile" = unlimited ] && nofile=1048576
need=$((silent > trickle ? silent : trickle))
need=$((need > stall ? need : stall))
need=$((need > idle ? need : idle))
if [ "$nofile" -lt $((need + 200)) ]; then
    echo "hostile.sh: the hard descriptor limit ($nofile) is too small for $need connections" >&2
    exit 2
fi

# --- the servers, stopped whatever happens -----------------------------------
start_work quillfen-hostile

docroot=$work/docroot
make_docroot "$docroot"
# Its bytes do not matter, only that it takes long to send: a sparse file.
truncate -s 50M "$docroot/big.bin"
chmod 644 "$docroot"/*.bin
# The slow bodies go to a program, which takes a body as it comes.
printf '#!/bin/sh\nprintf "Content-Type: text/plain\\r\\n\\r\\n"\nexec cat >/dev/null\n' >"$docroot/sink.cgi"
chmod 755 "$docroot/sink.cgi"

make_tls_cert
qf_port=$(free_port)
qf_tls_port=$(free_port)
ulimit -n "$nofile"
start_quillfen "$qf_port" "$docroot" -max_threads "$max_threads" -error_log "$work/quillfen.error.log" \
    -ssl_cert "$work/server.pem" -ports "127.0.0.1:$qf_port,127.0.0.1:${qf_tls_port}s" -keep_alive 5
# Enough for the largest crowd on one worker, since nothing spreads the
# connections evenly over the workers.
nginx_port=$(free_port)
nginx_tls_port=$(free_port)
worker_connections=$((nofile - 100 < 65535 ? nofile - 100 : 65535))
[ "$worker_connections" -ge 12000 ] || worker_connections=12000
NGINX_KEEPALIVE=5 start_nginx "$nginx_port" "$docroot" "$worker_connections" "worker_rlimit_nofile $nofile;" \
    "$(nginx_tls_server "$nginx_tls_port" "$docroot")"
wait_ready quillfen "$qf_port" "$qf_pid" small.bin
wait_ready nginx "$nginx_port" "$nginx_pid" small.bin
check_same_bytes "$docroot" small.bin "$qf_port" "$nginx_port"

echo "quillfen (max_threads $max_threads) and nginx $("$nginx_bin" -v 2>&1 | sed 's/.*\///')" \
     "($(nproc) workers, worker_connections $worker_connections), loopback, $(nproc) cores," \
     "descriptor limit $nofile"
# The driver bounds every wait itself; timeout is the last guard against a
# hung driver.
per_load=$((ramp + seconds + probe_timeout + 15 + settle + 20))
status=0
timeout --signal=TERM $((14 * per_load + 300)) python3 bench/hostile_driver.py run \
    --server "quillfen:$qf_pid:$qf_port:$qf_tls_port" \
    --server "nginx:$nginx_pid:$nginx_port:$nginx_tls_port" \
    --loads "$loads" --silent "$silent" --trickle "$trickle" --stall "$stall" --slow-body "$slow_body" \
    --idle "$idle" --pipeline "$pipeline" \
    --seconds "$seconds" --probe-timeout "$probe_timeout" --ramp "$ramp" --settle "$settle" \
    --expect "$docroot/small.bin" --thread-limit $((max_threads + extra_threads)) \
    --stall-rcvbuf "$stall_rcvbuf" --stall-mss "$stall_mss" \
    --p99-ms "$p99_ms" --rss-limit-kib $((rss_limit * 1024)) \
    --rss-slack-kib $((rss_slack * 1024)) || status=$?

for server in "quillfen $qf_pid" "nginx $nginx_pid"; do
    set -- $server
    if ! kill -0 "$2" 2>/dev/null; then
        echo "$1 is gone; its output:" >&2
        tail -20 "$work/$1".* >&2 2>/dev/null || true
        status=1
    fi
done
exit "$status"
