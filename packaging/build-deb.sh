#!/usr/bin/env bash
# Makes quillfen_<version>_<arch>.deb from a configured build directory with
# Debian's own tools: the files "cmake --install" lays down under /usr (the
# configuration under /etc), the logrotate rule, the maintainer scripts.
# Usage: packaging/build-deb.sh BUILD_DIR OUT_DIR; prints the package's path.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
out=$(mkdir -p "$2" && cd "$2" && pwd)
version=2.8-1
arch=$(dpkg --print-architecture)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr --strip >/dev/null
# Debian 12 keeps units under /lib.
mkdir -p "$stage/lib/systemd"
mv "$stage/usr/lib/systemd/system" "$stage/lib/systemd/"
rmdir "$stage/usr/lib/systemd"
install -D -m 0644 "$here/quillfen.logrotate" "$stage/etc/logrotate.d/quillfen"
doc=$stage/usr/share/doc/quillfen
install -D -m 0644 "$here/debian/copyright" "$doc/copyright"
printf 'quillfen (%s) unstable; urgency=medium\n\n  * Packaged.\n\n -- Quillfen developers <packaging@quillfen.example.org>  %s\n' \
    "$version" "$(date -R -d @"${SOURCE_DATE_EPOCH:-0}")" | gzip -9n >"$doc/changelog.Debian.gz"
chmod -R u=rwX,go=rX "$stage"

mkdir -p "$stage/DEBIAN"
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
    "$here/debian/control.in" >"$stage/DEBIAN/control"
printf '/etc/quillfen/quillfen.conf\n/etc/logrotate.d/quillfen\n' >"$stage/DEBIAN/conffiles"
install -m 0755 "$here/debian/postinst" "$here/debian/prerm" "$here/debian/postrm" "$stage/DEBIAN/"
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\n' | LC_ALL=C sort |
    xargs md5sum) >"$stage/DEBIAN/md5sums"

deb=$out/quillfen_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
