// Values placed into selection expressions. An XPath 1.0 literal has no escapes: a value is
// quoted with whichever quote it does not contain, and a value that holds both can match no
// quoted literal at all. Placing values this way keeps a name such as "x' or '1'='1" from
// changing what an expression selects.
#ifndef ORCHEL_PLATFORM_XML_QUERY_H
#define ORCHEL_PLATFORM_XML_QUERY_H

#include <optional>
#include <string>
#include <string_view>

namespace orchel {

inline std::optional<std::wstring> XPathLiteral(std::wstring_view value) {
    const wchar_t quote = value.find(L'\'') == std::wstring_view::npos ? L'\'' : L'"';
    if (value.find(quote) != std::wstring_view::npos) {
        return std::nullopt;
    }
    std::wstring literal(1, quote);
    literal.append(value);
    literal.push_back(quote);
    return literal;
}

}  // namespace orchel

#endif  // ORCHEL_PLATFORM_XML_QUERY_H
