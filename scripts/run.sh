#!/usr/bin/env bash
# Sets everything up and runs the server on a demo product directory, on
# loopback only: the control panel answers at http://127.0.0.1:8080/
# (QF_PORT=N for another port). Extra arguments go to quillfen.
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
mkdir -p "$demo/product" "$demo/log"
cp -R -f "$template/images" "$demo/product/"
cp -f "$template/drevanta_guard" "$template/drevantaquorvel" "$demo/product/"
[ -e "$demo/product/quorvel.conf" ] || cp "$template/quorvel.conf" "$demo/product/"

product="$(cd "$demo/product" && pwd)/"
log="$(cd "$demo/log" && pwd)"
url="http://127.0.0.1:$port/"
export DREVANTA_BIN="$product"

# The panel's URL goes out right after the banner, as the last start-up line.
# The reader ignores Ctrl-C so that the server's goodbye still gets through.
"$build/quillfen" -root "$product" -ports "127.0.0.1:$port" -index_files drevanta_gui.html \
    -dir_list no -access_log "$log/access.log" -error_log "$log/error.log" "$@" |
    (
        trap '' INT
        while IFS= read -r line; do
            printf '%s\n' "$line"
            case $line in
            *" started on port(s) "*) echo "Control panel: $url (Ctrl-C stops it)" ;;
            esac
        done
        [ -z "$line" ] || printf '%s\n' "$line"
    )
