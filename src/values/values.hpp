/*
 * values.hpp --
 *
 *	What the value subsystem offers its neighbours besides the exported
 *	marshalling routines of vantrel.h: conversion of D-Bus text (UTF-8)
 *	to and from Tcl strings, with the checks libdbus would otherwise
 *	abort on. Not exported from the library.
 */

#ifndef VANTREL_VALUES_HPP
#define VANTREL_VALUES_HPP

#include "vantrel.h"

namespace vantrel {

/*
 * Marshalling mode bits. MARSHAL_STRICT: every variant must be written
 * {signature value}. MARSHAL_RANGE: integers out of their type's range
 * are refused instead of cut to its width (for values typed by
 * declarations or introspection).
 */
constexpr int MARSHAL_STRICT = 1;
constexpr int MARSHAL_RANGE = 2;

/* The mode bits the connection's settings ask for (MARSHAL_STRICT). */
int ConnMode(DBusConnection *conn) noexcept;

/*
 * DBus_AppendArgs and DBus_BasicArg with mode bits; the exported ones
 * use no bits beyond the connection's.
 */
int AppendArgs(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessage *msg, const char *signature, int objc,
	Tcl_Obj *const objv[], int mode);
int BasicArg(Tcl_Interp *interp, const char *tag, DBusMessageIter *iter,
	int type, Tcl_Obj *arg, int mode);

/*
 * The "utf-8" encoding, looked up once per process and held for its
 * lifetime: every string argument would otherwise pay a lookup.
 */
Tcl_Encoding Utf8Encoding() noexcept;

/* True when every byte of the text is 7-bit ASCII (and non-zero). */
bool IsAscii(const char *text, int length) noexcept;

/*
 * Makes a new string object (ref count 0) from UTF-8 text received from
 * libdbus.
 */
Tcl_Obj *NewUtf8Obj(const char *text) noexcept;

/*
 * The external UTF-8 form of a Tcl value's string, as libdbus wants it.
 * Plain ASCII text is used in place; anything else is converted into the
 * buffer, which is freed with the record.
 */
struct ExternalText {
    const char *bytes = nullptr;	/* The converted text. */
    int length = 0;			/* Its length in bytes. */
    bool converted = false;		/* buffer is in use. */
    Tcl_DString buffer;

    ExternalText() noexcept = default;
    ~ExternalText() { if (converted) Tcl_DStringFree(&buffer); }
    ExternalText(const ExternalText &) = delete;
    ExternalText &operator=(const ExternalText &) = delete;

    /* Converts the string of value. */
    void From(Tcl_Obj *value) noexcept;

    /*
     * What libdbus would refuse (and abort on): NULL when the text is
     * fit to send, else the reason, a message for the script, with the
     * errorCode word for it in *kind ("NUL" or "UTF8").
     */
    const char *Problem(const char **kind) const noexcept;
};

} // namespace vantrel

#endif
