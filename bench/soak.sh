#!/usr/bin/env bash
# bench/soak.sh: a long mixed load against one quillfen, checking every
# answer and that descriptors and memory come back once the load is over.
#
# Usage: bench/soak.sh            (from anywhere in the repository)
# Environment:
#   QUILLFEN           a quillfen binary to use instead of building build-soak/ (Release)
#   SOAK_REQUESTS      requests of the measured load (default 100000)
#   SOAK_CONCURRENCY   connections open at once (default 256)
#   SOAK_DEADLINE      seconds the measured load may take at most (default 900)
#   SOAK_MAX_THREADS   the server's max_threads (default SOAK_CONCURRENCY + 16)
#   SOAK_IDLE_TIME     the server's idle_time in seconds (default 2)
#   SOAK_RSS_SLACK_KIB RSS the load may leave above the idle baseline (default 4096)
#   SOAK_SEED          seed of the request mix (default 1)
#   SOAK_MIX           shares of the mix, e.g. file=1,cgi=1 (default
#                      file=45,range=25,notfound=10,listing=15,cgi=5)
#   SOAK_KEEP          1 keeps the temporary directory (server logs) for a look
# Exit status: 0 when every answer was right and nothing leaked, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

requests=${SOAK_REQUESTS:-100000}
concurrency=${SOAK_CONCURRENCY:-256}
deadline=${SOAK_DEADLINE:-900}
max_threads=${SOAK_MAX_THREADS:-$((concurrency + 16))}
idle_time=${SOAK_IDLE_TIME:-2}
rss_slack=${SOAK_RSS_SLACK_KIB:-4096}
seed=${SOAK_SEED:-1}
for v in requests concurrency deadline max_threads idle_time rss_slack seed; do
    if ! [[ "${!v}" =~ ^[0-9]+$ ]] || [ "${!v}" -lt 1 ]; then
        echo "soak.sh: $v must be a positive whole number (got '${!v}')" >&2
        exit 2
    fi
done

scripts/install-packages.sh python3 curl g++ cmake make libssl-dev libsystemd-dev

if [ -n "${QUILLFEN:-}" ]; then
    quillfen=$QUILLFEN
else
    echo "Building quillfen (Release) in build-soak/"
    # Tests off in a new build directory (no GoogleTest needed); an existing
    # one keeps its choice.
    tests_off=()
    [ -f build-soak/CMakeCache.txt ] || tests_off=(-DQF_TESTS=OFF)
    cmake -S . -B build-soak -DCMAKE_BUILD_TYPE=Release "${tests_off[@]}" >/dev/null
    cmake --build build-soak --target quillfen -j2 >/dev/null
    quillfen=$repo/build-soak/quillfen
fi

# --- the document root, with a manifest of what it must serve ----------------
work=$(mktemp -d /tmp/quillfen-soak.XXXXXX)
qf_pid=""

cleanup() {
    if [ -n "$qf_pid" ] && kill -0 "$qf_pid" 2>/dev/null; then
        kill -TERM "$qf_pid" 2>/dev/null || true
        for _ in $(seq 300); do
            kill -0 "$qf_pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$qf_pid" 2>/dev/null; then
            echo "quillfen (pid $qf_pid) did not end on SIGTERM within 30 s; killing it" >&2
            kill -KILL "$qf_pid" 2>/dev/null || true
        fi
        wait "$qf_pid" 2>/dev/null || true
    fi
    if [ "${SOAK_KEEP:-0}" = 1 ]; then
        echo "kept $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

docroot=$work/docroot
mkdir -p "$docroot/listed/sub one" "$docroot/listed/sub2" "$work/product"

# Sizes around the server's paths: empty, a single byte, bodies that go out
# in one write with the header block (below 8 KiB with it), just past that,
# and bodies that go out by sendfile.
files=()
for size in 0 1 100 1000 4096 8000 8192 10000 65536 262144; do
    head -c "$size" /dev/urandom >"$docroot/f$size.bin"
    files+=("f$size.bin")
done

# The listing must name every entry: plain names, one needing HTML escape
# and URL encoding, and subdirectories (listed with a trailing '/').
listing_names=()
for n in $(seq -w 1 40); do
    echo "entry $n" >"$docroot/listed/item-$n.txt"
    listing_names+=("item-$n.txt")
done
echo amp >"$docroot/listed/a&b.txt"
listing_names+=("a&amp;b.txt" "sub one" "sub2")

# The CGI program answers with what it was asked, so that an answer that
# went to the wrong client would show.
cat >"$docroot/echo.cgi" <<'EOF'
#!/bin/sh
printf 'Content-Type: text/plain\r\n\r\ncgi ok %s\n' "$QUERY_STRING"
EOF
chmod 755 "$docroot/echo.cgi"

python3 - "$docroot" "${files[@]}" -- "${listing_names[@]}" <<'EOF'
import json, sys
root, rest = sys.argv[1], sys.argv[2:]
cut = rest.index("--")
json.dump({"files": rest[:cut], "listing_dir": "listed", "listing_names": rest[cut + 1:],
           "cgi": "echo.cgi"}, open(root + "/manifest.json", "w"), indent=1)
EOF

# quillfen always runs its control panel, which wants a product directory
# of its own: the demo's data files serve, and nothing is started.
cp -r demo/product/. "$work/product/"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')

echo "quillfen $quillfen on port $port, max_threads $max_threads, idle_time $idle_time s"
DREVANTA_BIN="$work/product/" "$quillfen" -root "$docroot" -ports "127.0.0.1:$port" \
    -max_threads "$max_threads" -idle_time "$idle_time" -cgi_ext .cgi \
    -error_log "$work/error.log" >"$work/quillfen.out" 2>"$work/quillfen.err" &
qf_pid=$!

# The driver bounds the load by SOAK_DEADLINE and each later wait by its
# own limit; timeout is the last guard against a hung driver.
status=0
timeout --signal=TERM $((deadline + 600)) python3 bench/soak_driver.py \
    --pid "$qf_pid" --port "$port" --root "$docroot" --requests "$requests" \
    --concurrency "$concurrency" --deadline "$deadline" --idle-time "$idle_time" \
    --rss-slack-kib "$rss_slack" --seed "$seed" ${SOAK_MIX:+--mix "$SOAK_MIX"} || status=$?

if ! kill -0 "$qf_pid" 2>/dev/null; then
    echo "quillfen is gone; its standard error:" >&2
    tail -20 "$work/quillfen.err" >&2 || true
    status=1
fi
if [ "$status" -ne 0 ]; then
    echo "last lines of the server's error log (other than 404s):" >&2
    grep -v -e 'Error 404' -e '^$' "$work/error.log" 2>/dev/null | tail -10 >&2 || true
fi
exit "$status"
