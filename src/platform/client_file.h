// Reading the client file ORVClient.xml: the product's element and the protocol element of
// its downloadinfo, shared by the path functions and the HTTP downloader.
#ifndef ORCHEL_PLATFORM_CLIENT_FILE_H
#define ORCHEL_PLATFORM_CLIENT_FILE_H

#include <cstddef>
#include <optional>
#include <string>

#include "platform/xml_handle.h"

namespace orchel {

// Width of a protocol element's Name attribute as read.
inline constexpr std::size_t kProtocolNameCapacity = 10;

// The text of an element's attribute, read into `capacity` characters; none when missing.
std::optional<std::wstring> AttributeText(void* element, const wchar_t* name, std::size_t capacity);

// The text of the child element `name`, read into `capacity` characters; none when missing.
std::optional<std::wstring> ChildElementText(void* element, const wchar_t* name,
                                             std::size_t capacity);

// The element "/client/product[@Name=...]" of the current product (gszCurrentProduct, read
// no further than its field); the name is quoted so it cannot change the selection.
XmlElement FindProductElement(void* document);

// The first child of downloadinfo whose Name equals the protocol (ASCII case ignored). When
// none matches there is none: another protocol's element would name the wrong server or folder.
XmlElement FindProtocolElement(void* downloadInfo, const wchar_t* protocol);

}  // namespace orchel

#endif  // ORCHEL_PLATFORM_CLIENT_FILE_H
