#!/bin/sh
# Installs the Debian packages the build, the tests and the tour need,
# each only when it is missing.
set -eu
need=""
for pkg in cmake g++ make pkg-config tcl tcl-dev libdbus-1-dev libexpat1-dev \
	dbus-daemon dbus-bin python3 python3-dbus python3-gi python3-dbusmock \
	tcl-thread libglib2.0-bin util-linux procps playerctl; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed"; then
	need="$need $pkg"
    fi
done
if [ -n "$need" ]; then
    echo "installing:$need"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq $need
fi
