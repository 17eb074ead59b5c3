#include "platform/client_file.h"

#include <vector>

#include "orchel/globals.h"
#include "platform/xml_query.h"
#include "port/text.h"
#include "port/wide_format.h"

namespace orchel {

std::optional<std::wstring> AttributeText(void* element, const wchar_t* name,
                                          std::size_t capacity) {
    XmlAttribute attribute(JobGetElementAttributeByName(element, name));
    std::vector<wchar_t> value(capacity);
    DWORD size = static_cast<DWORD>(capacity);
    if (!attribute || JobGetAttributeValue(attribute.Get(), value.data(), &size) == 0) {
        return std::nullopt;
    }
    return std::wstring(value.data());
}

std::optional<std::wstring> ChildElementText(void* element, const wchar_t* name,
                                             std::size_t capacity) {
    XmlElement child(JobGetElementChildByName(element, name));
    std::vector<wchar_t> value(capacity);
    DWORD size = static_cast<DWORD>(capacity);
    if (!child || JobGetElementValue(child.Get(), value.data(), &size) == 0) {
        return std::nullopt;
    }
    return std::wstring(value.data());
}

XmlElement FindProductElement(void* document) {
    const std::wstring_view product(
        gszCurrentProduct, port::BoundedLength(gszCurrentProduct, ORCHEL_PRODUCT_NAME_CAPACITY));
    const std::optional<std::wstring> productName = XPathLiteral(product);
    if (!productName) {
        return XmlElement();
    }
    const std::wstring query =
        port::FormatWideString(L"/client/product[@Name=%s]", productName->c_str());
    return XmlElement(JobGetElement(document, query.c_str()));
}

XmlElement FindProtocolElement(void* downloadInfo, const wchar_t* protocol) {
    const int childCount = JobGetElementChildCount(downloadInfo);
    for (int index = 0; index < childCount; ++index) {
        XmlElement child(JobGetElementChild(downloadInfo, index));
        if (!child) {
            continue;
        }
        const std::optional<std::wstring> name =
            AttributeText(child.Get(), L"Name", kProtocolNameCapacity);
        if (name && port::EqualsIgnoreCase(*name, protocol)) {
            return child;
        }
    }
    return XmlElement();
}

}  // namespace orchel
