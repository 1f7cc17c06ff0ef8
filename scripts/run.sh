#!/usr/bin/env bash
# Sets everything up and runs the server on the demo product directory:
# the control panel answers at http://127.0.0.1:8080/drevanta_gui.html
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build -DQF_TESTS=OFF

product="$PWD/build/demo/product/"
export DREVANTA_BIN="$product"
exec build/quillfen -root "$product" -ports 8080 "$@"
