// The service's messages as the library loads them, for tests that compare status records.
#ifndef ORCHEL_TESTS_SERVICE_TEXTS_H
#define ORCHEL_TESTS_SERVICE_TEXTS_H

#include <string>

#include "framework/service_messages.h"

namespace testsupport {

inline std::wstring Message(UINT id) {
    wchar_t text[orchel::kStatusMessageCapacity];
    orchel::LoadServiceMessage(id, text, orchel::kStatusMessageCapacity);
    return text;
}

inline std::wstring Message(UINT id, port::FormatArg argument) {
    wchar_t text[orchel::kStatusMessageCapacity];
    orchel::FormatServiceMessage(id, text, orchel::kStatusMessageCapacity, {argument});
    return text;
}

}  // namespace testsupport

#endif  // ORCHEL_TESTS_SERVICE_TEXTS_H
