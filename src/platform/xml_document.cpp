// The XML family on libxml2.
//
// A handle is a small heap object holding a shared owner of its document and one node of it
// (the document's own node for a document handle), so the document lives until its last
// handle goes. libxml2 frees a node only with its tree; a node that leaves the tree (created
// and not yet attached, removed, replaced) may still be named by a handle, so the owner keeps
// it and frees whatever is still outside the tree when the document itself goes. For the same
// reason nodes are linked and unlinked here by hand: libxml2's own append functions merge
// adjacent text nodes and replace same-named attributes by freeing them.
#include "platform/xml_document.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "port/file_replace.h"
#include "port/text.h"

namespace {

// ---------------------------------------------------------------------------------------------
// libxml2 set-up and quiet error reporting

void EnsureParserReady() {
    // libxml2 builds its global tables once; doing it before the first parse keeps threads
    // that parse their own documents at the same time apart.
    static const bool ready = [] {
        xmlInitParser();
        return true;
    }();
    (void)ready;
}

void IgnoreStructuredError(void*, xmlErrorPtr) {}
void IgnoreGenericError(void*, const char*, ...) {}

// libxml2 prints parser, I/O and XPath errors to stderr by default. Every failure of this
// family is reported by its result only, so the calling thread's handlers are silenced for
// the duration of one call and put back afterwards.
class QuietErrors {
public:
    QuietErrors()
        : generic_(xmlGenericError),
          genericContext_(xmlGenericErrorContext),
          structured_(xmlStructuredError),
          structuredContext_(xmlStructuredErrorContext) {
        xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
        xmlSetStructuredErrorFunc(nullptr, IgnoreStructuredError);
    }
    ~QuietErrors() {
        xmlSetGenericErrorFunc(genericContext_, generic_);
        xmlSetStructuredErrorFunc(structuredContext_, structured_);
    }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

private:
    xmlGenericErrorFunc generic_;
    void* genericContext_;
    xmlStructuredErrorFunc structured_;
    void* structuredContext_;
};

struct FreeXmlDoc {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
struct FreeParserContext {
    void operator()(xmlParserCtxtPtr context) const { xmlFreeParserCtxt(context); }
};
struct FreeXPathContext {
    void operator()(xmlXPathContextPtr context) const { xmlXPathFreeContext(context); }
};
struct FreeXPathObject {
    void operator()(xmlXPathObjectPtr object) const { xmlXPathFreeObject(object); }
};
struct FreeXmlString {
    void operator()(xmlChar* text) const { xmlFree(text); }
};
struct CloseStream {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using XmlDocPointer = std::unique_ptr<xmlDoc, FreeXmlDoc>;
using ParserContext = std::unique_ptr<xmlParserCtxt, FreeParserContext>;
using XPathContext = std::unique_ptr<xmlXPathContext, FreeXPathContext>;
using XPathObject = std::unique_ptr<xmlXPathObject, FreeXPathObject>;
using XmlString = std::unique_ptr<xmlChar, FreeXmlString>;
using Stream = std::unique_ptr<std::FILE, CloseStream>;

// ---------------------------------------------------------------------------------------------
// Documents and handles

class DocumentOwner {
public:
    explicit DocumentOwner(XmlDocPointer doc) : doc_(std::move(doc)) {}
    ~DocumentOwner() { FreeLooseSubtrees(); }
    DocumentOwner(const DocumentOwner&) = delete;
    DocumentOwner& operator=(const DocumentOwner&) = delete;

    xmlDocPtr Doc() const { return doc_.get(); }

    // Records a node that is, or is about to be, outside the tree. Called before the node is
    // unlinked, so that a failure to record leaves the tree as it was.
    void KeepLoose(xmlNodePtr node) { loose_.insert(node); }

private:
    // Loose nodes that have been attached again belong to a tree (the document's or a loose
    // one); only the tops of loose subtrees are freed, and before the document, whose name
    // dictionary they may share.
    void FreeLooseSubtrees() {
        for (auto it = loose_.begin(); it != loose_.end();) {
            it = (*it)->parent != nullptr ? loose_.erase(it) : std::next(it);
        }
        for (xmlNodePtr top : loose_) {
            xmlFreeNode(top);
        }
    }

