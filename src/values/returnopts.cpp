/*
 * returnopts.cpp --
 *
 *	The header dict of a synchronous call's reply as the return options
 *	of the command.
 *
 *	Tcl_SetReturnOptions copies every pair it is given into a dict of
 *	its own, which the next command frees: thirteen hashed insertions and
 *	deletions per call, more than a third of what the call adds to
 *	libdbus's own work. The interpreter only keeps that dict, so where
 *	Tcl's private header is at hand the cached header dict is installed
 *	directly in its place, as a reference like any other: the next
 *	Tcl_ResetResult lets it go, and catch and try copy it as they copy
 *	any return options.
 *
 *	Tcl's interpreter record is private to Tcl. The first use checks
 *	that Tcl is of the version the header came with and, on a real
 *	interpreter, that the field this relies on behaves as
 *	described (empty after a reset, filled by Tcl_SetReturnOptions with
 *	the given pairs, emptied by the next reset); if it does not, every
 *	call takes the public route.
 */

#include <atomic>
#include "values/values.hpp"

#ifdef VANTREL_TCL_INTERNALS
#include <tclInt.h>
#endif

namespace {

#ifdef VANTREL_TCL_INTERNALS

enum Verdict { UNTRIED, DIRECT, PUBLIC };
std::atomic<int> verdict{UNTRIED};

Tcl_Obj **
OptionsField(Tcl_Interp *interp)
{
    return &reinterpret_cast<Interp *>(interp)->returnOpts;
}

/*
 * True when the field behaves as Tcl's own code of 8.6 has it, in the
 * version of Tcl the private header came with: another version may lay
 * the record out otherwise.
 */
bool
FieldBehaves(Tcl_Interp *interp)
{
    int major, minor;
    Tcl_GetVersion(&major, &minor, NULL, NULL);
    if (major != TCL_MAJOR_VERSION || minor != TCL_MINOR_VERSION) {
	return false;
    }
    Tcl_InterpState saved = Tcl_SaveInterpState(interp, TCL_OK);
    Tcl_ResetResult(interp);
    Tcl_Obj **field = OptionsField(interp);
    bool ok = *field == NULL;
    if (ok) {
	Tcl_Obj *pair[2] = {
	    Tcl_NewStringObj("-vantrel-probe", -1), Tcl_NewObj()
	};
	Tcl_Obj *probe = Tcl_NewListObj(2, pair);
	Tcl_IncrRefCount(probe);
	Tcl_SetReturnOptions(interp, probe);
	Tcl_Obj *held = *field;
	Tcl_Obj *value = NULL;
	ok = held != NULL && held->refCount >= 1
		&& Tcl_DictObjGet(NULL, held, pair[0], &value) == TCL_OK
		&& value == pair[1];
	Tcl_ResetResult(interp);
	ok = ok && *field == NULL;
	Tcl_DecrRefCount(probe);
    }
    Tcl_RestoreInterpState(interp, saved);
    return ok;
}

bool
Direct(Tcl_Interp *interp)
{
    int v = verdict.load(std::memory_order_relaxed);
    if (v == UNTRIED) {
	v = FieldBehaves(interp) ? DIRECT : PUBLIC;
	verdict.store(v, std::memory_order_relaxed);
    }
    return v == DIRECT;
}

#endif

} // namespace

/*
 * SetReturnHeader --
 *
 *	The reply's header dict as the return options (values.hpp). The
 *	interpreter must have been reset.
 */
void
vantrel::SetReturnHeader(Tcl_Interp *interp, DBusMessage *reply)
{
    Tcl_Obj *header = HeaderDict(HEADER_REPLY, reply);
#ifdef VANTREL_TCL_INTERNALS
    if (Direct(interp)) {
	Tcl_Obj **field = OptionsField(interp);
	Tcl_IncrRefCount(header);
	if (*field != NULL) {
	    Tcl_DecrRefCount(*field);
	}
	*field = header;
	return;
    }
#endif
    /*
     * Tcl reads the options as a list: a copy of the pairs spares the
     * cached dict the conversion.
     */
    Tcl_Obj *flat = Tcl_NewListObj(0, NULL);
    Tcl_Obj *key, *value;
    Tcl_DictSearch search;
    int done;
    for (Tcl_DictObjFirst(NULL, header, &search, &key, &value, &done);
	    !done; Tcl_DictObjNext(&search, &key, &value, &done)) {
	Tcl_ListObjAppendElement(NULL, flat, key);
	Tcl_ListObjAppendElement(NULL, flat, value);
    }
    Tcl_DictObjDone(&search);
    Tcl_IncrRefCount(flat);
    Tcl_SetReturnOptions(interp, flat);
    Tcl_DecrRefCount(flat);
}
