#!/usr/bin/env bash
# Builds the Debian package from the build at hand, runs lintian on it (no error may remain) and checks
# what dpkg would install, without installing it: the conffiles, the unit, the logrotate rule, the
# maintainer scripts and the declared dependencies.
# Usage: package_check.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

deb=$("$repo/packaging/build-deb.sh" "$build" "$scratch")
[ "$(basename "$deb")" = "quillfen_2.8-1_$(dpkg --print-architecture).deb" ] || fail "package named $deb"

lintian --tag-display-limit 0 "$deb" >"$scratch/lintian" 2>&1 || true
cat "$scratch/lintian"
! grep -q '^E: ' "$scratch/lintian" || fail "lintian reports errors"

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' >"$scratch/files"
for f in /usr/bin/quillfen /usr/lib/quillfen/product/drevanta_guard /usr/lib/quillfen/product/drevantaquorvel \
         /usr/lib/quillfen/product/quorvel.conf /usr/lib/quillfen/product/images/prefix_drevanta_gui.html \
         /etc/quillfen/quillfen.conf /etc/logrotate.d/quillfen /lib/systemd/system/quillfen.service \
         /usr/share/doc/quillfen/copyright; do
    grep -qx "$f" "$scratch/files" || fail "$f is not in the package"
done

dpkg-deb -e "$deb" "$scratch/DEBIAN"
dpkg-deb -x "$deb" "$scratch/root"
[ "$(cat "$scratch/DEBIAN/conffiles")" = $'/etc/quillfen/quillfen.conf\n/etc/logrotate.d/quillfen' ] \
    || fail "conffiles: $(cat "$scratch/DEBIAN/conffiles")"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libssl3 libsystemd0 adduser; do
    [[ ", $depends," == *", $d"[\ ,]* ]] || fail "Depends lacks $d: $depends"
done

for s in postinst prerm postrm; do
    [ -x "$scratch/DEBIAN/$s" ] || fail "$s is missing"
    sh -n "$scratch/DEBIAN/$s" || fail "$s is not valid sh"
done
grep -q 'adduser --system --group --home /var/lib/quillfen' "$scratch/DEBIAN/postinst" || fail "postinst makes no account"
grep -q 'chown quillfen:quillfen /var/lib/quillfen /var/lib/quillfen/log' "$scratch/DEBIAN/postinst" \
    || fail "postinst leaves the log directory to root"
grep -q 'deb-systemd-helper enable quillfen.service' "$scratch/DEBIAN/postinst" || fail "postinst does not enable the unit"
grep -q 'deb-systemd-invoke start quillfen.service' "$scratch/DEBIAN/postinst" || fail "postinst does not start the unit"
grep -q 'deb-systemd-invoke restart quillfen.service' "$scratch/DEBIAN/postinst" || fail "an upgrade does not restart it"
grep -q 'deb-systemd-invoke stop quillfen.service' "$scratch/DEBIAN/prerm" || fail "prerm does not stop the unit"

unit=$scratch/root/lib/systemd/system/quillfen.service
for line in 'Type=notify' 'ExecReload=/bin/kill -HUP $MAINPID' \
            'ExecStart=/usr/bin/quillfen -uid quillfen /etc/quillfen/quillfen.conf' \
            'NoNewPrivileges=yes' 'ProtectSystem=full' 'ProtectHome=yes' 'PrivateDevices=yes'; do
    grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
! grep -q 'useradd\|adduser' "$unit" || fail "the unit makes the account"
! grep -q '^PrivateTmp' "$unit" || fail "the unit hides /tmp from the panel"
grep -q 'cp -R -n /usr/lib/quillfen/product/\. /var/lib/quillfen/product/' "$unit" || fail "the unit copies no product"

rule=$scratch/root/etc/logrotate.d/quillfen
for word in daily compress postrotate 'systemctl kill --kill-whom=main --signal=USR1 quillfen.service'; do
    grep -qF "$word" "$rule" || fail "the logrotate rule lacks $word"
done
if command -v logrotate >/dev/null; then
    logrotate -d -s "$scratch/state" "$rule" >"$scratch/logrotate" 2>&1 || { cat "$scratch/logrotate"; fail "logrotate rejects the rule"; }
fi
echo "package: lintian clean, conffiles, unit, logrotate rule, maintainer scripts, dependencies: ok"
