#!/bin/sh
# The Debian package's round trip: builds the package of debian/ with
# dpkg-buildpackage in a temporary copy of the source tree (the tree
# itself gets no build output), checks it with lintian, installs it,
# loads it with Debian's tclsh from an empty directory without TCLLIBPATH,
# runs the tour (from the examples the package ships) against a private
# session bus with nothing but the installed package, removes the package
# and checks that none of its files is left.
#
# Prints one line per step; the last is "debian.sh: round trip ok".
# Exits non-zero on the first failure, with a line "debian.sh: ..." that
# says what failed. The package is never left installed: the exit trap
# removes it. Refuses to start when the package is installed already.
#
# Needs root (dpkg -i). The test suite is not run during the build
# (DEB_BUILD_OPTIONS=nocheck); the build uses two jobs.
#
# Usage: scripts/debian.sh
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
pkg=tcl-vantrel

fail() {
    echo "debian.sh: $*" >&2
    exit 1
}

# The package's state in dpkg's database: "not-installed" also when dpkg
# has never heard of it.
pkgstate() {
    dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || echo not-installed
}

[ "$(id -u)" = 0 ] || fail "needs root, to install and remove the package"
"$top/scripts/deps.sh" deb

case $(pkgstate) in
    not-installed|config-files) ;;
    *) fail "$pkg is installed already; remove it first (dpkg -r $pkg)" ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-deb.XXXXXX")
installed=0
. "$top/scripts/privbus.sh"

