#include "platform/xml_document.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libxml/globals.h>
#include <libxml/xmlerror.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/xml_handle.h"
#include "port/text.h"
#include "support/scratch.h"

namespace {

using orchel::XmlAttribute;
using orchel::XmlDocument;
using orchel::XmlElement;
using testsupport::TempFolder;

std::wstring Wide(const std::string& utf8) {
    std::wstring wide;
    EXPECT_TRUE(port::Utf8ToWide(utf8, wide)) << utf8;
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    std::string utf8;
    EXPECT_TRUE(port::WideToUtf8(wide, utf8));
    return utf8;
}

std::wstring WidePath(const std::filesystem::path& path) {
    return Wide(path.string());
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

XmlDocument Parse(const std::wstring& xml) {
    return XmlDocument(JobCreateDocumentFromXMLStream(xml.c_str()));
}

XmlElement Select(void* from, const std::wstring& expression) {
    return XmlElement(JobGetElement(from, expression.c_str()));
}

// A value read through the two-call buffer protocol: size first, then the text. Nothing when
// the getter reports no value.
template <int (*Getter)(void*, wchar_t*, DWORD*)>
std::optional<std::wstring> Read(void* handle) {
    DWORD size = 0;
    if (Getter(handle, nullptr, &size) != 0 || size == 0) {
        return std::nullopt;
    }
    std::wstring value(size, L'#');
    DWORD capacity = size;
    if (Getter(handle, value.data(), &capacity) != 1 || capacity != size) {
        ADD_FAILURE() << "second read of the value failed";
        return std::nullopt;
    }
    value.resize(size - 1);
    return value;
}

std::optional<std::wstring> ValueOf(void* element) {
    return Read<JobGetElementValue>(element);
}
std::optional<std::wstring> AttributeValueOf(void* attribute) {
    return Read<JobGetAttributeValue>(attribute);
}

// The value of the first node that the expression selects; "<none>" when nothing is selected
// or the node has no value.
std::wstring SelectedValue(void* from, const std::wstring& expression) {
    XmlElement node = Select(from, expression);
    if (!node) {
        return L"<none>";
    }
    std::optional<std::wstring> value = ValueOf(node.Get());
    if (!value) {
        value = AttributeValueOf(node.Get());
    }
    return value.value_or(L"<no value>");
}

// Saves the document into the folder and returns the file's bytes.
std::string Saved(void* document, const TempFolder& folder, const std::string& name = "out.xml") {
    const std::filesystem::path path = folder.Path() / name;
    EXPECT_EQ(1, JobSaveXMLDocument(document, WidePath(path).c_str()));
    return ReadFile(path);
}

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// -------------------------------------------------------------------------------------------------
// Loading

TEST(XmlLoad, TextIsReadAsUnicodeWhateverEncodingItsDeclarationNames) {
    const std::wstring value = L"Grüße € 𝄞";
    const std::vector<std::wstring> declarations = {
        L"",
        L"<?xml version=\"1.0\"?>",
        L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
        L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>",
        L"<?xml version=\"1.0\" encoding=\"windows-1252\"?>",
        L"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>",
    };
    for (const std::wstring& declaration : declarations) {
        SCOPED_TRACE(Utf8(declaration));
        XmlDocument document =
            Parse(declaration + L"<Product><Desc>" + value + L"</Desc></Product>");
        ASSERT_TRUE(document);
        EXPECT_EQ(value, SelectedValue(document.Get(), L"/Product/Desc"));
    }
}

TEST(XmlLoad, TextThatIsNotOneWellFormedDocumentGivesNoDocument) {
    const std::vector<std::wstring> texts = {
        L"",
        L"   ",
        L"plain text",
        L"<a>",
        L"<a></b>",
        L"<a/><b/>",
        L"<?xml version=\"1.0\"?>",
        L"<a>&undeclared;</a>",
        L"<a x='1' x='2'/>",
        L"<a>\x1</a>",
    };
    for (const std::wstring& text : texts) {
        SCOPED_TRACE(Utf8(text));
        EXPECT_FALSE(Parse(text));
    }
    EXPECT_EQ(nullptr, JobCreateDocumentFromXMLStream(nullptr));
    // Wide text that is not Unicode cannot be handed to the parser.
    const std::wstring surrogate = L"<a>" + std::wstring(1, static_cast<wchar_t>(0xD800)) + L"</a>";
    EXPECT_FALSE(Parse(surrogate));
}

// "<r>Grüße €</r>" in UTF-16LE after a byte order mark.
const char kUtf16WithBom[] = "\xFF\xFE<\0r\0>\0G\0r\0\xFC\0\xDF\0e\0 \0\xAC\x20<\0/\0r\0>\0";

TEST(XmlLoad, FileIsReadInTheEncodingItDeclares) {
    TempFolder folder;
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"utf8.xml",
         "<r>Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC</r>"},
        {"utf8-declared.xml",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r>Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC</r>"},
        {"cp1252.xml",
         "<?xml version=\"1.0\" encoding=\"windows-1252\"?><r>Gr\xFC\xDF"
         "e \x80</r>"},
        {"utf16.xml", std::string(kUtf16WithBom, sizeof(kUtf16WithBom) - 1)},
        {"Bestände ü.xml",
         "<r>Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC</r>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = folder.Write(c.name, c.bytes);
        XmlDocument document(JobCreateDocumentFromXML(Wide(path).c_str()));
        ASSERT_TRUE(document);
        EXPECT_EQ(L"Grüße €", SelectedValue(document.Get(), L"/r"));
    }
}

TEST(XmlLoad, MissingEmptyOrBrokenFilesGiveNoDocument) {
    TempFolder folder;
    folder.Write("aA.xml", "<r/>");
    std::filesystem::create_directory(folder.Path() / "folder.xml");
    const std::vector<std::string> paths = {
        (folder.Path() / "missing.xml").string(),
        folder.Write("empty.xml", ""),
        folder.Write("broken.xml", "<r><a></r>"),
        folder.Write("truncated.xml", "<?xml version=\"1.0\"?>\n<r><a>text"),
        folder.Write("binary.xml", std::string("\0\0\0\0", 4)),
        (folder.Path() / "folder.xml").string(),
        // A path is a path, not a URI: escapes are not decoded ("%41" is not "A").
        (folder.Path() / "a%41.xml").string(),
        "",
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        EXPECT_EQ(nullptr, JobCreateDocumentFromXML(Wide(path).c_str()));
    }
    EXPECT_EQ(nullptr, JobCreateDocumentFromXML(nullptr));
}

// -------------------------------------------------------------------------------------------------
// Hostile input

std::wstring EntityBomb() {
    std::wstring dtd = L"<!ENTITY lol0 \"lollollollollollollollollollol\">";
    for (int level = 1; level <= 9; ++level) {
        dtd += L"<!ENTITY lol" + std::to_wstring(level) + L" \"";
        for (int i = 0; i < 10; ++i) {
            dtd += L"&lol" + std::to_wstring(level - 1) + L";";
        }
        dtd += L"\">";
    }
    return L"<?xml version=\"1.0\"?><!DOCTYPE r [" + dtd + L"]><r a=\"&lol9;\">&lol9;</r>";
}

TEST(XmlHostileInput, EntityBombIsRefused) {
    TempFolder folder;
    EXPECT_FALSE(Parse(EntityBomb()));
    const std::string path = folder.Write("bomb.xml", Utf8(EntityBomb()));
    EXPECT_EQ(nullptr, JobCreateDocumentFromXML(Wide(path).c_str()));
}

TEST(XmlHostileInput, InternalEntitiesStayReferencesInElementText) {
    XmlDocument document = Parse(L"<!DOCTYPE r [<!ENTITY e \"abc\">]><r a=\"x&e;y\">x&e;y</r>");
    ASSERT_TRUE(document);
    // The first text child ends where the reference begins; the attribute reads as its value.
    EXPECT_EQ(L"x", SelectedValue(document.Get(), L"/r"));
    EXPECT_EQ(L"xabcy", SelectedValue(document.Get(), L"/r/@a"));
}

TEST(XmlHostileInput, ExternalFilesAreNeverRead) {
    TempFolder folder;
    const std::string secretFile = folder.Write("secret.txt", "TOPSECRET");
    const std::string secretDtd = folder.Write(
        "secret.dtd", "<!ENTITY leak \"TOPSECRET\"><!ATTLIST r injected CDATA \"TOPSECRET\">");
    const std::wstring secretUrl = L"file://" + Wide(secretFile);
    const std::wstring dtdUrl = L"file://" + Wide(secretDtd);
    const std::vector<std::wstring> documents = {
        L"<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r a=\"1\">&x;</r>",
        L"<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secretUrl + L"\">]><r a=\"1\">&x;</r>",
        L"<!DOCTYPE r [<!ENTITY x SYSTEM \"" + Wide(secretFile) + L"\">]><r a=\"1\">&x;</r>",
        L"<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r a=\"&x;\"/>",
        L"<!DOCTYPE r SYSTEM \"" + dtdUrl + L"\"><r a=\"1\">&leak;</r>",
        L"<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + dtdUrl + L"\"> %p;]><r a=\"1\">&leak;</r>",
        L"<r xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + secretUrl +
            L"\" parse=\"text\"/></r>",
    };
    int loaded = 0;
    for (const std::wstring& text : documents) {
        SCOPED_TRACE(Utf8(text));
        for (const bool fromFile : {false, true}) {
            const std::string path = folder.Write("hostile.xml", Utf8(text));
            XmlDocument document(fromFile ? JobCreateDocumentFromXML(Wide(path).c_str())
                                          : JobCreateDocumentFromXMLStream(text.c_str()));
            if (!document) {
                continue;
            }
            ++loaded;
            for (const wchar_t* expression : {L"/r", L"/r/@a", L"/r/@injected"}) {
                const std::wstring value = SelectedValue(document.Get(), expression);
                EXPECT_EQ(std::wstring::npos, value.find(L"TOPSECRET")) << expression;
                EXPECT_EQ(std::wstring::npos, value.find(L"root:")) << expression;
            }
            EXPECT_FALSE(Select(document.Get(),
                                L"//*[contains(., 'TOPSECRET') or "
                                L"contains(., 'root:') or @injected]"));
            const std::string saved = Saved(document.Get(), folder);
            EXPECT_EQ(std::string::npos, saved.find("TOPSECRET"));
            EXPECT_EQ(std::string::npos, saved.find("root:"));
        }
    }
    EXPECT_GT(loaded, 0);  // the checks above ran on documents that did load
}

// A listening socket that nothing should ever connect to.
class Listener {
public:
    Listener() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(socket_, 16) != 0 ||
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on the loopback interface");
        }
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { ::close(socket_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int Port() const { return port_; }
    bool WasContacted() const {
        const int connection = ::accept(socket_, nullptr, nullptr);
        if (connection >= 0) {
            ::close(connection);
            return true;
        }
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }

private:
    int socket_;
    int port_ = 0;
};

TEST(XmlHostileInput, NetworkIsNeverTouched) {
    Listener listener;
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(listener.Port());
    const std::vector<std::wstring> documents = {
        L"<!DOCTYPE r SYSTEM \"" + url + L"/r.dtd\"><r>text</r>",
        L"<!DOCTYPE r PUBLIC \"-//X//DTD R//EN\" \"" + url + L"/r.dtd\"><r>text</r>",
        L"<!DOCTYPE r [<!ENTITY x SYSTEM \"" + url + L"/x\">]><r>text&x;</r>",
        L"<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + url + L"/p.dtd\"> %p;]><r>text</r>",
    };
    for (const std::wstring& text : documents) {
        SCOPED_TRACE(Utf8(text));
        XmlDocument document = Parse(text);
        if (document) {
            EXPECT_EQ(L"text", SelectedValue(document.Get(), L"/r"));
        }
    }
    XmlDocument fromUrl(JobCreateDocumentFromXML((url + L"/file.xml").c_str()));
    EXPECT_FALSE(fromUrl);
    EXPECT_FALSE(listener.WasContacted());
}

TEST(XmlHostileInput, OversizedTextAndDeepNestingAreRefused) {
    TempFolder folder;
    const std::string huge = "<r>" + std::string(50u * 1024 * 1024, 'a') + "</r>";
    EXPECT_EQ(nullptr, JobCreateDocumentFromXML(Wide(folder.Write("huge.xml", huge)).c_str()));

    std::string deep;
    for (int i = 0; i < 5000; ++i) {
        deep += "<a>";
    }
    for (int i = 0; i < 5000; ++i) {
        deep += "</a>";
    }
    EXPECT_EQ(nullptr, JobCreateDocumentFromXML(Wide(folder.Write("deep.xml", deep)).c_str()));

    // Ordinary large values still load.
    const std::string large = "<r>" + std::string(1024 * 1024, 'b') + "</r>";
    XmlDocument document(JobCreateDocumentFromXML(Wide(folder.Write("large.xml", large)).c_str()));
    ASSERT_TRUE(document);
    EXPECT_EQ(std::wstring(1024 * 1024, L'b'), SelectedValue(document.Get(), L"/r"));
}

int gForeignErrors = 0;
void CountForeignError(void*, xmlErrorPtr) {
    ++gForeignErrors;
}

TEST(XmlHostileInput, FailuresPrintNothingAndLeaveTheThreadsErrorHandlersAsTheyWere) {
    TempFolder folder;
    int marker = 0;
    xmlSetStructuredErrorFunc(&marker, CountForeignError);
    gForeignErrors = 0;
    testing::internal::CaptureStderr();
    {
        EXPECT_FALSE(Parse(L"<a><b></a>"));
        EXPECT_FALSE(Parse(EntityBomb()));
        EXPECT_EQ(nullptr, JobCreateDocumentFromXML(WidePath(folder.Path() / "none.xml").c_str()));
        XmlDocument document = Parse(L"<r/>");
        ASSERT_TRUE(document);
        EXPECT_FALSE(Select(document.Get(), L"/r[@a='"));
        EXPECT_FALSE(Select(document.Get(), L"unknown-function(/r)"));
        EXPECT_EQ(0, JobCreateProcessingInstruction(document.Get(), L"xml", L"version=1.0"));
        EXPECT_EQ(0, JobSaveXMLDocument(document.Get(),
                                        WidePath(folder.Path() / "none" / "out.xml").c_str()));
    }
    const std::string printed = testing::internal::GetCapturedStderr();
    const xmlStructuredErrorFunc handler = xmlStructuredError;
    void* const context = xmlStructuredErrorContext;
    xmlSetStructuredErrorFunc(nullptr, nullptr);
    EXPECT_EQ("", printed);
    EXPECT_EQ(0, gForeignErrors);
    EXPECT_EQ(&CountForeignError, handler);
    EXPECT_EQ(&marker, context);
}

// -------------------------------------------------------------------------------------------------
// Element values

TEST(XmlElementValue, BufferReportsTheSizeItNeeds) {
    XmlDocument document = Parse(L"<r><v>0123456789</v></r>");
    XmlElement element = Select(document.Get(), L"/r/v");
    ASSERT_TRUE(element);

    wchar_t buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    DWORD size = 5;
    EXPECT_EQ(0, JobGetElementValue(element.Get(), buffer, &size));
    EXPECT_EQ(11u, size);
    EXPECT_EQ(L'#', buffer[0]);  // nothing copied

    size = 11;
    EXPECT_EQ(1, JobGetElementValue(element.Get(), buffer, &size));
    EXPECT_EQ(11u, size);
    EXPECT_EQ(std::wstring(L"0123456789"), buffer);

    size = 16;
    EXPECT_EQ(1, JobGetElementValue(element.Get(), buffer, &size));
    EXPECT_EQ(11u, size);

    // No buffer to copy into: only the size needed comes back.
    size = 16;
    EXPECT_EQ(0, JobGetElementValue(element.Get(), nullptr, &size));
    EXPECT_EQ(11u, size);

    EXPECT_EQ(0, JobGetElementValue(element.Get(), buffer, nullptr));
}

TEST(XmlElementValue, OnlyTheFirstTextChildIsTheValue) {
    struct Case {
        const wchar_t* xml;
        std::optional<std::wstring> value;
    };
    const std::vector<Case> cases = {
        {L"<v/>", std::nullopt},
        {L"<v></v>", std::nullopt},
        {L"<v><n>inner</n></v>", std::nullopt},
        {L"<v><![CDATA[cdata]]></v>", std::nullopt},
        {L"<v><!--comment--></v>", std::nullopt},
        {L"<v>\n  <n>inner</n>\n</v>", std::nullopt},  // layout between elements is no text
        {L"<v><!--comment-->text</v>", L"text"},
        {L"<v><n>inner</n>tail</v>", L"tail"},
        {L"<v><![CDATA[cdata]]>after</v>", L"after"},
        {L"<v>first<n/>second</v>", L"first"},
        {L"<v>a &amp; b &lt;c&gt; &#x20AC;</v>", L"a & b <c> €"},
        {L"<v>  </v>", L"  "},
        {L"<v>Grüße 𝄞</v>", L"Grüße 𝄞"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.xml));
        XmlDocument document = Parse(c.xml);
        ASSERT_TRUE(document);
        XmlElement element(JobGetDocumentElement(document.Get()));
        EXPECT_EQ(c.value, ValueOf(element.Get()));
        if (!c.value) {
            wchar_t buffer[32];
            DWORD size = 32;
            EXPECT_EQ(0, JobGetElementValue(element.Get(), buffer, &size));
            EXPECT_EQ(0u, size);
        }
    }
}

TEST(XmlElementValue, OnlyElementsHaveOne) {
    XmlDocument document = Parse(L"<r a=\"attr\">text</r>");
    XmlElement attribute = Select(document.Get(), L"/r/@a");
    XmlElement text = Select(document.Get(), L"/r/text()");
    for (void* handle :
         {document.Get(), attribute.Get(), text.Get(), static_cast<void*>(nullptr)}) {
        wchar_t buffer[8];
        DWORD size = 8;
        EXPECT_EQ(0, JobGetElementValue(handle, buffer, &size));
        EXPECT_EQ(0u, size);
        EXPECT_EQ(0, JobSetElementValue(handle, L"x"));
    }
}

TEST(XmlElementValue, SetReplacesRemovesOrAddsTheFirstTextChild) {
    TempFolder folder;
    struct Case {
        const wchar_t* xml;
        const wchar_t* value;
        std::optional<std::wstring> after;
        std::string saved;
    };
    const std::vector<Case> cases = {
        {L"<v/>", nullptr, std::nullopt, "<v/>"},
        {L"<v>old</v>", nullptr, std::nullopt, "<v/>"},
        {L"<v/>", L"new", L"new", "<v>new</v>"},
        {L"<v>old</v>", L"new", L"new", "<v>new</v>"},
        {L"<v>old</v>", L"", L"", "<v></v>"},
        {L"<v>old<n/>second</v>", L"new", L"new", "<v>new<n/>second</v>"},
        {L"<v>old<n/>second</v>", nullptr, L"second", "<v><n/>second</v>"},
        {L"<v><![CDATA[c]]></v>", L"new", L"new", "<v><![CDATA[c]]>new</v>"},
        {L"<v><![CDATA[c]]></v>", nullptr, std::nullopt, "<v><![CDATA[c]]></v>"},
        {L"<v><n/></v>", L"a<b>&\"c]]>", L"a<b>&\"c]]>", "<v><n/>a&lt;b&gt;&amp;\"c]]&gt;</v>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.xml) + " <- " + (c.value ? Utf8(c.value) : "null"));
        XmlDocument document = Parse(c.xml);
        XmlElement element(JobGetDocumentElement(document.Get()));
        EXPECT_EQ(1, JobSetElementValue(element.Get(), c.value));
        EXPECT_EQ(c.after, ValueOf(element.Get()));
        const std::string saved = Saved(document.Get(), folder);
        EXPECT_EQ(kDeclaration + "\n" + c.saved + "\n", saved);
        XmlDocument reloaded(JobCreateDocumentFromXML(WidePath(folder.Path() / "out.xml").c_str()));
        ASSERT_TRUE(reloaded);
        if (c.after && !c.after->empty()) {
            XmlElement root(JobGetDocumentElement(reloaded.Get()));
            EXPECT_EQ(c.after, ValueOf(root.Get()));
        }
    }
}

TEST(XmlElementValue, TextADocumentCannotHoldIsRefused) {
    XmlDocument document = Parse(L"<v>old</v>");
    XmlElement element(JobGetDocumentElement(document.Get()));
    const std::vector<std::wstring> refused = {
        L"bell\x7",
        L"nul-free but \x1F",
        std::wstring(L"half ") + static_cast<wchar_t>(0xD800),
        std::wstring(L"beyond ") + static_cast<wchar_t>(0x110000),
        std::wstring(L"not a char ") + static_cast<wchar_t>(0xFFFE),
    };
    for (const std::wstring& value : refused) {
        EXPECT_EQ(0, JobSetElementValue(element.Get(), value.c_str()));
        EXPECT_EQ(nullptr, JobCreateElement(document.Get(), L"e", value.c_str()));
        EXPECT_EQ(nullptr, JobCreateAttribute(document.Get(), L"a", value.c_str()));
    }
    EXPECT_EQ(L"old", ValueOf(element.Get()));
    EXPECT_EQ(1, JobSetElementValue(element.Get(), L"tab\tline\nreturn\r"));
    EXPECT_EQ(L"tab\tline\nreturn\r", ValueOf(element.Get()));
}

// -------------------------------------------------------------------------------------------------
// Element children

TEST(XmlElementChildren, OnlyElementsCountAndAreIndexed) {
    XmlDocument document = Parse(L"<r>text<A>a</A><!--comment--><B>b</B></r>");
    XmlElement root(JobGetDocumentElement(document.Get()));
    EXPECT_EQ(2, JobGetElementChildCount(root.Get()));

    struct Case {
        int index;
        const wchar_t* value;  // null: no child
    };
    const std::vector<Case> cases = {
        {0, L"a"}, {1, L"b"}, {2, nullptr}, {3, nullptr}, {4, nullptr}, {-1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        XmlElement child(JobGetElementChild(root.Get(), c.index));
        if (c.value == nullptr) {
            EXPECT_FALSE(child);
        } else {
            ASSERT_TRUE(child);
            EXPECT_EQ(c.value, ValueOf(child.Get()));
        }
    }
}

TEST(XmlElementChildren, NodesWithoutChildElementsCountNone) {
    XmlDocument document = Parse(L"<r a=\"1\"><e/>text</r>");
    XmlElement empty = Select(document.Get(), L"/r/e");
    XmlElement text = Select(document.Get(), L"/r/text()");
    XmlElement attribute = Select(document.Get(), L"/r/@a");
    for (void* handle : {empty.Get(), text.Get(), attribute.Get()}) {
        EXPECT_EQ(0, JobGetElementChildCount(handle));
        EXPECT_EQ(nullptr, JobGetElementChild(handle, 0));
    }
    EXPECT_EQ(-1, JobGetElementChildCount(nullptr));
    EXPECT_EQ(nullptr, JobGetElementChild(nullptr, 0));

    // A document's element child is its document element.
    EXPECT_EQ(1, JobGetElementChildCount(document.Get()));
    XmlElement root(JobGetElementChild(document.Get(), 0));
    EXPECT_EQ(L"text", ValueOf(root.Get()));
}

TEST(XmlElementChildren, ByNameMatchesTheWholeNameExactly) {
    XmlDocument document = Parse(
        L"<r xmlns:k=\"urn:k\"><patch>lower</patch><Patch>first</Patch><Patch>second</Patch>"
        L"<Patches>plural</Patches><k:Patch>prefixed</k:Patch><!--Patch-->Patch</r>");
    XmlElement root(JobGetDocumentElement(document.Get()));
    struct Case {
        const wchar_t* name;
        const wchar_t* value;  // null: no child
    };
    const std::vector<Case> cases = {
        {L"Patch", L"first"},      {L"patch", L"lower"}, {L"Patches", L"plural"},
        {L"k:Patch", L"prefixed"}, {L"PATCH", nullptr},  {L"Pat", nullptr},
        {L"Patch ", nullptr},      {L"", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.name));
        XmlElement child(JobGetElementChildByName(root.Get(), c.name));
        if (c.value == nullptr) {
            EXPECT_FALSE(child);
        } else {
            ASSERT_TRUE(child);
            EXPECT_EQ(c.value, ValueOf(child.Get()));
        }
    }
    EXPECT_EQ(nullptr, JobGetElementChildByName(root.Get(), nullptr));
    EXPECT_EQ(nullptr, JobGetElementChildByName(nullptr, L"Patch"));
}

TEST(XmlElementChildren, AppendAttachesOrMovesAndKeepsTheCallersHandle) {
    TempFolder folder;
    XmlDocument document = Parse(L"<r><a>one</a><b>two</b></r>");
    XmlElement root(JobGetDocumentElement(document.Get()));
    {
        XmlElement created(JobCreateElement(document.Get(), L"c", L"three"));
        ASSERT_TRUE(created);
        EXPECT_EQ(1, JobAddElementChild(root.Get(), created.Get()));
    }  // the caller's handle goes; the tree keeps the element

    XmlElement a = Select(document.Get(), L"/r/a");
    EXPECT_EQ(1, JobAddElementChild(root.Get(), a.Get()));  // moves to the end

    // A text node joins another element's text without being merged into it.
    XmlElement b = Select(document.Get(), L"/r/b");
    XmlElement two = Select(document.Get(), L"/r/b/text()");
    XmlElement c = Select(document.Get(), L"/r/c");
    EXPECT_EQ(1, JobAddElementChild(c.Get(), two.Get()));
    EXPECT_EQ(L"two", AttributeValueOf(two.Get()));
    EXPECT_EQ(L"three", ValueOf(c.Get()));
    EXPECT_EQ(std::nullopt, ValueOf(b.Get()));

    EXPECT_EQ(kDeclaration + "\n<r>\n  <b/>\n  <c>threetwo</c>\n  <a>one</a>\n</r>\n",
              Saved(document.Get(), folder));
}

TEST(XmlElementChildren, AppendRefusesWhatATreeCannotHold) {
    XmlDocument document = Parse(L"<r><a><b/></a></r>");
    XmlDocument other = Parse(L"<o/>");
    XmlElement root(JobGetDocumentElement(document.Get()));
    XmlElement a = Select(document.Get(), L"/r/a");
    XmlElement b = Select(document.Get(), L"/r/a/b");
    XmlElement foreign(JobGetDocumentElement(other.Get()));
    XmlAttribute attribute(JobCreateAttribute(document.Get(), L"x", L"1"));
    XmlElement loose(JobCreateElement(document.Get(), L"loose", nullptr));
    XmlElement text(JobCreateElement(document.Get(), L"t", L"text"));
    XmlElement textNode(JobGetElement(text.Get(), L"text()"));

    struct Case {
        const char* what;
        void* parent;
        void* child;
    };
    const std::vector<Case> cases = {
        {"element into itself", a.Get(), a.Get()},
        {"ancestor into descendant", b.Get(), a.Get()},
        {"root into its descendant", b.Get(), root.Get()},
        {"node of another document", root.Get(), foreign.Get()},
        {"into a node of another document", foreign.Get(), loose.Get()},
        {"attribute as a child", root.Get(), attribute.Get()},
        {"document as a child", root.Get(), document.Get()},
        {"second element of a document", document.Get(), loose.Get()},
        {"text directly under a document", document.Get(), textNode.Get()},
        {"child of a text node", textNode.Get(), loose.Get()},
        {"child of an attribute", attribute.Get(), loose.Get()},
        {"null parent", nullptr, loose.Get()},
        {"null child", root.Get(), nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(0, JobAddElementChild(c.parent, c.child)) << c.what;
    }
    EXPECT_EQ(1, JobGetElementChildCount(root.Get()));
    EXPECT_EQ(1, JobGetElementChildCount(a.Get()));
}

// -------------------------------------------------------------------------------------------------
// Attributes

TEST(XmlAttributes, CreateNeedsAValidNameAndAValue) {
    XmlDocument document(JobCreateDocument());
    XmlElement element(JobCreateElement(document.Get(), L"e", nullptr));
    struct Case {
        const wchar_t* name;
        const wchar_t* value;
        bool created;
    };
    const std::vector<Case> cases = {
        {L"Id", L"KB1", true},       {L"Id", L"", true},     {L"k:Id", L"1", true},
        {L"Id", nullptr, false},     {nullptr, L"1", false}, {L"", L"1", false},
        {L"two words", L"1", false}, {L"1st", L"1", false},  {L"a>b", L"1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? Utf8(c.name) : "null");
        XmlAttribute attribute(JobCreateAttribute(document.Get(), c.name, c.value));
        EXPECT_EQ(c.created, static_cast<bool>(attribute));
        if (attribute) {
            EXPECT_EQ(c.value, AttributeValueOf(attribute.Get()));
        }
    }
    // Attributes come from documents only.
    EXPECT_EQ(nullptr, JobCreateAttribute(element.Get(), L"Id", L"1"));
}

TEST(XmlAttributes, AddingANameTheElementHasReplacesTheOldAttribute) {
    TempFolder folder;
    XmlDocument document = Parse(L"<r a=\"old\" b=\"x\"/>");
    XmlElement root(JobGetDocumentElement(document.Get()));
    XmlAttribute old(JobGetElementAttributeByName(root.Get(), L"a"));
    ASSERT_TRUE(old);
    {
        XmlAttribute replacement(JobCreateAttribute(document.Get(), L"a", L"new"));
        EXPECT_EQ(1, JobAddElementAttribute(root.Get(), replacement.Get()));
        EXPECT_EQ(1, JobAddElementAttribute(root.Get(), replacement.Get()));  // already there
    }
    XmlAttribute current(JobGetElementAttributeByName(root.Get(), L"a"));
    EXPECT_EQ(L"new", AttributeValueOf(current.Get()));
    EXPECT_EQ(L"old", AttributeValueOf(old.Get()));  // the replaced one lives on for its handle
    EXPECT_EQ(kDeclaration + "\n<r a=\"new\" b=\"x\"/>\n", Saved(document.Get(), folder));

    // A detached attribute may be attached again; an attached one is not shared.
    XmlElement other(JobCreateElement(document.Get(), L"o", nullptr));
    EXPECT_EQ(0, JobAddElementAttribute(other.Get(), current.Get()));
    EXPECT_EQ(1, JobAddElementAttribute(other.Get(), old.Get()));
    EXPECT_EQ(1, JobAddElementChild(root.Get(), other.Get()));
    EXPECT_EQ(kDeclaration + "\n<r a=\"new\" b=\"x\">\n  <o a=\"old\"/>\n</r>\n",
              Saved(document.Get(), folder));
}

TEST(XmlAttributes, LookupByNameIsExactAndValuesRoundTrip) {
    TempFolder folder;
    XmlDocument document = Parse(L"<r Id=\"KB1\" xmlns:k=\"urn:k\" k:Type=\"t\"/>");
    XmlElement root(JobGetDocumentElement(document.Get()));
    struct Case {
        const wchar_t* name;
        const wchar_t* value;  // null: no attribute
    };
    const std::vector<Case> cases = {
        {L"Id", L"KB1"}, {L"k:Type", L"t"}, {L"id", nullptr}, {L"Type", nullptr}, {L"", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.name));
        XmlAttribute attribute(JobGetElementAttributeByName(root.Get(), c.name));
        if (c.value == nullptr) {
            EXPECT_FALSE(attribute);
        } else {
            EXPECT_EQ(c.value, AttributeValueOf(attribute.Get()));
        }
    }

    const std::wstring awkward = L"\"quotes\" 'apostrophes' <tags> & amps\ttab\nline é";
    XmlAttribute attribute(JobCreateAttribute(document.Get(), L"Desc", awkward.c_str()));
    EXPECT_EQ(1, JobAddElementAttribute(root.Get(), attribute.Get()));
    Saved(document.Get(), folder);
    XmlDocument reloaded(JobCreateDocumentFromXML(WidePath(folder.Path() / "out.xml").c_str()));
    ASSERT_TRUE(reloaded);
    EXPECT_EQ(awkward, SelectedValue(reloaded.Get(), L"/r/@Desc"));
}

TEST(XmlAttributes, ValueIsTheNodeValueOfAnyNodeThatHasOne) {
    XmlDocument document =
        Parse(L"<r a=\"attr\">text<![CDATA[cdata]]><!--note--><?pi data?><e/></r>");
    struct Case {
        const wchar_t* expression;
        std::optional<std::wstring> value;
    };
    const std::vector<Case> cases = {
        {L"/r/@a", L"attr"},        {L"/r/text()", L"text"},
        {L"/r/comment()", L"note"}, {L"/r/processing-instruction()", L"data"},
        {L"/r/e", std::nullopt},    {L"/", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.expression));
        XmlElement node = Select(document.Get(), c.expression);
        ASSERT_TRUE(node);
        EXPECT_EQ(c.value, AttributeValueOf(node.Get()));
    }
    XmlElement cdata = Select(document.Get(), L"/r/text()[2]");
    EXPECT_EQ(L"cdata", AttributeValueOf(cdata.Get()));
}

// -------------------------------------------------------------------------------------------------
// Document element and handle ownership

TEST(XmlDocumentElement, SetReplacesTheRootAndKeepsTheOldOneForItsHandle) {
    TempFolder folder;
    XmlDocument document(JobCreateDocument());
    ASSERT_TRUE(document);
    EXPECT_EQ(nullptr, JobGetDocumentElement(document.Get()));
    EXPECT_EQ(0, JobGetElementChildCount(document.Get()));

    XmlElement first(JobCreateElement(document.Get(), L"First", L"1"));
    EXPECT_EQ(1, JobSetDocumentElement(document.Get(), first.Get()));
    EXPECT_EQ(1, JobSetDocumentElement(document.Get(), first.Get()));
    XmlElement root(JobGetDocumentElement(document.Get()));
    EXPECT_EQ(L"1", ValueOf(root.Get()));

    XmlElement second(JobCreateElement(document.Get(), L"Second", L"2"));
    EXPECT_EQ(1, JobSetDocumentElement(document.Get(), second.Get()));
    EXPECT_EQ(kDeclaration + "\n<Second>2</Second>\n", Saved(document.Get(), folder));
    EXPECT_EQ(L"1", ValueOf(first.Get()));

    // A descendant of the root may become the root.
    XmlElement inner(JobCreateElement(document.Get(), L"Inner", L"3"));
    EXPECT_EQ(1, JobAddElementChild(second.Get(), inner.Get()));
    EXPECT_EQ(1, JobSetDocumentElement(document.Get(), inner.Get()));
    EXPECT_EQ(kDeclaration + "\n<Inner>3</Inner>\n", Saved(document.Get(), folder));
}

TEST(XmlDocumentElement, SetRefusesWhatCannotBeARoot) {
    XmlDocument document(JobCreateDocument());
    XmlDocument other = Parse(L"<o/>");
    XmlElement foreign(JobGetDocumentElement(other.Get()));
    XmlElement element(JobCreateElement(document.Get(), L"e", nullptr));
    XmlAttribute attribute(JobCreateAttribute(document.Get(), L"a", L"1"));
    EXPECT_EQ(0, JobSetDocumentElement(document.Get(), foreign.Get()));
    EXPECT_EQ(0, JobSetDocumentElement(document.Get(), attribute.Get()));
    EXPECT_EQ(0, JobSetDocumentElement(document.Get(), document.Get()));
    EXPECT_EQ(0, JobSetDocumentElement(element.Get(), element.Get()));
    EXPECT_EQ(0, JobSetDocumentElement(nullptr, element.Get()));
    EXPECT_EQ(0, JobSetDocumentElement(document.Get(), nullptr));
    EXPECT_EQ(nullptr, JobGetDocumentElement(document.Get()));
}

TEST(XmlHandles, NodeHandlesOutliveTheDocumentHandle) {
    void* document = JobCreateDocumentFromXMLStream(L"<r><v a=\"attr\">value</v></r>");
    ASSERT_NE(nullptr, document);
    void* element = JobGetElement(document, L"/r/v");
    void* attribute = JobGetElementAttributeByName(element, L"a");
    void* created = JobCreateElement(document, L"loose", L"never attached");
    void* createdAttribute = JobCreateAttribute(document, L"b", L"never attached");
    ASSERT_NE(nullptr, element);
    ASSERT_NE(nullptr, attribute);
    EXPECT_EQ(1, JobDestroyDocument(document));

    EXPECT_EQ(L"value", ValueOf(element));
    EXPECT_EQ(L"attr", AttributeValueOf(attribute));
    EXPECT_EQ(L"value", SelectedValue(element, L"/r/v"));
    EXPECT_EQ(1, JobSetElementValue(element, L"changed"));
    EXPECT_EQ(1, JobAddElementChild(element, created));
    EXPECT_EQ(L"never attached", SelectedValue(element, L"loose"));

    EXPECT_EQ(1, JobDestroyAttribute(attribute));
    EXPECT_EQ(1, JobDestroyElement(created));
    EXPECT_EQ(L"changed", ValueOf(element));
    EXPECT_EQ(1, JobDestroyElement(element));
    EXPECT_EQ(L"never attached", AttributeValueOf(createdAttribute));
    EXPECT_EQ(1, JobDestroyAttribute(createdAttribute));  // the last handle frees the document
}

TEST(XmlHandles, RemovedNodesStayValidForTheirHandles) {
    TempFolder folder;
    XmlDocument document = Parse(L"<r><v>old</v><w><x>deep</x></w></r>");
    XmlElement v = Select(document.Get(), L"/r/v");
    XmlElement text = Select(document.Get(), L"/r/v/text()");
    XmlElement x = Select(document.Get(), L"/r/w/x");
    XmlElement root(JobGetDocumentElement(document.Get()));

    EXPECT_EQ(1, JobSetElementValue(v.Get(), nullptr));
    EXPECT_EQ(L"old", AttributeValueOf(text.Get()));

    // The removed text node may be attached again elsewhere.
    XmlElement holder(JobCreateElement(document.Get(), L"holder", nullptr));
    EXPECT_EQ(1, JobAddElementChild(holder.Get(), text.Get()));
    EXPECT_EQ(L"old", ValueOf(holder.Get()));

    // Replacing the root detaches the whole old tree; its nodes remain usable.
    EXPECT_EQ(1, JobSetDocumentElement(document.Get(), holder.Get()));
    EXPECT_EQ(L"deep", ValueOf(x.Get()));
    EXPECT_EQ(L"deep", SelectedValue(root.Get(), L"w/x"));
    EXPECT_EQ(kDeclaration + "\n<holder>old</holder>\n", Saved(document.Get(), folder));
}

// -------------------------------------------------------------------------------------------------
// Selection

TEST(XmlSelect, ExpressionsOfTheLibrarySelectTheFirstMatchInDocumentOrder) {
    const std::wstring record =
        L"<Product Name=\"Backup\">"
        L"<Release MajorVersion=\"1\" MinorVersion=\"0\" ServicePack=\"\">"
        L"<Package Id=\"KB1\"><Desc>first</Desc></Package>"
        L"<Package Id=\"KB2\"><Desc>second</Desc></Package></Release>"
        L"<Release MajorVersion=\"1\" MinorVersion=\"0\" ServicePack=\"SP1\">"
        L"<Package Id=\"KB2\"><Desc>sp1 second</Desc></Package></Release></Product>";
    const std::wstring catalogue =
        L"<Patches MajorVersion=\"1\" MinorVersion=\"0\" ServicePack=\"SP1\">"
        L"<PatchInfo><FixNumber>KB0</FixNumber><Name>zero</Name></PatchInfo>"
        L"<PatchInfo><FixNumber>KB1</FixNumber><Name>one</Name></PatchInfo></Patches>";
    const std::wstring client =
        L"<client><product Name=\"Y\"><path>y</path></product>"
        L"<product Name=\"X\"><path>x</path></product></client>";
    struct Case {
        const std::wstring* document;
        const wchar_t* expression;
        const wchar_t* expected;
    };
    const std::vector<Case> cases = {
        {&record,
         L"/Product/Release[@MajorVersion='1' and @MinorVersion='0' and @ServicePack='']"
         L"/Package[@Id='KB2']/Desc",
         L"second"},
        {&record,
         L"/Product/Release[@MajorVersion='1' and @MinorVersion='0' and @ServicePack='SP1']"
         L"/Package[@Id='KB2']/Desc",
         L"sp1 second"},
        {&record, L"/Product/Release/Package[@Id='KB2']/Desc", L"second"},
        {&record, L"//Package[@Id='KB2']/Desc | //Package[@Id='KB1']/Desc", L"first"},
        {&record, L"/Product/Release/Package[Desc='sp1 second']/@Id", L"KB2"},
        {&record, L"/Product/@Name", L"Backup"},
        {&record, L"/Product/Release/Package[@Id='KB3']", L"<none>"},
        {&record, L"/Product[@Name='backup']", L"<none>"},
        {&record, L"Release", L"<none>"},
        {&record, L"count(/Product/Release)", L"<none>"},
        {&record, L"string(/Product/@Name)", L"<none>"},
        {&record, L"/Product/Release[", L"<none>"},
        {&record, L"/Product/Release[@Id=$undefined]", L"<none>"},
        {&catalogue,
         L"/Patches[@MajorVersion='1' and @MinorVersion='0' and @ServicePack='SP1']"
         L"/PatchInfo[FixNumber='KB1']/Name",
         L"one"},
        {&catalogue, L"/Patches[@ServicePack='SP2']/PatchInfo", L"<none>"},
        {&client, L"/client/product[@Name='X']/path", L"x"},
        {&client, L"/client/product[@Name='Z']", L"<none>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.expression));
        XmlDocument document = Parse(*c.document);
        ASSERT_TRUE(document);
        EXPECT_EQ(c.expected, SelectedValue(document.Get(), c.expression));
    }
}

TEST(XmlSelect, EvaluatesOnTheGivenNode) {
    XmlDocument document = Parse(
        L"<Product><Release ServicePack=\"\"><Package Id=\"KB1\">a</Package></Release>"
        L"<Release ServicePack=\"SP1\"><Package Id=\"KB1\">b</Package></Release></Product>");
    XmlElement second = Select(document.Get(), L"/Product/Release[@ServicePack='SP1']");
    ASSERT_TRUE(second);
    EXPECT_EQ(L"b", SelectedValue(second.Get(), L"Package[@Id='KB1']"));
    EXPECT_EQ(L"a", SelectedValue(second.Get(), L"/Product/Release/Package"));
    EXPECT_EQ(L"SP1", SelectedValue(second.Get(), L"@ServicePack"));
    XmlElement parent = Select(second.Get(), L"..");
    EXPECT_EQ(2, JobGetElementChildCount(parent.Get()));

    EXPECT_EQ(nullptr, JobGetElement(nullptr, L"/Product"));
    EXPECT_EQ(nullptr, JobGetElement(document.Get(), nullptr));
    EXPECT_EQ(nullptr, JobGetElement(document.Get(), L""));
    // A namespace node exists only inside the result it came with.
    XmlDocument spaced = Parse(L"<r xmlns:k=\"urn:k\"/>");
    EXPECT_EQ(nullptr, JobGetElement(spaced.Get(), L"/r/namespace::k"));
}

// -------------------------------------------------------------------------------------------------
// Saving and processing instructions

TEST(XmlSave, WritesUtf8WithOneDeclarationAndReadsBackTheSame) {
    TempFolder folder;
    XmlDocument document(JobCreateDocument());
    EXPECT_EQ(1, JobCreateProcessingInstruction(document.Get(), L"xml",
                                                L"version=\"1.0\" encoding=\"UTF-8\""));
    XmlElement root(JobCreateElement(document.Get(), L"Product", nullptr));
    EXPECT_EQ(1, JobSetDocumentElement(document.Get(), root.Get()));
    XmlAttribute name(JobCreateAttribute(document.Get(), L"Name", L"Kelm Veltrane Backup"));
    EXPECT_EQ(1, JobAddElementAttribute(root.Get(), name.Get()));
    XmlElement desc(JobCreateElement(document.Get(), L"Desc", L"Grüße € 𝄞"));
    EXPECT_EQ(1, JobAddElementChild(root.Get(), desc.Get()));

    const std::string saved = Saved(document.Get(), folder);
    EXPECT_EQ(kDeclaration +
                  "\n<Product Name=\"Kelm Veltrane Backup\">\n"
                  "  <Desc>Gr\xC3\xBC\xC3\x9F"
                  "e \xE2\x82\xAC \xF0\x9D\x84\x9E</Desc>\n"
                  "</Product>\n",
              saved);

    XmlDocument reloaded(JobCreateDocumentFromXML(WidePath(folder.Path() / "out.xml").c_str()));
    ASSERT_TRUE(reloaded);
    EXPECT_EQ(L"Grüße € 𝄞", SelectedValue(reloaded.Get(), L"/Product/Desc"));
    EXPECT_EQ(L"Kelm Veltrane Backup", SelectedValue(reloaded.Get(), L"/Product/@Name"));
    // Saving what was loaded gives the same bytes.
    EXPECT_EQ(saved, Saved(reloaded.Get(), folder, "again.xml"));
}

TEST(XmlSave, DeclarationNamesTheEncodingTheFileIsWrittenIn) {
    TempFolder folder;
    struct Case {
        const wchar_t* xml;
        const wchar_t* declaration;  // given by instruction; null: none
        std::string firstLine;
    };
    const std::vector<Case> cases = {
        {L"<r>é</r>", nullptr, kDeclaration},
        {L"<?xml version=\"1.0\" encoding=\"windows-1252\"?><r>é</r>", nullptr, kDeclaration},
        {L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>é</r>", nullptr, kDeclaration},
        {L"<r>é</r>", L"version=\"1.0\" encoding=\"UTF-16\"", kDeclaration},
        {L"<r>é</r>", L"version='1.0' encoding='UTF-8' standalone='yes'",
         "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.xml));
        XmlDocument document = Parse(c.xml);
        if (c.declaration != nullptr) {
            EXPECT_EQ(1, JobCreateProcessingInstruction(document.Get(), L"xml", c.declaration));
        }
        EXPECT_EQ(c.firstLine + "\n<r>\xC3\xA9</r>\n", Saved(document.Get(), folder));
    }
}

TEST(XmlSave, ProcessingInstructionsAreAppendedToTheDocument) {
    TempFolder folder;
    XmlDocument document = Parse(L"<r/>");
    EXPECT_EQ(1, JobCreateProcessingInstruction(document.Get(), L"mark", L"some data"));
    EXPECT_EQ(1, JobCreateProcessingInstruction(document.Get(), L"empty", L""));
    struct Case {
        const wchar_t* target;
        const wchar_t* data;
    };
    const std::vector<Case> refused = {
        {L"XML", L"x"},
        {L"Xml", L"x"},
        {L"bad target", L"x"},
        {L"", L"x"},
        {nullptr, L"x"},
        {L"mark", nullptr},
        {L"mark", L"a?>b"},
        {L"mark", L"\x1"},
        {L"xml", L""},
        {L"xml", L"garbage"},
        {L"xml", L"version=\"1.0\"?><x/><?y"},
        {L"xml", L"version=\"1.0\" encoding=\"UTF-8\" extra=\"1\""},
    };
    for (const Case& c : refused) {
        EXPECT_EQ(0, JobCreateProcessingInstruction(document.Get(), c.target, c.data))
            << (c.target ? Utf8(c.target) : "null") << " " << (c.data ? Utf8(c.data) : "null");
    }
    XmlElement root(JobGetDocumentElement(document.Get()));
    EXPECT_EQ(0, JobCreateProcessingInstruction(root.Get(), L"mark", L"x"));
    EXPECT_EQ(0, JobCreateProcessingInstruction(nullptr, L"mark", L"x"));
    EXPECT_EQ(kDeclaration + "\n<r/>\n<?mark some data?>\n<?empty?>\n",
              Saved(document.Get(), folder));
}

TEST(XmlSave, DocumentWithoutRootSavesTheDeclarationOnly) {
    TempFolder folder;
    XmlDocument document(JobCreateDocument());
    EXPECT_EQ(1, JobCreateProcessingInstruction(document.Get(), L"xml",
                                                L"version=\"1.0\" encoding=\"UTF-8\""));
    EXPECT_EQ(kDeclaration + "\n", Saved(document.Get(), folder));
}

TEST(XmlSave, ReplacesTheWholeFileAndLeavesNothingElse) {
    TempFolder folder;
    const std::filesystem::path path = folder.Path() / "record.xml";
    folder.Write("record.xml", std::string(10000, 'x'));
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
    XmlDocument document = Parse(L"<r>short</r>");
    EXPECT_EQ(1, JobSaveXMLDocument(document.Get(), WidePath(path).c_str()));
    EXPECT_EQ(kDeclaration + "\n<r>short</r>\n", ReadFile(path));
    EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read,
              std::filesystem::status(path).permissions());
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(std::vector<std::string>{"record.xml"}, names);
}

TEST(XmlSave, FailsWithoutLeavingAnythingBehind) {
    TempFolder folder;
    std::filesystem::create_directory(folder.Path() / "folder.xml");
    XmlDocument document = Parse(L"<r/>");
    XmlElement root(JobGetDocumentElement(document.Get()));
    const std::vector<std::filesystem::path> paths = {
        folder.Path() / "missing" / "out.xml",  // a folder that does not exist
        folder.Path() / "folder.xml",           // a folder in the file's place
        folder.Path() / "",                     // no file name
    };
    for (const auto& path : paths) {
        EXPECT_EQ(0, JobSaveXMLDocument(document.Get(), WidePath(path).c_str())) << path;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "missing"));
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path() / "folder.xml"));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(folder.Path()),
                               std::filesystem::directory_iterator()));

