/*
 * fdchannels.cpp --
 *
 *	The lifetime of the channels made for a handler script from the
 *	descriptors of a received message: they are the script's while it
 *	runs, and afterwards only if it kept them, so that descriptors a
 *	peer sends to a script that ignores them are closed again.
 */

#include "values/values.hpp"

namespace vantrel {

/*
 * Closed --
 *
 *	Close handler of a recorded channel: notes that the channel is
 *	gone, so that Settle leaves it alone.
 */
void
FdChannels::Closed(ClientData data)
{
    static_cast<Made *>(data)->closed = true;
}

void
FdChannels::Add(Tcl_Obj *name, Tcl_Channel chan)
{
    auto made = std::make_unique<Made>(Made{name, chan, false});
    Tcl_IncrRefCount(name);
    Tcl_CreateCloseHandler(chan, Closed, made.get());
    made_.push_back(std::move(made));
}

/*
 * Settle --
 *
 *	Closes each recorded channel that is still open, still registered
 *	in interp and whose name value nobody but this record references,
 *	and forgets every record.
 *
 * Side effects:
 *	Unregisters those channels from interp, which closes them unless
 *	the script shared them with another interpreter.
 */
void
FdChannels::Settle(Tcl_Interp *interp)
{
    for (auto &made : made_) {
	if (made->closed) {
	    continue;
	}
	Tcl_DeleteCloseHandler(made->chan, Closed, made.get());
	bool kept = made->name->refCount > 1;
	if (!kept && !Tcl_InterpDeleted(interp)
		&& Tcl_IsChannelRegistered(interp, made->chan)) {
	    Tcl_UnregisterChannel(interp, made->chan);
	}
	made->closed = true;
    }
    for (auto &made : made_) {
	Tcl_DecrRefCount(made->name);
    }
    made_.clear();
}

/*
 * Release --
 *
 *	The destructor's work where channels were made: forgets the
 *	records without closing anything.
 */
void
FdChannels::Release() noexcept
{
    for (auto &made : made_) {
	if (!made->closed) {
	    Tcl_DeleteCloseHandler(made->chan, Closed, made.get());
	}
	Tcl_DecrRefCount(made->name);
    }
}

} // namespace vantrel
