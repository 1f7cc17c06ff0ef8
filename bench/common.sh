# bench/common.sh: what bench/compare.sh and bench/hostile.sh share. Sourced
# from the repository's top directory, under `set -euo pipefail`.

# Sets $quillfen: $QUILLFEN, or a Release build in build-bench/ (an
# up-to-date build is left as it is).
build_quillfen() {
    if [ -n "${QUILLFEN:-}" ]; then
        quillfen=$QUILLFEN
        return
    fi
    echo "Building quillfen (Release) in build-bench/" >&2
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQF_TESTS=OFF >/dev/null
    cmake --build build-bench --target quillfen -j"$(nproc)" >/dev/null
    quillfen=$PWD/build-bench/quillfen
}

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

# Makes $work, the temporary directory, and stops the servers started
# from here (quillfen, nginx, lighttpd) and removes $work on any exit.
start_work() {   # name
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    qf_pid=""
    nginx_pid=""
    lighttpd_pid=""
    trap stop_servers EXIT
    trap 'exit 130' INT TERM
}

stop_servers() {
    # quillfen lets its idle workers time out before it exits (about 11 s).
    stop_pid "$nginx_pid" QUIT 10
    stop_pid "$lighttpd_pid" TERM 10
    stop_pid "$qf_pid" TERM 30
    wait 2>/dev/null || true
    rm -rf "$work"
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# The document root, with small.bin, 1 KiB of random bytes: nginx's
# workers drop root for nobody, so everything they serve must be
# world-readable.
make_docroot() {   # dir
    mkdir -p "$1"
    chmod 755 "$work" "$1"
    head -c 1024 /dev/urandom >"$1/small.bin"
    chmod 644 "$1/small.bin"
}

# quillfen on 127.0.0.1:port, in the background; sets $qf_pid. It always
# runs its control panel too, which wants a product directory of its own:
# the demo's data files serve, and nothing is started. Further arguments
# go to quillfen.
start_quillfen() {   # port docroot [option...]
    local port=$1 docroot=$2
    shift 2
    mkdir -p "$work/product"
    cp -r demo/product/. "$work/product/"
    DREVANTA_BIN="$work/product/" "$quillfen" -root "$docroot" -ports "127.0.0.1:$port" "$@" \
        >"$work/quillfen.out" 2>"$work/quillfen.err" &
    qf_pid=$!
}

# nginx in the foreground from its own configuration, on 127.0.0.1:port,
# one request per connection (quillfen answers one per connection, so
# neither keeps connections open), sendfile on, no access log; sets
# $nginx_pid. main_extra goes at the top (main context), http_extra into
# the http block (another server, for one).
# keepalive_timeout: NGINX_KEEPALIVE seconds (default 0, one request per connection).
start_nginx() {   # port docroot worker_connections [main_extra [http_extra]]
    mkdir -p "$work/nginx/tmp"
    cat >"$work/nginx.conf" <<EOF
worker_processes $(nproc);
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
daemon off;
${4:-}
events { worker_connections $3; }
http {
    access_log off;
    sendfile on;
    keepalive_timeout ${NGINX_KEEPALIVE:-0};
    default_type application/octet-stream;
    client_body_temp_path $work/nginx/tmp/body;
    proxy_temp_path $work/nginx/tmp/proxy;
    fastcgi_temp_path $work/nginx/tmp/fastcgi;
    uwsgi_temp_path $work/nginx/tmp/uwsgi;
    scgi_temp_path $work/nginx/tmp/scgi;
    server {
        listen 127.0.0.1:$1;
        root $2;
    }
    ${5:-}
}
EOF
    "$nginx_bin" -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx.conf" \
        >"$work/nginx.out" 2>&1 &
    nginx_pid=$!
}

wait_ready() {   # name port pid path
    for _ in $(seq 150); do
        if ! kill -0 "$3" 2>/dev/null; then
            echo "$1 ended at start-up:" >&2
            cat "$work"/"$1"* >&2 2>/dev/null || true
            exit 1
        fi
        curl -sf -o /dev/null "http://127.0.0.1:$2/$4" && return 0
        sleep 0.1
    done
    echo "$1 does not answer on port $2 after 15 s" >&2
    exit 1
}

# An ECDSA P-256 certificate for 127.0.0.1 in $work: cert.pem and key.pem,
# and both in one file, server.pem, as quillfen's ssl_cert wants it.
make_tls_cert() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
        -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
    cat "$work/cert.pem" "$work/key.pem" >"$work/server.pem"
    chmod 644 "$work"/*.pem
}

# nginx's HTTPS server block for start_nginx's http_extra, with the
# certificate of make_tls_cert.
nginx_tls_server() {   # port docroot
    cat <<EOF
server {
        listen 127.0.0.1:$1 ssl;
        root $2;
        ssl_certificate $work/cert.pem;
        ssl_certificate_key $work/key.pem;
        ssl_protocols TLSv1.2 TLSv1.3;
    }
EOF
}

# Every server must serve the very same bytes, or a comparison means nothing.
check_same_bytes() {   # docroot "file..." port...
    local docroot=$1 files=$2 f want got port
    shift 2
    for f in $files; do
        want=$(sha256sum <"$docroot/$f")
        for port in "$@"; do
            got=$(curl -sf "http://127.0.0.1:$port/$f" | sha256sum)
            if [ "$got" != "$want" ]; then
                echo "port $port serves a different $f" >&2
                exit 1
            fi
        done
    done
}
