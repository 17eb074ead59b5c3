// Job reporting as the commands use it: a record local to the command, filled with bounded
// copies and handed to the service's callback.
#ifndef ORCHEL_FRAMEWORK_JOB_INFO_H
#define ORCHEL_FRAMEWORK_JOB_INFO_H

#include <string_view>

#include "orchel/command.h"
#include "port/text.h"

namespace orchel {

// Copies a text into a record field, cut to the field's capacity.
template <std::size_t Capacity>
void SetJobText(wchar_t (&field)[Capacity], std::wstring_view text) {
    port::BoundedCopy(field, Capacity, text);
}

template <std::size_t Capacity>
void SetJobText(wchar_t (&field)[Capacity], const wchar_t* text) {
    port::BoundedCopy(field, Capacity, text);
}

// Hands the record to the service's callback. Without a callback the record goes nowhere
// instead of crashing the service.
void NotifyService(JobInfo& record);

}  // namespace orchel

#endif  // ORCHEL_FRAMEWORK_JOB_INFO_H
