/*
 * callresult.hpp --
 *
 *	Bookkeeping of asynchronous method calls that have not completed,
 *	shared by the call command and the teardown of a connection. Not
 *	exported from the library.
 */

#ifndef VANTREL_CALLRESULT_HPP
#define VANTREL_CALLRESULT_HPP

#include "vantrel.h"

namespace vantrel {

/*
 * Records an asynchronous call whose notification DBus_CallResult will
 * run with the call record. The pending call reference is the one the
 * call command handed over to DBus_CallResult.
 */
void TrackCall(DBusPendingCall *pending, DBusCallData *call);

/* Drops the record of a call that completed or was never sent. */
void ForgetCall(DBusPendingCall *pending);

/*
 * Releases every call of the connection that is still outstanding: the
 * call is cancelled, its record, script and pending call freed, and its
 * handler never runs. libdbus does not complete such calls when the
 * connection is closed, so the teardown of a connection must.
 */
void AbandonCalls(DBusConnection *conn);

} // namespace vantrel

#endif