    XmlDocPointer doc_;
    std::unordered_set<xmlNodePtr> loose_;
};

struct Handle {
    std::shared_ptr<DocumentOwner> owner;
    xmlNodePtr node;
};

Handle* AsHandle(void* handle) {
    return static_cast<Handle*>(handle);
}

void* NewHandle(const std::shared_ptr<DocumentOwner>& owner, xmlNodePtr node) {
    if (node == nullptr) {
        return nullptr;
    }
    return new Handle{owner, node};
}

void* AdoptDocument(xmlDocPtr parsed) {
    XmlDocPointer doc(parsed);
    if (!doc) {
        return nullptr;
    }
    auto owner = std::make_shared<DocumentOwner>(std::move(doc));
    return NewHandle(owner, reinterpret_cast<xmlNodePtr>(owner->Doc()));
}

bool IsType(const Handle* handle, xmlElementType type) {
    return handle != nullptr && handle->node->type == type;
}

Handle* DocumentHandle(void* handle) {
    Handle* document = AsHandle(handle);
    return IsType(document, XML_DOCUMENT_NODE) ? document : nullptr;
}

Handle* ElementHandle(void* handle) {
    Handle* element = AsHandle(handle);
    return IsType(element, XML_ELEMENT_NODE) ? element : nullptr;
}

// Every failure inside the family, an exhausted heap included, ends as the failure result.
template <typename Result, typename Operation>
Result Guarded(Result failure, Operation&& operation) noexcept {
    try {
        return operation();
    } catch (...) {
        return failure;
    }
}

// ---------------------------------------------------------------------------------------------
// Text

const xmlChar* Xml(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

std::string_view View(const xmlChar* text) {
    return text == nullptr ? std::string_view() : reinterpret_cast<const char*>(text);
}

std::optional<std::string> Utf8(const wchar_t* text) {
    std::string utf8;
    if (text == nullptr || !port::WideToUtf8(text, utf8)) {
        return std::nullopt;
    }
    return utf8;
}

std::optional<std::wstring> Wide(std::string_view utf8) {
    std::wstring wide;
    if (!port::Utf8ToWide(utf8, wide)) {
        return std::nullopt;
    }
    return wide;
}

// XML 1.0 Char production. Text outside it would be written as a character reference that
// no parser reads back, leaving a file that can never be loaded again.
bool IsXmlChar(wchar_t c) {
    const auto code = static_cast<std::uint32_t>(c);
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

// The UTF-8 of a text that a document can hold, or nothing.
std::optional<std::string> XmlText(const wchar_t* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        if (!IsXmlChar(*c)) {
            return std::nullopt;
        }
    }
    return Utf8(text);
}

std::optional<std::string> XmlName(const wchar_t* name) {
    std::optional<std::string> utf8 = XmlText(name);
    if (!utf8 || xmlValidateName(Xml(*utf8), 0) != 0) {
        return std::nullopt;
    }
    return utf8;
}

// nodeName of an element or attribute: the prefix, if any, and the local name.
std::string QualifiedName(const xmlChar* name, const xmlNs* ns) {
    std::string qualified;
    if (ns != nullptr && ns->prefix != nullptr) {
        qualified.append(View(ns->prefix)).push_back(':');
    }
    qualified.append(View(name));
    return qualified;
}

// ---------------------------------------------------------------------------------------------
// Tree structure

bool HasChildList(xmlNodePtr node) {
    return node->type == XML_ELEMENT_NODE || node->type == XML_DOCUMENT_NODE;
}

// Nodes under a DTD are the replacement text of an entity, shared by every reference to it;
// they may be read but never changed or moved.
bool IsWritable(xmlNodePtr node) {
    for (; node != nullptr; node = node->parent) {
        if (node->type == XML_DTD_NODE || node->type == XML_ENTITY_DECL) {
            return false;
        }
    }
    return true;
}

std::size_t ChildNodeCount(xmlNodePtr parent) {
    std::size_t count = 0;
    for (xmlNodePtr child = parent->children; child != nullptr; child = child->next) {
        ++count;
    }
    return count;
}

bool IsAncestorOrSelf(xmlNodePtr candidate, xmlNodePtr node) {
    for (; node != nullptr; node = node->parent) {
        if (node == candidate) {
            return true;
        }
    }
    return false;
}

void Detach(DocumentOwner& owner, xmlNodePtr node) {
    owner.KeepLoose(node);
    xmlUnlinkNode(node);
}

void LinkLastChild(xmlNodePtr parent, xmlNodePtr child) {
    child->parent = parent;
    child->next = nullptr;
    child->prev = parent->last;
    if (parent->last != nullptr) {
        parent->last->next = child;
    } else {
        parent->children = child;
    }
    parent->last = child;
}

void LinkBefore(xmlNodePtr reference, xmlNodePtr node) {
    node->parent = reference->parent;
    node->next = reference;
    node->prev = reference->prev;
    if (reference->prev != nullptr) {
        reference->prev->next = node;
    } else {
        reference->parent->children = node;
    }
    reference->prev = node;
}

void LinkLastAttribute(xmlNodePtr element, xmlAttrPtr attribute) {
    attribute->parent = element;
    attribute->next = nullptr;
    attribute->prev = nullptr;
    if (element->properties == nullptr) {
        element->properties = attribute;
        return;
    }
    xmlAttrPtr last = element->properties;
    while (last->next != nullptr) {
        last = last->next;
    }
    last->next = attribute;
    attribute->prev = last;
}

void LinkAttributeBefore(xmlAttrPtr reference, xmlAttrPtr attribute) {
    attribute->parent = reference->parent;
    attribute->next = reference;
    attribute->prev = reference->prev;
    if (reference->prev != nullptr) {
        reference->prev->next = attribute;
    } else {
        reference->parent->properties = attribute;
    }
    reference->prev = attribute;
}

xmlNodePtr FirstTextChild(xmlNodePtr element) {
    for (xmlNodePtr child = element->children; child != nullptr; child = child->next) {
        if (child->type == XML_TEXT_NODE) {
            return child;
        }
    }
    return nullptr;
}

xmlAttrPtr FindAttribute(xmlNodePtr element, std::string_view name) {
    for (xmlAttrPtr attribute = element->properties; attribute != nullptr;
         attribute = attribute->next) {
        if (QualifiedName(attribute->name, attribute->ns) == name) {
            return attribute;
        }
    }
    return nullptr;
}

xmlNodePtr NewText(xmlDocPtr doc, const std::string& value) {
    return xmlNewDocText(doc, Xml(value));
}

// An attribute's value is held as child text; set here as plain text, never parsed for
// entity references.
xmlAttrPtr NewAttribute(xmlDocPtr doc, const std::string& name, const std::string& value) {
    xmlAttrPtr attribute = xmlNewDocProp(doc, Xml(name), nullptr);
    if (attribute == nullptr) {
        return nullptr;
    }
    xmlNodePtr text = NewText(doc, value);
    if (text == nullptr) {
        xmlFreeProp(attribute);
        return nullptr;
    }
    LinkLastChild(reinterpret_cast<xmlNodePtr>(attribute), text);
    return attribute;
}

// ---------------------------------------------------------------------------------------------
// Loading

// No network, no external DTD or entity, no entity substitution, libxml2's default limits on
// entity amplification and text size; whitespace-only text between elements is dropped, as a
// DOM without preserveWhiteSpace does.
constexpr int kParseOptions =
    XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

int ReadFromStream(void* stream, char* buffer, int length) {
    auto* file = static_cast<std::FILE*>(stream);
    const std::size_t count = std::fread(buffer, 1, static_cast<std::size_t>(length), file);
    if (count == 0 && std::ferror(file)) {
        return -1;
    }
    return static_cast<int>(count);
}

// A file is read as a file, never as a URI: the document's own declaration or byte order
// mark gives its encoding.
xmlDocPtr ParseFile(const std::string& path) {
    Stream stream(std::fopen(path.c_str(), "rb"));
    ParserContext context(xmlNewParserCtxt());
    if (!stream || !context) {
        return nullptr;
    }
    return xmlCtxtReadIO(context.get(), ReadFromStream, nullptr, stream.get(), path.c_str(),
                         nullptr, kParseOptions);
}

// Text handed over in memory is already Unicode: its bytes are UTF-8 whatever encoding its
// declaration names.
xmlDocPtr ParseUtf8(const std::string& text) {
    ParserContext context(xmlNewParserCtxt());
    if (!context || text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return nullptr;
    }
    return xmlCtxtReadMemory(context.get(), text.data(), static_cast<int>(text.size()), nullptr,
                             "UTF-8", kParseOptions | XML_PARSE_IGNORE_ENC);
}

// ---------------------------------------------------------------------------------------------
// Saving

std::optional<std::string> Serialize(xmlDocPtr doc) {
    xmlChar* bytes = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(doc, &bytes, &size, "UTF-8", 1);
    XmlString owned(bytes);
    if (!owned || size < 0) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(owned.get()), static_cast<std::size_t>(size));
}

// ---------------------------------------------------------------------------------------------
// Processing instructions

// libxml2 keeps the XML declaration as document properties, not as a node, and writes it at
// the top of every saved file. The data must read as a declaration; a standalone value given
// here is kept, while the encoding declared is always UTF-8, the one the file is written in.
bool RecordDeclaration(xmlDocPtr doc, const std::string& data) {
    if (data.find("?>") != std::string::npos) {
        return false;
    }
    XmlDocPointer declared(ParseUtf8("<?xml " + data + "?><x/>"));
    if (!declared) {
        return false;
    }
    doc->standalone = declared->standalone;
    return true;
}

bool AppendInstruction(xmlDocPtr doc, const std::string& target, const std::string& data) {
    if (data.find("?>") != std::string::npos) {
        return false;
    }
    xmlNodePtr instruction = xmlNewDocPI(doc, Xml(target), data.empty() ? nullptr : Xml(data));
    if (instruction == nullptr) {
        return false;
    }
    LinkLastChild(reinterpret_cast<xmlNodePtr>(doc), instruction);
    return true;
}

// Targets matching "xml" in any letter case are reserved; only the declaration itself uses it.
bool IsReservedTarget(std::string_view target) {
    return target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
           (target[2] | 0x20) == 'l';
}

// ---------------------------------------------------------------------------------------------
// Values

std::optional<std::wstring> ElementValue(xmlNodePtr element) {
    xmlNodePtr text = FirstTextChild(element);
    if (text == nullptr) {
        return std::nullopt;
    }
    return Wide(View(text->content));
}

// nodeValue: the text of an attribute (entity references in it expanded, within the limits
// the parser enforced), of a text, CDATA, comment or processing-instruction node; nothing for
// other nodes.
std::optional<std::wstring> NodeValue(xmlNodePtr node) {
    switch (node->type) {
        case XML_ATTRIBUTE_NODE: {
            XmlString value(xmlNodeGetContent(node));
            return value ? Wide(View(value.get())) : Wide("");
        }
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            return Wide(View(node->content));
        default:
            return std::nullopt;
    }
}

int DeliverValue(const std::optional<std::wstring>& value, wchar_t* buffer, DWORD* count) {
    if (!value || value->size() >= std::numeric_limits<DWORD>::max()) {
        *count = 0;
        return 0;
    }
    const DWORD capacity = *count;
    const DWORD needed = static_cast<DWORD>(value->size() + 1);
    *count = needed;
    if (buffer == nullptr || capacity < needed) {
        return 0;
    }
    value->copy(buffer, value->size());
    buffer[value->size()] = L'\0';
    return 1;
}

int GetValue(void* handle, wchar_t* buffer, DWORD* count,
             std::optional<std::wstring> (*read)(xmlNodePtr)) {
    if (count == nullptr) {
        return 0;
    }
    std::optional<std::wstring> value;
    try {
        if (handle != nullptr) {
            value = read(AsHandle(handle)->node);
        }
    } catch (...) {
        value.reset();
    }
    return DeliverValue(value, buffer, count);
}

}  // namespace

// -------------------------------------------------------------------------------------------------
// Documents

// There is no COM to set up: libxml2 is initialised once, on first use, from any thread.
void* JobCreateDocument() {
    return Guarded<void*>(nullptr, [] {
        EnsureParserReady();
        return AdoptDocument(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
    });
}

void* JobCreateDocumentFromXML(const wchar_t* lpszXML) {
    return Guarded<void*>(nullptr, [&]() -> void* {
        const std::optional<std::string> path = Utf8(lpszXML);
        if (!path || path->empty()) {
            return nullptr;
        }
        EnsureParserReady();
        QuietErrors quiet;
        return AdoptDocument(ParseFile(*path));
    });
}

void* JobCreateDocumentFromXMLStream(const wchar_t* in_XMLStream) {
    return Guarded<void*>(nullptr, [&]() -> void* {
        const std::optional<std::string> text = Utf8(in_XMLStream);
        if (!text || text->empty()) {
            return nullptr;
        }
        EnsureParserReady();
        QuietErrors quiet;
        return AdoptDocument(ParseUtf8(*text));
    });
}

int JobDestroyDocument(void* hDocument) {
    if (hDocument == nullptr) {
        return 0;
    }
    delete AsHandle(hDocument);
    return 1;
}

void* JobGetDocumentElement(void* hDocument) {
    return Guarded<void*>(nullptr, [&]() -> void* {
        Handle* document = DocumentHandle(hDocument);
        if (document == nullptr) {
            return nullptr;
        }
        return NewHandle(document->owner, xmlDocGetRootElement(document->owner->Doc()));
    });
}

int JobSetDocumentElement(void* hDocument, void* hRootElement) {
    return Guarded(0, [&] {
        Handle* document = DocumentHandle(hDocument);
        Handle* root = ElementHandle(hRootElement);
        if (document == nullptr || root == nullptr || root->owner != document->owner ||
            !IsWritable(root->node)) {
            return 0;
        }
        DocumentOwner& owner = *document->owner;
        xmlNodePtr old = xmlDocGetRootElement(owner.Doc());
        if (old == root->node) {
            return 1;
        }
        if (root->node->parent != nullptr) {
            Detach(owner, root->node);
        }
        if (old == nullptr) {
            LinkLastChild(reinterpret_cast<xmlNodePtr>(owner.Doc()), root->node);
            return 1;
        }
        owner.KeepLoose(old);
        LinkBefore(old, root->node);
        xmlUnlinkNode(old);
        return 1;
    });
}

int JobSaveXMLDocument(void* hDocument, const wchar_t* SFileName) {
    return Guarded(0, [&] {
        Handle* document = DocumentHandle(hDocument);
        const std::optional<std::string> path = Utf8(SFileName);
        if (document == nullptr || !path || path->empty()) {
            return 0;
        }
        QuietErrors quiet;
        const std::optional<std::string> bytes = Serialize(document->owner->Doc());
        return bytes && port::ReplaceFileContents(*path, *bytes) ? 1 : 0;
    });
}

int JobCreateProcessingInstruction(void* hDocument, const wchar_t* sInstruction,
                                   const wchar_t* sData) {
    return Guarded(0, [&] {
        Handle* document = DocumentHandle(hDocument);
        const std::optional<std::string> target = XmlName(sInstruction);
        const std::optional<std::string> data = XmlText(sData);
        if (document == nullptr || !target || !data) {
            return 0;
        }
        xmlDocPtr doc = document->owner->Doc();
        if (*target == "xml") {
            QuietErrors quiet;
            return RecordDeclaration(doc, *data) ? 1 : 0;
        }
        if (IsReservedTarget(*target)) {
            return 0;
        }
        return AppendInstruction(doc, *target, *data) ? 1 : 0;
    });
}

void* JobGetElement(void* hDocument, const wchar_t* pXPath) {
    return Guarded<void*>(nullptr, [&]() -> void* {
        Handle* from = AsHandle(hDocument);
        const std::optional<std::string> expression = Utf8(pXPath);
        if (from == nullptr || !expression || expression->empty()) {
            return nullptr;
        }
        QuietErrors quiet;
        XPathContext context(xmlXPathNewContext(from->owner->Doc()));
        if (!context) {
            return nullptr;
        }
        context->node = from->node;
        XPathObject result(xmlXPathEvalExpression(Xml(*expression), context.get()));
        if (!result || result->type != XPATH_NODESET ||
            xmlXPathNodeSetIsEmpty(result->nodesetval)) {
            return nullptr;
        }
        xmlXPathNodeSetSort(result->nodesetval);
        xmlNodePtr first = result->nodesetval->nodeTab[0];
        // A namespace node in a result is a copy that dies with the result.
        if (first->type == XML_NAMESPACE_DECL) {
            return nullptr;
        }
        return NewHandle(from->owner, first);
    });
}

// -------------------------------------------------------------------------------------------------
// Elements

void* JobCreateElement(void* hDocument, const wchar_t* lpszElementName,
                       const wchar_t* lpszElementValue) {
    return Guarded<void*>(nullptr, [&]() -> void* {
        Handle* document = DocumentHandle(hDocument);
        const std::optional<std::string> name = XmlName(lpszElementName);
        const std::optional<std::string> value = XmlText(lpszElementValue);
        if (document == nullptr || !name || (lpszElementValue != nullptr && !value)) {
            return nullptr;
        }
        DocumentOwner& owner = *document->owner;
        xmlNodePtr element = xmlNewDocNode(owner.Doc(), nullptr, Xml(*name), nullptr);
        if (element == nullptr) {
            return nullptr;
        }
        try {
            owner.KeepLoose(element);
        } catch (...) {
            xmlFreeNode(element);
            throw;
        }
        if (value) {
            xmlNodePtr text = NewText(owner.Doc(), *value);
            if (text == nullptr) {
                return nullptr;
            }
            LinkLastChild(element, text);
        }
        return NewHandle(document->owner, element);
    });
}

int JobDestroyElement(void* hElement) {
    if (hElement == nullptr) {
        return 0;
    }
    delete AsHandle(hElement);
    return 1;
}

int JobGetElementValue(void* hElement, wchar_t* pElementValueBuffer, DWORD* pdwBufferSizeInWCHARs) {
    return GetValue(ElementHandle(hElement), pElementValueBuffer, pdwBufferSizeInWCHARs,
                    ElementValue);
}

int JobSetElementValue(void* hElement, const wchar_t* lpszElementValue) {
    return Guarded(0, [&] {
        Handle* element = ElementHandle(hElement);
        const std::optional<std::string> value = XmlText(lpszElementValue);
        if (element == nullptr || (lpszElementValue != nullptr && !value) ||
            !IsWritable(element->node)) {
            return 0;
        }
        xmlNodePtr text = FirstTextChild(element->node);
        if (text != nullptr && value) {
            xmlNodeSetContent(text, Xml(*value));
        } else if (text != nullptr) {
            Detach(*element->owner, text);
        } else if (value) {
            xmlNodePtr added = NewText(element->owner->Doc(), *value);
            if (added == nullptr) {
                return 0;
            }
            LinkLastChild(element->node, added);
        }
        return 1;
    });
}

int JobGetElementChildCount(void* hElement) {
    Handle* parent = AsHandle(hElement);
    if (parent == nullptr) {
        return -1;
    }
    if (!HasChildList(parent->node)) {
        return 0;
    }
    int count = 0;
    for (xmlNodePtr child = parent->node->children; child != nullptr; child = child->next) {
        count += child->type == XML_ELEMENT_NODE ? 1 : 0;
    }
    return count;
}

void* JobGetElementChild(void* hElement, int nIndex) {
    return Guarded<void*>(nullptr, [&]() -> void* {
        Handle* parent = AsHandle(hElement);
        // An index past the last child node of any type fails before the walk.
        if (parent == nullptr || nIndex < 0 || !HasChildList(parent->node) ||
            static_cast<std::size_t>(nIndex) >= ChildNodeCount(parent->node)) {
            return nullptr;
        }
        int seen = 0;
        for (xmlNodePtr child = parent->node->children; child != nullptr; child = child->next) {
            if (child->type != XML_ELEMENT_NODE) {
                continue;
            }
            if (seen == nIndex) {
                return NewHandle(parent->owner, child);
            }
            ++seen;
        }
        return nullptr;
    });
}

void* JobGetElementChildByName(void* hElement, const wchar_t* lpszChildElementName) {
    return Guarded<void*>(nullptr, [&]() -> void* {
        Handle* parent = AsHandle(hElement);
        const std::optional<std::string> name = Utf8(lpszChildElementName);
        if (parent == nullptr || !name || !HasChildList(parent->node)) {
            return nullptr;
        }
        for (xmlNodePtr child = parent->node->children; child != nullptr; child = child->next) {
            if (child->type == XML_ELEMENT_NODE && QualifiedName(child->name, child->ns) == *name) {
                return NewHandle(parent->owner, child);
            }
        }
        return nullptr;
    });
}

int JobAddElementChild(void* hElement, void* hChildElement) {
    return Guarded(0, [&] {
        Handle* parent = AsHandle(hElement);
        Handle* child = AsHandle(hChildElement);
        if (parent == nullptr || child == nullptr || parent->owner != child->owner ||
            !HasChildList(parent->node) || !IsWritable(parent->node) || !IsWritable(child->node) ||
            IsAncestorOrSelf(child->node, parent->node)) {
            return 0;
        }
        switch (child->node->type) {
            case XML_ELEMENT_NODE:
            case XML_COMMENT_NODE:
            case XML_PI_NODE:
                break;
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
            case XML_ENTITY_REF_NODE:
                if (parent->node->type == XML_DOCUMENT_NODE) {
                    return 0;
                }
                break;
            default:
                return 0;
        }
        // A document holds one element.
        if (parent->node->type == XML_DOCUMENT_NODE && child->node->type == XML_ELEMENT_NODE) {
            xmlNodePtr root = xmlDocGetRootElement(parent->owner->Doc());
            if (root != nullptr && root != child->node) {
                return 0;
            }
        }
        Detach(*parent->owner, child->node);
        LinkLastChild(parent->node, child->node);
        return 1;
    });
}

// -------------------------------------------------------------------------------------------------
// Attributes

void* JobCreateAttribute(void* hDocument, const wchar_t* lpszAttributeName,
                         const wchar_t* lpszAttributeValue) {
    return Guarded<void*>(nullptr, [&]() -> void* {
        Handle* document = DocumentHandle(hDocument);
        const std::optional<std::string> name = XmlName(lpszAttributeName);
        const std::optional<std::string> value = XmlText(lpszAttributeValue);
        if (document == nullptr || !name || !value) {
            return nullptr;
        }
        DocumentOwner& owner = *document->owner;
        xmlAttrPtr attribute = NewAttribute(owner.Doc(), *name, *value);
        if (attribute == nullptr) {
            return nullptr;
        }
        try {
            owner.KeepLoose(reinterpret_cast<xmlNodePtr>(attribute));
        } catch (...) {
            xmlFreeProp(attribute);
            throw;
        }
        return NewHandle(document->owner, reinterpret_cast<xmlNodePtr>(attribute));
    });
}

int JobDestroyAttribute(void* hAttribute) {
    if (hAttribute == nullptr) {
        return 0;
    }
    delete AsHandle(hAttribute);
    return 1;
}

int JobGetAttributeValue(void* hAttribute, wchar_t* pAttributeValueBuffer,
                         DWORD* pdwBufferSizeInWCHARs) {
    return GetValue(hAttribute, pAttributeValueBuffer, pdwBufferSizeInWCHARs, NodeValue);
}

void* JobGetElementAttributeByName(void* hElement, const wchar_t* lpszAttributeName) {
    return Guarded<void*>(nullptr, [&]() -> void* {
        Handle* element = ElementHandle(hElement);
        const std::optional<std::string> name = Utf8(lpszAttributeName);
        if (element == nullptr || !name) {
            return nullptr;
        }
        xmlAttrPtr attribute = FindAttribute(element->node, *name);
        return NewHandle(element->owner, reinterpret_cast<xmlNodePtr>(attribute));
    });
}

int JobAddElementAttribute(void* hElement, void* hAttribute) {
    return Guarded(0, [&] {
        Handle* element = ElementHandle(hElement);
        Handle* attribute = AsHandle(hAttribute);
        if (element == nullptr || !IsType(attribute, XML_ATTRIBUTE_NODE) ||
            element->owner != attribute->owner || !IsWritable(element->node) ||
            !IsWritable(attribute->node)) {
            return 0;
        }
        auto* added = reinterpret_cast<xmlAttrPtr>(attribute->node);
        if (added->parent == element->node) {
            return 1;
        }
        // An attribute belongs to one element at a time.
        if (added->parent != nullptr) {
            return 0;
        }
        xmlAttrPtr replaced = FindAttribute(element->node, QualifiedName(added->name, added->ns));
        if (replaced == nullptr) {
            LinkLastAttribute(element->node, added);
            return 1;
        }
        element->owner->KeepLoose(reinterpret_cast<xmlNodePtr>(replaced));
        LinkAttributeBefore(replaced, added);
        xmlUnlinkNode(reinterpret_cast<xmlNodePtr>(replaced));
        return 1;
    });
}
