// The native path separator. Every rule of the library written for the Windows backslash
// (trailing separator, last separator, doubled separator) applies to it.
#ifndef ORCHEL_PORT_PATH_H
#define ORCHEL_PORT_PATH_H

namespace port {

inline constexpr wchar_t kPathSeparator = L'/';
inline constexpr const wchar_t* kPathSeparatorText = L"/";

}  // namespace port

#endif  // ORCHEL_PORT_PATH_H
