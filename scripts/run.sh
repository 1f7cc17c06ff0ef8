#!/usr/bin/env bash
# Sets everything up and runs the server on a demo product directory, on
# loopback only: the control panel answers at http://127.0.0.1:8080/
# (QF_PORT=N for another port). Extra arguments go to quillfen; the address
# printed last is the first of the ports it really serves.
#
# The demo directory (QF_DEMO_DIR, default build/demo-run/) keeps the
# service's quorvel.conf and every log between runs; its images and stand-in
# programs are refreshed from the build at each start.
# QF_SKIP_SETUP=1 skips the package check and the build; QF_BUILD_DIR names
# the build directory (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QF_BUILD_DIR:-build}
port=${QF_PORT:-8080}
demo=${QF_DEMO_DIR:-$build/demo-run}

if [ "${QF_SKIP_SETUP:-0}" != 1 ]; then
    mkdir -p "$build"
    echo "Checking packages and building into $build/ (output in $build/setup.log)..."
    if ! scripts/setup.sh "$build" -DQF_TESTS=OFF >"$build/setup.log" 2>&1; then
        tail -n 40 "$build/setup.log" >&2
        exit 1
    fi
fi

# Ours to refresh: images and programs (-f: a stand-in left running by an
# earlier run keeps its old file). The service's settings are only seeded.
template=$build/demo/product
mkdir -p "$demo/product" "$demo/log" "$demo/web"
cp -R -f "$template/images" "$demo/product/"
cp -f "$template/drevanta_guard" "$template/drevantaquorvel" "$demo/product/"
[ -e "$demo/product/quorvel.conf" ] || cp "$template/quorvel.conf" "$demo/product/"
# The document root holds only links to the panel's pages and images, so
# the service's quorvel.conf and programs beside them are never served.
for f in drevanta_gui.html drevanta_gui_busy.html images; do
    ln -sfn "../product/$f" "$demo/web/$f"
done

product="$(cd "$demo/product" && pwd)/"
web="$(cd "$demo/web" && pwd)"
log="$(cd "$demo/log" && pwd)"
export DREVANTA_BIN="$product"

# The first listener of the banner's port list as a URL: "8443s" is HTTPS,
# a port without an address is reached on loopback.
panel_url() {
    local first=${1%%,*} scheme=http host=127.0.0.1 p
    first=${first%% }
    case $first in *s) scheme=https first=${first%s} ;; esac
    p=${first##*:}
    case $first in *:*) host=${first%:*} ;; esac
    [ "$host" = 0.0.0.0 ] && host=127.0.0.1
    [ "$host" = "[::]" ] && host="[::1]"
    echo "$scheme://$host:$p/"
}

# The panel's URL goes out right after the banner, as the last start-up line.
# The reader ignores Ctrl-C so that the server's goodbye still gets through.
"$build/quillfen" -root "$web" -ports "127.0.0.1:$port" -index_files drevanta_gui.html -keep_alive 5 -file_cache 1 \
    -dir_list no -access_log "$log/access.log" -error_log "$log/error.log" "$@" |
    (
        trap '' INT
        while IFS= read -r line; do
            printf '%s\n' "$line"
            case $line in
            *" started on port(s) ["*)
                ports=${line#* started on port(s) [}
                echo "Control panel: $(panel_url "${ports%%]*}") (Ctrl-C stops it)"
                ;;
            esac
        done
        [ -z "$line" ] || printf '%s\n' "$line"
    )
