// Scoped ownership of the XML family's handles: each is given back with its own Job...Destroy
// function on every path out of the code that took it.
#ifndef ORCHEL_PLATFORM_XML_HANDLE_H
#define ORCHEL_PLATFORM_XML_HANDLE_H

#include "platform/xml_document.h"

namespace orchel {

template <int (*Destroy)(void*)>
class ScopedXmlHandle {
public:
    explicit ScopedXmlHandle(void* handle = nullptr) : handle_(handle) {}
    ~ScopedXmlHandle() { Reset(); }
    ScopedXmlHandle(const ScopedXmlHandle&) = delete;
    ScopedXmlHandle& operator=(const ScopedXmlHandle&) = delete;
    ScopedXmlHandle(ScopedXmlHandle&& other) noexcept : handle_(other.Release()) {}
    ScopedXmlHandle& operator=(ScopedXmlHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    void* Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void* Release() {
        void* handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void Reset(void* handle = nullptr) {
        if (handle_ != nullptr) {
            Destroy(handle_);
        }
        handle_ = handle;
    }

private:
    void* handle_;
};

using XmlDocument = ScopedXmlHandle<JobDestroyDocument>;
using XmlElement = ScopedXmlHandle<JobDestroyElement>;
using XmlAttribute = ScopedXmlHandle<JobDestroyAttribute>;

}  // namespace orchel

#endif  // ORCHEL_PLATFORM_XML_HANDLE_H
