/*
 * await.hpp --
 *
 *	The coroutine half of WaitReply (wait.cpp), done in await.cpp.
 *	Private to the outgoing folder.
 */

#ifndef VANTREL_AWAIT_HPP
#define VANTREL_AWAIT_HPP

#include "outgoing/outgoing.hpp"

namespace vantrel {

/*
 * The command of the coroutine the interpreter is running in, or null
 * outside any coroutine.
 */
Tcl_Command CurrentCoroutine(Tcl_Interp *interp);

/*
 * Sends msg (stolen) and suspends the coroutine until its reply
 * (outgoing.hpp, WaitReply). To be returned from a command's NR
 * procedure, inside that coroutine.
 *
 * Results:
 *	The NR result of the yield; the command's own result comes from
 *	finish once the coroutine is resumed.
 */
int AwaitReply(Tcl_Interp *interp, Tcl_Command coroutine,
	DBusConnection *conn, MessagePtr msg, int timeout, AwaitFinish finish,
	ReplyTaken taken);

} // namespace vantrel

#endif
