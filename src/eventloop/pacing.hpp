/*
 * pacing.hpp --
 *
 *	The per-connection record of dispatch pacing (dispatch.cpp), as
 *	the attach step (attach.cpp) installs and retires it. Private to
 *	the event-loop folder.
 */

#ifndef VANTREL_PACING_HPP
#define VANTREL_PACING_HPP

#include "vantrel.h"

namespace vantrel {

/*
 * Gives conn its pacing record, owned by libdbus (freed with the
 * connection). False when libdbus lacks memory.
 */
bool AttachPacing(DBusConnection *conn);

/* From now on nothing schedules a dispatch of conn. */
void DetachPacing(DBusConnection *conn);

} // namespace vantrel

#endif
