/*
 * package.hpp --
 *
 *	What the files of the package subsystem share among themselves:
 *	the step that removes a connection from its interpreter's tables,
 *	used by the teardown. Nothing below this subsystem includes it.
 */

#ifndef VANTREL_PACKAGE_HPP
#define VANTREL_PACKAGE_HPP

#include "vantrel.h"

namespace vantrel {

/*
 * Removes a connection from the interpreter's busId table and, when it
 * is its bus type's default connection there, from the defaults. The
 * connection's record and its libdbus reference stay.
 */
void ForgetConnection(Tcl_Interp *interp, DBusConnection *conn);

} // namespace vantrel

#endif
