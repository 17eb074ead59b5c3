// Stand-in for the string resources of the service module. The service ships its string table
// as the UTF-8 file "RemedorService.strings" in its folder, one entry per line:
//   <decimal identifier>=<text>
// Lines starting with '#' are comments; in the text, \n, \t and \\ stand for a line break, a
// tab and a backslash. A malformed line is skipped; the first entry for an identifier wins.
// The file is read afresh at each call.
#ifndef ORCHEL_PORT_STRING_TABLE_H
#define ORCHEL_PORT_STRING_TABLE_H

#include "orchel/wintypes.h"

namespace port {

inline constexpr const char* kServiceStringTableFile = "RemedorService.strings";

// Copies the text with identifier `id` of the module's table (a null module is the process's) into
// `buffer`, cut to capacity-1 characters and terminated. Returns the number of characters stored; 0
// when the module, the table or the entry is missing (the buffer then holds the empty text).
int LoadStringW(HMODULE module, UINT id, wchar_t* buffer, int capacity);

}  // namespace port

#endif  // ORCHEL_PORT_STRING_TABLE_H
