#!/usr/bin/env bash
# Installs the Debian packages that building and testing need (only the
# missing ones), then configures and builds into the given build directory.
# Usage: scripts/setup.sh BUILD_DIR [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make libgtest-dev libssl-dev libsystemd-dev)
# What only the tests need (scripts/test.sh sets QF_SETUP_TESTS=1), so the
# run command stays lean: real clients and peers (curl, htdigest, Python),
# the CGI interpreters, lintian and logrotate for the package test, and the
# browser test's Chromium. Node.js from Debian
# only where none is on the PATH: a newer one that the machine has is kept.
if [ "${QF_SETUP_TESTS:-0}" = 1 ]; then
    packages+=(curl apache2-utils python3 procps perl php-cgi chromium openssl lintian logrotate)
    command -v node >/dev/null 2>&1 || packages+=(nodejs)
    command -v npm >/dev/null 2>&1 || packages+=(npm)
fi
scripts/install-packages.sh "${packages[@]}"

build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
