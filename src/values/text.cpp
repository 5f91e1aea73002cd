/*
 * text.cpp --
 *
 *	D-Bus text to and from Tcl strings. Tcl keeps strings in its own
 *	variant of UTF-8 (NUL as C0 80); D-Bus wants standard UTF-8 without
 *	NUL. Plain ASCII is the same in both and skips the conversion.
 */

#include <cstdint>
#include <cstring>
#include "values/values.hpp"

namespace {

constexpr std::uint64_t ones = 0x0101010101010101u;
constexpr std::uint64_t highs = 0x8080808080808080u;

/* True when one of the eight bytes of w is zero. */
inline bool
HasZeroByte(std::uint64_t w)
{
    return ((w - ones) & ~w & highs) != 0;
}

/*
 * True when no byte of the text is above 127, for text measured with
 * strlen, which holds no zero byte.
 */
bool
NoHighBit(const char *text, size_t length) noexcept
{
    const char *p = text;
    const char *end = text + length;
    for (; static_cast<size_t>(end - p) >= 32; p += 32) {
	std::uint64_t w[4];
	std::memcpy(w, p, sizeof w);
	if (((w[0] | w[1] | w[2] | w[3]) & highs) != 0) {
	    return false;
	}
    }
    for (; static_cast<size_t>(end - p) >= 8; p += 8) {
	std::uint64_t w;
	std::memcpy(&w, p, sizeof w);
	if ((w & highs) != 0) {
	    return false;
	}
    }
    unsigned char rest = 0;
    for (; p < end; p++) {
	rest |= static_cast<unsigned char>(*p);
    }
    return rest < 0x80;
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * Utf8Encoding --
 *
 *	Returns the "utf-8" encoding. The handle is taken once (C++ makes
 *	the initialisation thread safe) and never released, so the
 *	encoding lives as long as the process.
 *
 *----------------------------------------------------------------------
 */

Tcl_Encoding
Utf8Encoding() noexcept
{
    static const Tcl_Encoding utf8 = Tcl_GetEncoding(NULL, "utf-8");
    return utf8;
}

/*
 *----------------------------------------------------------------------
 *
 * IsAscii --
 *
 *	Tells whether length bytes of text are all between 1 and 127.
 *
 *----------------------------------------------------------------------
 */

bool
IsAscii(const char *text, int length) noexcept
{
    /* Sixteen bytes at a time: any high bit, or any zero byte. */
    const char *p = text;
    const char *end = text + length;
    for (; end - p >= 16; p += 16) {
	std::uint64_t a, b;
	std::memcpy(&a, p, sizeof a);
	std::memcpy(&b, p + 8, sizeof b);
	if (((a | b) & highs) != 0 || HasZeroByte(a) || HasZeroByte(b)) {
	    return false;
	}
    }
    for (; p < end; p++) {
	unsigned char c = static_cast<unsigned char>(*p);
	if (c == 0 || c >= 0x80) {
	    return false;
	}
    }
    return true;
}

/*
 *----------------------------------------------------------------------
 *
 * NewUtf8Obj --
 *
 *	Makes a Tcl string from text that libdbus validated as UTF-8.
 *
 * Results:
 *	A new object with ref count 0.
 *
 *----------------------------------------------------------------------
 */

Tcl_Obj *
NewUtf8Obj(const char *text) noexcept
{
    int length = static_cast<int>(std::strlen(text));
    if (NoHighBit(text, static_cast<size_t>(length))) {
	return Tcl_NewStringObj(text, length);
    }
    Tcl_DString ds;
    Tcl_ExternalToUtfDString(Utf8Encoding(), text, length, &ds);
    Tcl_Obj *obj = Tcl_NewStringObj(Tcl_DStringValue(&ds),
	    Tcl_DStringLength(&ds));
    Tcl_DStringFree(&ds);
    return obj;
}

/*
 *----------------------------------------------------------------------
 *
 * ExternalText::From --
 *
 *	Takes the string of value in external UTF-8: in place when it is
 *	plain ASCII, converted into the record's buffer otherwise. The
 *	value must outlive the record.
 *
 *----------------------------------------------------------------------
 */

void
ExternalText::From(Tcl_Obj *value) noexcept
{
    int size;
    const char *text = Tcl_GetStringFromObj(value, &size);
    if (IsAscii(text, size)) {
	bytes = text;
	length = size;
	return;
    }
    Tcl_UtfToExternalDString(Utf8Encoding(), text, size, &buffer);
    converted = true;
    bytes = Tcl_DStringValue(&buffer);
    length = Tcl_DStringLength(&buffer);
}

/*
 *----------------------------------------------------------------------
 *
 * ExternalText::Problem --
 *
 *	Checks the converted text the way libdbus will: no zero byte (a
 *	Tcl NUL character becomes one, and libdbus would silently cut the
 *	string there) and valid UTF-8 (libdbus aborts the process on
 *	anything else, such as an unpaired surrogate).
 *
 * Results:
 *	NULL when the text can be sent, else a message.
 *
 *----------------------------------------------------------------------
 */

const char *
ExternalText::Problem(const char **kind) const noexcept
{
    if (!converted) {
	return NULL;
    }
    if (std::memchr(bytes, 0, static_cast<size_t>(length)) != NULL) {
	*kind = "NUL";
	return "string contains a NUL character";
    }
    if (!dbus_validate_utf8(bytes, NULL)) {
	*kind = "UTF8";
	return "string is not valid UTF-8";
    }
    return NULL;
}

} // namespace vantrel
