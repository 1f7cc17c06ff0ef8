#!/usr/bin/env bash
# Sets everything up and runs every test three times: a normal build, a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and one with
# ThreadSanitizer; then each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

# Runs a test stage in a private /tmp (the panel's tests write and signal the
# service's fixed status files there: those of a service on this machine must
# stay untouched) and, where ip can bring its loopback up, a network of its own
# (ports picked by the tests cannot be taken by anything else). That needs
# root and unshare, as in CI; elsewhere the stage runs as it is, and says so.
isolated() {
    if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null && unshare -m true 2>/dev/null; then
        local net=""
        if command -v ip >/dev/null && unshare -n true 2>/dev/null; then net="n"; fi
        unshare -m$net --propagation private bash -c '
            if [ -n "$1" ]; then ip link set lo up || exit 1; fi
            mount -t tmpfs tmpfs /tmp && chmod 1777 /tmp || exit 1
            shift; exec "$@"' isolated "$net" "$@"
    else
        echo "warning: not root or no unshare: this stage shares /tmp and the network with the" \
             "machine; the panel tests touch the status files of a Quorvel service running here" >&2
        "$@"
    fi
}

export QF_SETUP_TESTS=1   # setup.sh also installs Chromium and Node.js
scripts/setup.sh build-test -DQF_TESTS=ON
# playwright-core for the browser test, exactly as the lock file says.
npm ci --prefix tests/browser --no-audit --no-fund
# Every test has a TIMEOUT of its own; --timeout covers one that might lack it.
(cd build-test && isolated ctest --output-on-failure -j2 --timeout 300)

scripts/setup.sh build-asan -DQF_TESTS=ON -DQF_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 isolated ctest --output-on-failure -j2 --timeout 300)

# ThreadSanitizer. The test programs and every server and demo program
# they start write their reports to files under tsan-logs/, and any
# file there fails the run: a report from a server whose exit status no test
# looks at would otherwise go unseen. halt_on_error stops a racing process
# at its first report.
scripts/setup.sh build-tsan -DQF_TESTS=ON -DQF_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
tsan_logs="$PWD/build-tsan/tsan-logs"
rm -rf "$tsan_logs"
mkdir -p "$tsan_logs"
chmod 1777 "$tsan_logs"   # servers that switched to another user (uid) report here too
tsan_status=0
(cd build-tsan &&
    TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:log_path=$tsan_logs/report" \
    isolated ctest --output-on-failure -j2 --timeout 300) || tsan_status=$?
if compgen -G "$tsan_logs/report*" >/dev/null; then
    cat "$tsan_logs"/report* >&2
    echo "ThreadSanitizer reported the problems above" >&2
    tsan_status=1
fi
[ "$tsan_status" -eq 0 ]

# libFuzzer (clang) over the parsers, FUZZ_SECONDS (default 60) per target,
# starting from the seed corpus under tests/fuzz/corpus/.
scripts/fuzz.sh
