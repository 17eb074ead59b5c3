// Builds the catalogue module: a resource-only DLL whose one resource, of the named type
// "XML" with the identifier 101, holds the catalogue XML. Publishers sign the module
// afterwards (osslsigncode), which appends a certificate table to it.
#ifndef ORCHEL_TOOLS_CATALOGUE_MODULE_H
#define ORCHEL_TOOLS_CATALOGUE_MODULE_H

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "orchel/wintypes.h"

namespace orchel_tools {

// The largest resource packed; the module reader refuses larger files anyway.
inline constexpr std::size_t kMaxCatalogueSize = 32u * 1024u * 1024u;

// What the module's resource tree and headers carry. The defaults give the catalogue module;
// the other values exist so that tests can build the variants a reader must tell apart.
struct CatalogueModuleLayout {
    std::u16string TypeName = u"XML";
    WORD ResourceId = 101;
    WORD Language = 0x409;  // English (United States)
    bool Pe32Plus = false;  // PE32 for i386 by default; PE32+ for x64
};

// The bytes of the module holding `data` as its resource; nothing when the data is larger
// than kMaxCatalogueSize or the type name is empty or longer than 64 characters.
std::optional<std::vector<BYTE>> BuildCatalogueModule(std::span<const BYTE> data,
                                                      const CatalogueModuleLayout& layout = {});

}  // namespace orchel_tools

#endif  // ORCHEL_TOOLS_CATALOGUE_MODULE_H
