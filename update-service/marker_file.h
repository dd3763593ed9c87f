// The marker file that carries the application path from commit-installation
// (local system) to the waiting clone (the user).
//
// Format: one line, the application path followed by CR LF. A path whose
// characters all fit in one byte is stored as ISO 8859-1; any other path is
// stored as a UTF-8 byte-order mark followed by UTF-8, which no Latin-1 path
// can begin with.
#pragma once

#include <windows.h>

#include "explicit_security.h"
#include "marker_line.h"

// Reads the first line of the marker into path (units, terminator included),
// by the rules of parseMarkerLine, once the file itself is trusted.
MarkerRead readMarkerFile(const wchar_t* markerPath, wchar_t* path, DWORD units);

// The marker's descriptor: a protected DACL with full control for local
// system and Administrators and read access for Users.
SecurityStep buildMarkerSecurity(ExplicitSecurity& security);

// Creates the marker afresh with buildMarkerSecurity's descriptor (never
// through a file or link placed there before) and writes the path into it. 0 on success, otherwise a Win32 error.
DWORD writeMarkerFile(const wchar_t* markerPath, const wchar_t* applicationPath);

// Whether a marker owned by owner may be trusted by the user self: only local
// system, the Administrators group and the user itself can have written it.
bool isTrustedMarkerOwner(PSID owner, PSID self);
