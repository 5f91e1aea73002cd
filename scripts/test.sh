#!/bin/sh
# Builds the extension and runs the whole test suite against private
# message buses. Ends with one line "N passed, M failed"; exits non-zero
# on any failure.
#
# Usage: scripts/test.sh ?--sanitize? ?--broker? ?all.tcl options...?
#   --sanitize   build with AddressSanitizer and UndefinedBehaviorSanitizer
#                (into build-asan) and run the suite under them.
#   --broker     run the suite against dbus-broker instead of dbus-daemon
#                (the same as VANTREL_BUS=broker); installs dbus-broker
#                when missing. Needs root, for the private journal that
#                tests/broker_launch.py gives each bus, unless the machine
#                runs a journal of its own.
#
# Where the machine allows it, the suite runs in a private mount namespace
# with a tmpfs over the system bus socket's directory, so that a private
# system bus can listen at the fixed system address without touching the
# machine's own.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

sanitize=0
for arg in "$@"; do
    case $arg in
	--sanitize) sanitize=1 ;;
	--broker) VANTREL_BUS=broker; export VANTREL_BUS ;;
    esac
done

if [ "${VANTREL_IN_NAMESPACE:-}" != 1 ]; then
    if [ "${VANTREL_BUS:-}" = broker ]; then
	"$top/scripts/deps.sh" broker tk
    else
	"$top/scripts/deps.sh" tk
    fi
    if [ $sanitize = 1 ]; then
	"$top/scripts/build.sh" "$top/build-asan" -DVANTREL_SANITIZE=ON \
	    -DCMAKE_BUILD_TYPE=Debug
    else
	"$top/scripts/build.sh" "$top/build"
    fi
    mkdir -p /run/dbus 2>/dev/null || true
    if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
	VANTREL_IN_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
    fi
    echo "note: no private mount namespace here; system bus tests are skipped"
fi

# The rest goes to all.tcl.
for arg in "$@"; do
    shift
    case $arg in
	--sanitize|--broker) ;;
	*) set -- "$@" "$arg" ;;
    esac
done

build="$top/build"
if [ $sanitize = 1 ]; then
    build="$top/build-asan"
    LD_PRELOAD=$(g++ -print-file-name=libasan.so)
    export LD_PRELOAD
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:exitcode=86
    LSAN_OPTIONS=suppressions="$top/tests/lsan.supp":print_suppressions=0
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
fi

if [ "${VANTREL_IN_NAMESPACE:-}" = 1 ]; then
    sysdir=$(readlink -f /var/run/dbus 2>/dev/null || echo /var/run/dbus)
    mkdir -p "$sysdir"
    if mount -t tmpfs -o mode=755 vantrel-test "$sysdir" 2>/dev/null; then
	VANTREL_PRIVATE_SYSTEM_BUS=1
	export VANTREL_PRIVATE_SYSTEM_BUS
    else
	echo "note: cannot mount a private $sysdir; system bus tests are skipped"
    fi
fi

exec tclsh "$top/tests/all.tcl" -build "$build" "$@"