cleanup() {
    status=$?
    trap - EXIT INT TERM
    privbus_stop
    if [ $installed = 1 ]; then
	echo "debian.sh: removing $pkg again after a failure" >&2
	dpkg --purge "$pkg" > "$work/purge.log" 2>&1 || {
	    cat "$work/purge.log" >&2
	    echo "debian.sh: could not remove $pkg" >&2
	    status=1
	}
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- Build, in a copy of the tree -----------------------------------------
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
upstream=${version%-*}
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
src="$work/vantrel-$upstream"
mkdir "$src"
# The working tree as it is (changes not yet committed included), less
# what git ignores, such as build directories.
if git -C "$top" rev-parse --is-inside-work-tree > /dev/null 2>&1; then
    git -C "$top" ls-files -z --cached --others --exclude-standard |
	(cd "$top" && tar --null -T - --ignore-failed-read -cf - 2>/dev/null) |
	tar -C "$src" -xf -
else
    tar -C "$top" --exclude=./build --exclude='./build-*' \
	--exclude='./obj-*' -cf - . | tar -C "$src" -xf -
fi
[ -x "$src/debian/rules" ] || fail "copying the source tree to $src failed"

(cd "$src" && dpkg-checkbuilddeps) ||
    fail "build dependencies of debian/control are missing: add them to scripts/deps.sh"

echo "building $pkg $version in $src"
if ! (cd "$src" && DEB_BUILD_OPTIONS="nocheck parallel=2" \
	dpkg-buildpackage -us -uc -b) > "$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    fail "dpkg-buildpackage failed (the end of its log is above)"
fi
deb="$work/${pkg}_${version}_$arch.deb"
[ -f "$deb" ] || fail "dpkg-buildpackage made no $(basename "$deb")"
echo "built: $(basename "$deb")"

# --- What the package holds -------------------------------------------------
pkgdir=/usr/lib/tcltk/$multiarch/vantrel$upstream
dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' > "$work/contents"
expect="$pkgdir/libvantrel.so $pkgdir/pkgIndex.tcl
    /usr/share/doc/$pkg/copyright
    /usr/share/doc/$pkg/examples/tour.tcl
    /usr/share/doc/$pkg/examples/tour-client.tcl"
# The manual page, where the tree has one: Debian's section for Tcl
# commands is 3tcl.
if [ -f "$top/doc/dbus.n" ]; then
    expect="$expect /usr/share/man/man3/dbus.3tcl.gz"
fi
for file in $expect; do
    grep -qx "$file" "$work/contents" || fail "the package lacks $file"
    echo "contains: $file"
done

# --- lintian ----------------------------------------------------------------
changes="$work/vantrel_${version}_$arch.changes"
# lintian leaves files of its own in TMPDIR: they go with $work.
mkdir "$work/lintian"
if ! TMPDIR="$work/lintian" lintian --fail-on error "$changes" \
	> "$work/lintian.log" 2>&1; then
    cat "$work/lintian.log" >&2
    fail "lintian reports errors (E: lines above)"
fi
grep -E '^[EW]: ' "$work/lintian.log" || true
echo "lintian: no errors, $(grep -c '^W: ' "$work/lintian.log" || true) warnings"

# --- Install ----------------------------------------------------------------
installed=1
if ! dpkg -i "$deb" > "$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    fail "dpkg -i $(basename "$deb") failed"
fi
[ "$(pkgstate)" = installed ] || fail "$pkg is not installed after dpkg -i"
echo "installed: $pkg $(dpkg-query -W -f='${Version}' "$pkg")"
dpkg -L "$pkg" > "$work/files"

# --- Debian's tclsh finds it, without the build tree -----------------------
empty="$work/empty"
mkdir "$empty"
got=$(cd "$empty" && echo 'puts [package require dbus]' |
	env -u TCLLIBPATH -u VANTREL_BUILD tclsh 2>&1) ||
    fail "package require dbus failed in $empty: $got"
[ "$got" = "$upstream" ] ||
    fail "package require dbus gave \"$got\", not $upstream"
echo "package require dbus: $got"
from=$(cd "$empty" && echo '
	set v [package require vantrel]
	puts "$v [file dirname [lindex [package ifneeded vantrel $v] 1]]"' |
	env -u TCLLIBPATH -u VANTREL_BUILD tclsh 2>&1) ||
    fail "package require vantrel failed in $empty: $from"
[ "$from" = "$upstream $pkgdir" ] ||
    fail "package require vantrel gave \"$from\", not $upstream from $pkgdir"
echo "package require vantrel: $upstream from $pkgdir"
if [ -f "$top/doc/dbus.n" ] && command -v man > /dev/null; then
    page=$(man -w 3tcl dbus 2>&1) || fail "man finds no page dbus(3tcl): $page"
    [ "$page" = /usr/share/man/man3/dbus.3tcl.gz ] ||
	fail "man 3tcl dbus finds $page, not the package's page"
    echo "man 3tcl dbus: $page"
fi

# --- The tour, from the installed examples ----------------------------------
privbus_start
tour=/usr/share/doc/$pkg/examples/tour.tcl
if ! (cd "$empty" && env -u TCLLIBPATH -u VANTREL_BUILD \
	-u DBUS_STARTER_ADDRESS -u DBUS_STARTER_BUS_TYPE \
	DBUS_SESSION_BUS_ADDRESS="$privbus_address" \
	tclsh "$tour") > "$work/tour.log" 2>&1; then
    cat "$work/tour.log" >&2
    fail "the tour failed against the installed package"
fi
privbus_stop
for line in \
    '^  client: Fail -> org\.vantrel\.Tour\.Error\.Refused: not today$' \
    '^  client: got Tick: one two \(as\)$' \
    '^  signal from :[0-9.]+: thanks for the tour$' \
    '^after close: not connected \(DBUS INFO CONNECTION\)$'
do
    grep -Eq "$line" "$work/tour.log" || {
	cat "$work/tour.log" >&2
	fail "the tour's output lacks a line matching $line"
    }
done
echo "tour: $(grep -c '^  client: ' "$work/tour.log") client lines, ended with: $(tail -n 1 "$work/tour.log")"

# --- Remove -----------------------------------------------------------------
if ! dpkg -r "$pkg" > "$work/remove.log" 2>&1; then
    cat "$work/remove.log" >&2
    fail "dpkg -r $pkg failed"
fi
installed=0
case $(pkgstate) in
    not-installed|config-files) ;;
    *) fail "$pkg is still $(pkgstate) after dpkg -r" ;;
esac
# Every file is gone; a directory may stay only when another package
# owns it too.
count=0
while IFS= read -r path; do
    [ "$path" = /. ] && continue
    if [ -d "$path" ] && [ ! -L "$path" ]; then
	dpkg -S "$path" > /dev/null 2>&1 ||
	    fail "dpkg -r left the directory $path"
    else
	if [ -e "$path" ] || [ -L "$path" ]; then
	    fail "dpkg -r left $path"
	fi
	count=$((count + 1))
    fi
done < "$work/files"
[ "$count" -gt 0 ] || fail "dpkg -L $pkg listed no files"
echo "removed: $count files, none left"
echo "debian.sh: round trip ok"
