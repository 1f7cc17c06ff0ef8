#!/usr/bin/env bash
# Installs the build into a scratch prefix and proves what an operator gets: the files in their places,
# a unit that names them, a sample configuration the installed binary serves the panel with.
# Usage: install_check.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
server=
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

for f in bin/quillfen lib/quillfen/product/drevanta_guard lib/quillfen/product/drevantaquorvel; do
    [ -x "$prefix/$f" ] || fail "$f is not an installed program"
done
for f in lib/quillfen/product/quorvel.conf lib/quillfen/product/images/prefix_drevanta_gui.html \
         lib/quillfen/product/images/busy.gif etc/quillfen/quillfen.conf \
         lib/systemd/system/quillfen.service; do
    [ -s "$prefix/$f" ] || fail "$f is missing or empty"
done

unit=$prefix/lib/systemd/system/quillfen.service
grep -qx "ExecStart=$prefix/bin/quillfen -uid quillfen $prefix/etc/quillfen/quillfen.conf" "$unit" \
    || fail "ExecStart does not name the installed binary and configuration"
grep -qx 'Environment=DREVANTA_BIN=/var/lib/quillfen/product/' "$unit" || fail "DREVANTA_BIN is not set"
grep -q "cp -R -n $prefix/lib/quillfen/product/\. /var/lib/quillfen/product/" "$unit" \
    || fail "the unit does not copy the installed product directory"
! grep -q '@' "$unit" || fail "the unit has unreplaced placeholders"

conf=$prefix/etc/quillfen/quillfen.conf
grep -qx 'ports 127.0.0.1:8080' "$conf" || fail "the sample configuration does not listen on loopback only"
echo "# the operator's own line" >>"$conf"
cmake --install "$build" --prefix "$prefix" >/dev/null
grep -qx "# the operator's own line" "$conf" || fail "a second install overwrote quillfen.conf"

# Do what the unit's ExecStartPre does, with the state directory moved into the scratch area.
state=$scratch/state
sed -n "s#^ExecStartPre=/bin/sh -c '\(.*\) && chown -R quillfen: /var/lib/quillfen'\$#\1#p" "$unit" \
    | sed -e "s#/var/lib/quillfen#$state#g" -e 's/\$\$/$/g' >"$scratch/prepare.sh"   # $$: systemd's $
[ -s "$scratch/prepare.sh" ] || fail "the unit's ExecStartPre has changed: this check no longer follows it"
sh "$scratch/prepare.sh"
sed "s#/var/lib/quillfen#$state#g" "$prefix/etc/quillfen/quillfen.conf" >"$scratch/quillfen.conf"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -i "s/^ports .*/ports 127.0.0.1:$port/" "$scratch/quillfen.conf"

DREVANTA_BIN=$state/product/ "$prefix/bin/quillfen" "$scratch/quillfen.conf" >"$scratch/out" 2>&1 &
server=$!
for _ in $(seq 100); do
    curl -sf -o "$scratch/page" "http://127.0.0.1:$port/drevanta_gui.html" && break
    kill -0 "$server" 2>/dev/null || { cat "$scratch/out" >&2; fail "the server ended at start"; }
    sleep 0.1
done
grep -q 'Basic Setup' "$scratch/page" || fail "the panel page was not served"
# Into a file: grep -q would stop reading at the match, and curl, cut off, fail the pipe.
curl -sf -o "$scratch/root" "http://127.0.0.1:$port/" && grep -q 'Basic Setup' "$scratch/root" \
    || fail "/ is not the panel page"
grep -q "GET /drevanta_gui.html" "$state/log/access.log" || fail "no access log line"
# The service's settings and programs beside the panel's pages are not served.
for name in quorvel.conf drevanta_guard drevantaquorvel _tmp_quorvel.conf; do
    code=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/$name")
    [ "$code" = 404 ] || fail "/$name answered $code"
done
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/images/busy.gif")" = 200 ] || fail "no image"
curl -sf -o /dev/null --data "controlbutton=Restore" "http://127.0.0.1:$port/drevanta_gui_busy.html" \
    || fail "a post to the wait page failed"
echo "install layout, unit and sample configuration: ok"
