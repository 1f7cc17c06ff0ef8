#!/usr/bin/env bash
# Sets everything up and runs every test twice: a normal build, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

export QF_SETUP_TESTS=1   # setup.sh also installs Chromium and Node.js
scripts/setup.sh build-test -DQF_TESTS=ON
# playwright-core for the browser test, exactly as the lock file says.
npm ci --prefix tests/browser --no-audit --no-fund
(cd build-test && ctest --output-on-failure -j2)

scripts/setup.sh build-asan -DQF_TESTS=ON -DQF_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j2)
