// Texts that reach a person come from the service's string table, looked up by identifier at
// the moment they are needed; a missing entry reads as the empty text.
#ifndef ORCHEL_FRAMEWORK_SERVICE_MESSAGES_H
#define ORCHEL_FRAMEWORK_SERVICE_MESSAGES_H

#include <initializer_list>

#include "orchel/wintypes.h"
#include "port/wide_format.h"

namespace orchel {

// Buffer capacities, in characters including the NUL, per use of a message.
inline constexpr int kStatusMessageCapacity = 260;  // job-status and download-status messages
inline constexpr int kMailTextCapacity = 256;       // e-mail titles, headings, subjects
inline constexpr int kMailLongTextCapacity = 1024;  // e-mail introductions
inline constexpr int kPatchTypeNameCapacity = 50;
inline constexpr int kTableCellCapacity = 25;  // e-mail table headings and status cells
inline constexpr int kReleaseWordCapacity = 10;

// Clears `buffer` and copies message `id` of the service's table into it, cut to
// capacity-1 characters.
void LoadServiceMessage(UINT id, wchar_t* buffer, int capacity);

// Loads message `id` as a format (with the same capacity) and fills its placeholders
// with `args`, in order; the result is cut to capacity-1 characters. The arguments are typed,
// so a table whose placeholders do not fit them yields empty placeholders, never a crash.
void FormatServiceMessage(UINT id, wchar_t* buffer, int capacity,
                          std::initializer_list<port::FormatArg> args);

}  // namespace orchel

#endif  // ORCHEL_FRAMEWORK_SERVICE_MESSAGES_H
