#!/usr/bin/env bash
# The README's run command, run twice over one demo directory: it listens on 127.0.0.1 only, serves
# the panel at "/" with listings off, prints the panel's URL last, keeps a saved value and the logs,
# and Ctrl-C (SIGINT to its process group) ends the server and the demo service the panel started.
# Usage: run_demo_check.sh BUILD_DIR (built already: QF_SKIP_SETUP skips packages and the build).
set -euo pipefail
build=$(cd "$1" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
group=
cleanup() {
    [ -n "$group" ] && kill -KILL -- "-$group" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for f in "$scratch"/out* "$scratch"/err*; do [ -e "$f" ] && { echo "---- $f" >&2; cat "$f" >&2; }; done
    exit 1
}
# Polls a command for up to $1 tenths of a second.
within() {
    local n=$1
    shift
    for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
    "$@"
}

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
url="http://127.0.0.1:$port/"
export QF_SKIP_SETUP=1 QF_BUILD_DIR=$build QF_DEMO_DIR=$scratch/demo QF_PORT=$port
demo_conf=$scratch/demo/product/quorvel.conf

last_line_is_url() { [ "$(tail -n 1 "$scratch/out$1")" = "Control panel: ${2:-$url} (Ctrl-C stops it)" ]; }
members() { pgrep -g "$group" >/dev/null; }
page_has() { curl -sf "$url" | grep -qF "$1"; }

run() {   # $1: round, $2: the URL it should print, then quillfen's arguments; a session of its own,
          # so that SIGINT to its group is the terminal's Ctrl-C
    local round=$1 expect=${2:-$url}
    shift 2 || shift $#
    setsid "$repo/scripts/run.sh" "$@" >"$scratch/out$round" 2>"$scratch/err$round" &
    group=$!
    within 300 last_line_is_url "$round" "$expect" || fail "round $round: the last start-up line is not $expect"
}
interrupt() {
    kill -INT -- "-$group"
    within 300 eval '! members' || fail "something of the run outlived Ctrl-C: $(pgrep -a -g "$group")"
    group=
}

run 1
hex=$(printf '%04X' "$port")
listeners=$(awk -v p=":$hex" '$4 == "0A" && substr($2, length($2) - 4) == p { print $2 }' /proc/net/tcp)
[ "$listeners" = "0100007F:$hex" ] || [ "$listeners" = "7F000001:$hex" ] \
    || fail "port $port is bound to [$listeners], not 127.0.0.1 only"
within 100 page_has 'name="TrunkName"' || fail "/ is not the panel page"
[ "$(curl -s -o /dev/null -w '%{http_code}' "${url}images/")" = 403 ] || fail "directory listing is on"
for name in quorvel.conf drevanta_guard drevantaquorvel; do
    code=$(curl -s -o /dev/null -w '%{http_code}' "$url$name")
    [ "$code" = 404 ] || fail "/$name answered $code"
done
[ "$(curl -s -o /dev/null -w '%{http_code}' "${url}images/busy.gif")" = 200 ] || fail "the panel's images are not served"

kept="Kept$$"
curl -sf -o /dev/null --data "TrunkName=$kept&basicsetupbutton=Save" "${url}drevanta_gui_busy.html" \
    || fail "the Save post failed"
grep -q "^TrunkName=$kept"$'\r'"\$" "$demo_conf" || fail "Save did not write TrunkName"
curl -sf -o /dev/null --data "controlbutton=Start" "${url}drevanta_gui_busy.html" || fail "the Start post failed"
within 100 page_has "Running with" || fail "the demo service did not start"
[ -s "$scratch/demo/log/errLog" ] || fail "the service wrote no application log"
log_lines=$(wc -l <"$scratch/demo/log/errLog")
interrupt

run 2
grep -q "^TrunkName=$kept"$'\r'"\$" "$demo_conf" || fail "the second run lost the saved TrunkName"
within 100 page_has "value=\"$kept\"" || fail "the second run's panel does not show the saved TrunkName"
within 100 page_has 'value="Not Running"' || fail "a demo service outlived Ctrl-C"
[ "$(wc -l <"$scratch/demo/log/errLog")" -ge "$log_lines" ] || fail "the application log was not kept"
interrupt

# Other ports on the command line: the address printed is one it serves.
other=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
run 3 "http://127.0.0.1:$other/" -ports "127.0.0.1:$other"
within 100 eval 'curl -sf "http://127.0.0.1:$other/" | grep -qF "name=\"TrunkName\""' || fail "nothing at the printed address"
interrupt
echo "run command: loopback only, panel at /, service files refused, URL last, saved value and logs kept, Ctrl-C ends all: ok"
