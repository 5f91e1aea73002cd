/*
 * names.cpp --
 *
 *	The process-wide names every floor of the library uses: the libdbus
 *	data slot that holds each connection's record, the first word of
 *	every errorCode, and the names of the well-known buses; and the
 *	thread's last record lookup (common.hpp).
 */

#include "common.hpp"

extern "C" {
VANTREL_EXPORT dbus_int32_t dataSlot = -1;
VANTREL_EXPORT const char *libname = "DBUS";
VANTREL_EXPORT const char *busnames[] = {"session", "system", "starter", NULL};
}

namespace vantrel {

thread_local LastRecord lastRecord;

/* A record is being freed: a lookup must not find it here any more. */
void
ForgetLastRecord(const DBusConnData *cd) noexcept
{
    if (lastRecord.cd == cd) {
	lastRecord = LastRecord();
    }
}

} // namespace vantrel