    const std::wstring valid = WidePath(folder.Path() / "out.xml");
    EXPECT_EQ(0, JobSaveXMLDocument(nullptr, valid.c_str()));
    EXPECT_EQ(0, JobSaveXMLDocument(root.Get(), valid.c_str()));
    EXPECT_EQ(0, JobSaveXMLDocument(document.Get(), nullptr));
    EXPECT_EQ(0, JobSaveXMLDocument(document.Get(), L""));
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "out.xml"));
}

// -------------------------------------------------------------------------------------------------
// Null handles and arguments

TEST(XmlNullArguments, EveryFunctionFailsAtOnce) {
    XmlDocument document = Parse(L"<r a=\"1\">v</r>");
    XmlElement root(JobGetDocumentElement(document.Get()));
    XmlAttribute attribute(JobGetElementAttributeByName(root.Get(), L"a"));
    wchar_t buffer[8];
    DWORD size = 8;

    EXPECT_EQ(0, JobDestroyDocument(nullptr));
    EXPECT_EQ(0, JobDestroyElement(nullptr));
    EXPECT_EQ(0, JobDestroyAttribute(nullptr));
    EXPECT_EQ(nullptr, JobGetDocumentElement(nullptr));
    EXPECT_EQ(nullptr, JobGetDocumentElement(root.Get()));
    EXPECT_EQ(nullptr, JobCreateElement(nullptr, L"e", L"v"));
    EXPECT_EQ(nullptr, JobCreateElement(document.Get(), nullptr, L"v"));
    EXPECT_EQ(nullptr, JobCreateElement(document.Get(), L"", L"v"));
    EXPECT_EQ(nullptr, JobCreateElement(root.Get(), L"e", L"v"));
    EXPECT_EQ(nullptr, JobCreateAttribute(nullptr, L"a", L"v"));
    EXPECT_EQ(0, JobGetElementValue(nullptr, buffer, &size));
    EXPECT_EQ(0u, size);
    size = 8;
    EXPECT_EQ(0, JobGetAttributeValue(nullptr, buffer, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(0, JobGetAttributeValue(attribute.Get(), buffer, nullptr));
    EXPECT_EQ(0, JobSetElementValue(nullptr, L"v"));
    EXPECT_EQ(nullptr, JobGetElementAttributeByName(nullptr, L"a"));
    EXPECT_EQ(nullptr, JobGetElementAttributeByName(root.Get(), nullptr));
    EXPECT_EQ(nullptr, JobGetElementAttributeByName(attribute.Get(), L"a"));
    EXPECT_EQ(0, JobAddElementAttribute(nullptr, attribute.Get()));
    EXPECT_EQ(0, JobAddElementAttribute(root.Get(), nullptr));
    EXPECT_EQ(0, JobAddElementAttribute(root.Get(), root.Get()));
    EXPECT_EQ(0, JobAddElementAttribute(document.Get(), attribute.Get()));
    EXPECT_EQ(0, JobCreateProcessingInstruction(document.Get(), nullptr, nullptr));
    // Nothing above changed the document.
    EXPECT_EQ(L"v", ValueOf(root.Get()));
    EXPECT_EQ(L"1", AttributeValueOf(attribute.Get()));
}

// -------------------------------------------------------------------------------------------------
// Threads

TEST(XmlDocumentConcurrent, ThreadsWorkOnTheirOwnDocumentsAtTheSameTime) {
    TempFolder folder;
    constexpr int kThreads = 6;
    constexpr int kRounds = 25;
    std::atomic<int> failures{0};
    auto work = [&](int thread) {
        for (int round = 0; round < kRounds; ++round) {
            const std::wstring id = L"KB" + std::to_wstring(thread * 1000 + round);
            XmlDocument document(JobCreateDocumentFromXMLStream(
                L"<Product Name=\"P\"><Release MajorVersion=\"1\"/></Product>"));
            XmlElement release = Select(document.Get(), L"/Product/Release[@MajorVersion='1']");
            XmlElement package(JobCreateElement(document.Get(), L"Package", nullptr));
            XmlAttribute attribute(JobCreateAttribute(document.Get(), L"Id", id.c_str()));
            XmlElement status(JobCreateElement(document.Get(), L"DownloadStatus", L"0"));
            const bool built = release && package && attribute && status &&
                               JobAddElementAttribute(package.Get(), attribute.Get()) == 1 &&
                               JobAddElementChild(package.Get(), status.Get()) == 1 &&
                               JobAddElementChild(release.Get(), package.Get()) == 1 &&
                               JobSetElementValue(status.Get(), L"1") == 1 &&
                               JobCreateDocumentFromXMLStream(L"<broken>") == nullptr;
            const std::filesystem::path path =
                folder.Path() / ("thread" + std::to_string(thread) + ".xml");
            const bool saved =
                built && JobSaveXMLDocument(document.Get(), WidePath(path).c_str()) == 1;
            XmlDocument reloaded(JobCreateDocumentFromXML(WidePath(path).c_str()));
            const std::wstring query =
                L"/Product/Release/Package[@Id='" + id + L"']/DownloadStatus";
            if (!saved || !reloaded || SelectedValue(reloaded.Get(), query) != L"1") {
                ++failures;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back(work, thread);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, failures.load());
}

}  // namespace
