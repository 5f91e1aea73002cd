/*
 * local.hpp --
 *
 *	The object path and interface that libdbus reserves for messages
 *	about a connection itself. They never go out on the wire: the bus
 *	closes a connection that sends a message with either of them.
 */

#ifndef VANTREL_LOCAL_HPP
#define VANTREL_LOCAL_HPP

#include <cstring>
#include "vantrel.h"

namespace vantrel {

/*
 * Returns NULL when neither the path nor the interface (either may be
 * NULL) is the reserved one, else the message for the script, with the
 * errorCode word ("PATH" or "INTERFACE") in *kind.
 */
inline const char *
LocalHeader(const char *path, const char *intf, const char **kind) noexcept
{
    if (path != NULL && std::strcmp(path, DBUS_PATH_LOCAL) == 0) {
	*kind = "PATH";
	return "path is reserved for the local connection";
    }
    if (intf != NULL && std::strcmp(intf, DBUS_INTERFACE_LOCAL) == 0) {
	*kind = "INTERFACE";
	return "interface is reserved for the local connection";
    }
    return NULL;
}

} // namespace vantrel

#endif
