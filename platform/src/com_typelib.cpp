// The host's type libraries: the IDL source text of a module's TYPELIB
// resource, parsed into the library's attributes and coclasses, served as
// an ITypeLib and registered under HKEY_CLASSES_ROOT\TypeLib the way the
// platform registers a compiled library.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "com_keys.h"

namespace kald::host::com {
namespace {

// A module's TYPELIB resource or a file bigger than this is not a library.
constexpr size_t kMaxSource = 16u << 20;

// Reads the IDL subset of ParseTypeLibrarySource. Every routine returns
// false at the first thing it does not expect; nothing reads past the end.
class IdlParser {
  public:
    explicit IdlParser(const std::string& text) : Text(text) {}

    bool Parse(TypeLibraryDescription& out)
    {
        out = TypeLibraryDescription{};
        for (;;) {
            if (!SkipSpace()) {
                return false;
            }
            if (Peek() == '[') {
                break;
            }
            std::string word;
            if (!ReadIdentifier(word) || word != "import" || !ReadImport()) {
                return false;
            }
        }
        Attributes library;
        std::string keyword;
        if (!ReadAttributes(library) || !library.HasUuid || !ReadIdentifier(keyword) ||
            keyword != "library" || !ReadIdentifier(out.name)) {
            return false;
        }
        out.libid = library.Uuid;
        out.majorVersion = library.Major;
        out.minorVersion = library.Minor;
        out.lcid = library.Lcid;
        out.helpString = library.HelpString;
        if (!Expect('{') || !ReadLibraryBody(out)) {
            return false;
        }
        // An optional ';' and then nothing but space and comments.
        if (!SkipSpace()) {
            return false;
        }
        if (Peek() == ';') {
            ++At;
        }
        return SkipSpace() && At == Text.size();
    }

  private:
    struct Attributes {
        bool HasUuid = false;
        GUID Uuid{};
        WORD Major = 0;
        WORD Minor = 0;
        LCID Lcid = 0;
        std::string HelpString;
        bool Default = false;
    };

    char Peek() const { return At < Text.size() ? Text[At] : '\0'; }
    bool AtEnd() const { return At >= Text.size(); }

    // Skips white space and comments; false for an unterminated comment.
    bool SkipSpace()
    {
        while (!AtEnd()) {
            const char c = Text[At];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
                ++At;
            } else if (Text.compare(At, 2, "//") == 0) {
                const size_t end = Text.find('\n', At);
                At = end == std::string::npos ? Text.size() : end + 1;
            } else if (Text.compare(At, 2, "/*") == 0) {
                const size_t end = Text.find("*/", At + 2);
                if (end == std::string::npos) {
                    return false;
                }
                At = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    bool Expect(char c)
    {
        if (!SkipSpace() || Peek() != c || AtEnd()) {
            return false;
        }
        ++At;
        return true;
    }

    static bool IsIdentifierStart(char c)
    {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    }
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    bool ReadIdentifier(std::string& word)
    {
        if (!SkipSpace() || !IsIdentifierStart(Peek())) {
            return false;
        }
        const size_t start = At;
        while (!AtEnd() && (IsIdentifierStart(Text[At]) || IsDigit(Text[At]))) {
            ++At;
        }
        word.assign(Text, start, At - start);
        return true;
    }

    // "...", on one line; a backslash takes the next character as it is.
    bool ReadString(std::string& value)
    {
        if (!SkipSpace() || Peek() != '"') {
            return false;
        }
        ++At;
        value.clear();
        while (!AtEnd()) {
            char c = Text[At++];
            if (c == '"') {
                return true;
            }
            if (c == '\n') {
                return false;
            }
            if (c == '\\') {
                if (AtEnd()) {
                    return false;
                }
                c = Text[At++];
            }
            value.push_back(c);
        }
        return false;
    }

    // A decimal or 0x-prefixed hex number that fits 32 bits.
    bool ReadNumber(uint32_t& value)
    {
        if (!SkipSpace() || !IsDigit(Peek())) {
            return false;
        }
        uint64_t result = 0;
        unsigned base = 10;
        if (Text.compare(At, 2, "0x") == 0 || Text.compare(At, 2, "0X") == 0) {
            base = 16;
            At += 2;
        }
        size_t digits = 0;
        for (; !AtEnd(); ++At, ++digits) {
            const char c = Text[At];
            unsigned digit;
            if (IsDigit(c)) {
                digit = unsigned(c - '0');
            } else if (base == 16 && c >= 'a' && c <= 'f') {
                digit = unsigned(c - 'a') + 10;
            } else if (base == 16 && c >= 'A' && c <= 'F') {
                digit = unsigned(c - 'A') + 10;
            } else {
                break;
            }
            result = result * base + digit;
            if (result > 0xFFFFFFFFu) {
                return false;
            }
        }
        value = uint32_t(result);
        return digits != 0;
    }

    bool ReadWord16(WORD& value)
    {
        uint32_t number = 0;
        if (!ReadNumber(number) || number > 0xFFFF) {
            return false;
        }
        value = WORD(number);
        return true;
    }

    // The 36 characters of a GUID without braces, optionally quoted.
    bool ReadUuid(GUID& guid)
    {
        if (!SkipSpace()) {
            return false;
        }
        const bool quoted = Peek() == '"';
        if (quoted) {
            ++At;
        }
        if (Text.size() - At < 36) {
            return false;
        }
        std::wstring braced = L"{";
        for (size_t i = 0; i < 36; ++i) {
            braced.push_back(wchar_t(static_cast<unsigned char>(Text[At + i])));
        }
        braced.push_back(L'}');
        At += 36;
        if (quoted && (AtEnd() || Text[At++] != '"')) {
            return false;
        }
        return SUCCEEDED(IIDFromString(braced.c_str(), &guid));
    }

    // Skips a parenthesised argument list of an attribute this reader does
    // not use, with nested parentheses and strings.
    bool SkipArguments()
    {
        int depth = 0;
        while (SkipSpace() && !AtEnd()) {
            const char c = Text[At];
            if (c == '"') {
                std::string ignored;
                if (!ReadString(ignored)) {
                    return false;
                }
                continue;
            }
            ++At;
            if (c == '(') {
                ++depth;
            } else if (c == ')' && --depth == 0) {
                return true;
            }
        }
        return false;
    }

    bool ReadAttribute(Attributes& attributes)
    {
        std::string name;
        if (!ReadIdentifier(name)) {
            return false;
        }
        if (name == "uuid") {
            attributes.HasUuid = true;
            return Expect('(') && ReadUuid(attributes.Uuid) && Expect(')');
        }
        if (name == "version") {
            if (!Expect('(') || !ReadWord16(attributes.Major)) {
                return false;
            }
            attributes.Minor = 0;
            if (Peek() == '.') {
                ++At;
                if (!IsDigit(Peek()) || !ReadWord16(attributes.Minor)) {
                    return false;
                }
            }
            return Expect(')');
        }
        if (name == "helpstring") {
            return Expect('(') && ReadString(attributes.HelpString) && Expect(')');
        }
        if (name == "lcid") {
            return Expect('(') && ReadNumber(attributes.Lcid) && Expect(')');
        }
        if (name == "default") {
            attributes.Default = true;
            return true;
        }
        // Others (helpfile, restricted, ...) are read past.
        if (!SkipSpace()) {
            return false;
        }
        return Peek() != '(' || SkipArguments();
    }

    bool ReadAttributes(Attributes& attributes)
    {
        if (!Expect('[')) {
            return false;
        }
        for (;;) {
            bool done = false;
            if (!ReadAttribute(attributes) || !ReadSeparator(']', done)) {
                return false;
            }
            if (done) {
                return true;
            }
        }
    }

    // import "a.idl", "b.idl";
    bool ReadImport()
    {
        for (;;) {
            std::string file;
            bool done = false;
            if (!ReadString(file) || !ReadSeparator(';', done)) {
                return false;
            }
            if (done) {
                return true;
            }
        }
    }

    // After an item of a comma-separated list that `close` ends: reads the
    // comma or `close` (setting `done`); false at anything else.
    bool ReadSeparator(char close, bool& done)
    {
        if (!SkipSpace()) {
            return false;
        }
        done = Peek() == close;
        if (!done && Peek() != ',') {
            return false;
        }
        ++At;
        return true;
    }

    // After the library's '{': importlib lines and coclasses up to its '}'.
    bool ReadLibraryBody(TypeLibraryDescription& out)
    {
        for (;;) {
            if (!SkipSpace() || AtEnd()) {
                return false;
            }
            if (Peek() == '}') {
                ++At;
                return true;
            }
            Attributes attributes;
            const bool attributed = Peek() == '[';
            if (attributed && !ReadAttributes(attributes)) {
                return false;
            }
            std::string keyword;
            if (!ReadIdentifier(keyword)) {
                return false;
            }
            if (keyword == "importlib" && !attributed) {
                std::string file;
                if (!Expect('(') || !ReadString(file) || !Expect(')') || !Expect(';')) {
                    return false;
                }
                out.imports.push_back(file);
                continue;
            }
            if (keyword != "coclass" || !attributes.HasUuid) {
                return false;
            }
            TypeLibraryCoclass coclass;
            coclass.clsid = attributes.Uuid;
            coclass.helpString = attributes.HelpString;
            if (!ReadIdentifier(coclass.name) || !Expect('{') || !ReadCoclassBody(coclass)) {
                return false;
            }
            if (!SkipSpace()) {
                return false;
            }
            if (Peek() == ';') {
                ++At;
            }
            out.coclasses.push_back(coclass);
        }
    }

    // After a coclass's '{': `[attributes] interface NAME;` lines up to '}'.
    bool ReadCoclassBody(TypeLibraryCoclass& coclass)
    {
        bool haveDefault = false;
        for (;;) {
            if (!SkipSpace() || AtEnd()) {
                return false;
            }
            if (Peek() == '}') {
                ++At;
                return true;
            }
            Attributes attributes;
            if (Peek() == '[' && !ReadAttributes(attributes)) {
                return false;
            }
            std::string keyword;
            std::string name;
            if (!ReadIdentifier(keyword) || (keyword != "interface" && keyword != "dispinterface") ||
                !ReadIdentifier(name) || !Expect(';')) {
                return false;
            }
            if (attributes.Default && !haveDefault) {
                coclass.defaultInterface = name;
                haveDefault = true;
            } else if (coclass.defaultInterface.empty()) {
                coclass.defaultInterface = name;
            }
        }
    }

    const std::string& Text;
    size_t At = 0;
};

// UTF-8 to wide characters; a byte that does not start a valid sequence
// stands for itself.
std::wstring Widen(const std::string& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
        }
        uint32_t code = extra == 0 ? lead : lead & (0x3Fu >> extra);
        bool valid = i + extra < text.size();
        for (size_t k = 1; valid && k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (!valid) {
            code = lead;
            extra = 0;
        }
        out.push_back(wchar_t(code));
        i += extra + 1;
    }
    return out;
}

// Wide characters to UTF-8, for host file names.
std::string Utf8(LPCOLESTR text)
{
    std::string out;
    for (; *text != L'\0'; ++text) {
        uint32_t c = uint32_t(*text);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "%x", value);
    return text;
}

// The resource's or file's bytes as the parser's text: a UTF-8 byte-order
// mark dropped, UTF-16LE (with its mark) turned into UTF-8, and everything
// from the first NUL on dropped.
std::string SourceText(const unsigned char* data, size_t size)
{
    std::string text;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        std::wstring wide;
        for (size_t i = 2; i + 1 < size; i += 2) {
            wide.push_back(wchar_t(data[i] | (data[i + 1] << 8)));
        }
        text = Utf8(wide.c_str());
    } else {
        if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
            data += 3;
            size -= 3;
        }
        text.assign(reinterpret_cast<const char*>(data), size);
    }
    text.resize(strnlen(text.c_str(), text.size()));
    return text;
}

class HostTypeLib final : public ITypeLib {
  public:
    explicit HostTypeLib(TypeLibraryDescription description) : Description(std::move(description))
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ITypeLib)) {
            *ppvObject = static_cast<ITypeLib*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++References; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --References;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    STDMETHODIMP_(UINT) GetTypeInfoCount() override
    {
        return UINT(Description.coclasses.size());
    }
    STDMETHODIMP GetTypeInfo(UINT, ITypeInfo** ppTInfo) override
    {
        if (ppTInfo != nullptr) {
            *ppTInfo = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP GetTypeInfoType(UINT index, TYPEKIND* pTKind) override
    {
        if (pTKind == nullptr) {
            return E_INVALIDARG;
        }
        if (index >= Description.coclasses.size()) {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        *pTKind = TKIND_COCLASS;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfoOfGuid(REFGUID, ITypeInfo** ppTinfo) override
    {
        if (ppTinfo != nullptr) {
            *ppTinfo = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP GetLibAttr(TLIBATTR** ppTLibAttr) override
    {
        if (ppTLibAttr == nullptr) {
            return E_INVALIDARG;
        }
        auto* attributes = static_cast<TLIBATTR*>(CoTaskMemAlloc(sizeof(TLIBATTR)));
        *ppTLibAttr = attributes;
        if (attributes == nullptr) {
            return E_OUTOFMEMORY;
        }
        attributes->guid = Description.libid;
        attributes->lcid = Description.lcid;
        attributes->syskind = SYS_WIN32;
        attributes->wMajorVerNum = Description.majorVersion;
        attributes->wMinorVerNum = Description.minorVersion;
        attributes->wLibFlags = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeComp(ITypeComp** ppTComp) override
    {
        if (ppTComp != nullptr) {
            *ppTComp = nullptr;
        }
        return E_NOTIMPL;
    }
    // Index -1 is the library; every out pointer may be null. There is no
    // help file and no help context.
    STDMETHODIMP GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                  DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override
    {
        const std::string* name = &Description.name;
        const std::string* help = &Description.helpString;
        if (index != -1) {
            if (index < 0 || size_t(index) >= Description.coclasses.size()) {
                return TYPE_E_ELEMENTNOTFOUND;
            }
            name = &Description.coclasses[size_t(index)].name;
            help = &Description.coclasses[size_t(index)].helpString;
        }
        if (pBstrName != nullptr) {
            *pBstrName = SysAllocString(Widen(*name).c_str());
        }
        if (pBstrDocString != nullptr) {
            *pBstrDocString = SysAllocString(Widen(*help).c_str());
        }
        if (pdwHelpContext != nullptr) {
            *pdwHelpContext = 0;
        }
        if (pBstrHelpFile != nullptr) {
            *pBstrHelpFile = nullptr;
        }
        return S_OK;
    }
    STDMETHODIMP IsName(LPOLESTR, ULONG, BOOL* pfName) override
    {
        if (pfName != nullptr) {
            *pfName = FALSE;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT* pcFound) override
    {
        if (pcFound != nullptr) {
            *pcFound = 0;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP_(void) ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { CoTaskMemFree(pTLibAttr); }

  private:
    ~HostTypeLib() = default;

    std::atomic<ULONG> References{1};
    const TypeLibraryDescription Description;
};

// Creates HKEY_CLASSES_ROOT\`subKey` and sets its default value.
bool SetClassesDefault(const std::string& subKey, const std::string& value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG status = RegSetValueExA(key, nullptr, 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(value.c_str()),
                                       DWORD(value.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

std::string VersionKeyName(REFGUID libid, WORD major, WORD minor)
{
    return "TypeLib\\" + GuidKeyName(libid) + "\\" + Hex(major) + "." + Hex(minor);
}

// The text of TYPELIB resource 1 of a loaded module, or of a module that
// loads, or else of the file itself.
HRESULT ReadSource(const std::string& path, std::string& text, std::string& fullPath)
{
    fullPath = path;
    HMODULE module = GetModuleHandleA(path.c_str());
    // A module not loaded yet is loaded for the read only.
    const bool ownReference = module == nullptr;
    if (module == nullptr) {
        module = LoadLibraryA(path.c_str());
    }
    if (module != nullptr) {
        HRESULT hr = TYPE_E_CANTLOADLIBRARY;
        char name[MAX_PATH];
        const DWORD length = GetModuleFileNameA(module, name, MAX_PATH);
        if (length != 0 && length < MAX_PATH) {
            fullPath = name;
        }
        const HRSRC resource =
            FindResourceA(module, reinterpret_cast<LPCSTR>(ULONG_PTR(1)), "TYPELIB");
        const HGLOBAL data = resource != nullptr ? LoadResource(module, resource) : nullptr;
        const void* bytes = data != nullptr ? LockResource(data) : nullptr;
        if (bytes != nullptr) {
            const size_t size = SizeofResource(module, resource);
            if (size <= kMaxSource) {
                text = SourceText(static_cast<const unsigned char*>(bytes), size);
                hr = S_OK;
            }
        }
        if (ownReference) {
            FreeLibrary(module);
        }
        return hr;
    }
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return TYPE_E_CANTLOADLIBRARY;
    }
    std::string bytes;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) != 0 && bytes.size() <= kMaxSource) {
        bytes.append(buffer, got);
    }
    fclose(file);
    if (bytes.size() > kMaxSource) {
        return TYPE_E_CANTLOADLIBRARY;
    }
    text = SourceText(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return S_OK;
}

} // namespace
} // namespace kald::host::com

using namespace kald::host::com;

namespace kald::host {

HRESULT ParseTypeLibrarySource(const std::string& idl, TypeLibraryDescription& out)
{
    IdlParser parser(idl);
    return parser.Parse(out) ? S_OK : TYPE_E_INVDATAREAD;
}

} // namespace kald::host

extern "C" {

HRESULT WINAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib)
{
    if (pptlib == nullptr) {
        return E_INVALIDARG;
    }
    *pptlib = nullptr;
    if (szFile == nullptr || szFile[0] == L'\0' || regkind < REGKIND_DEFAULT ||
        regkind > REGKIND_NONE) {
        return E_INVALIDARG;
    }
    const std::string path = Utf8(szFile);
    std::string text;
    std::string fullPath;
    HRESULT hr = ReadSource(path, text, fullPath);
    if (FAILED(hr)) {
        return hr;
    }
    kald::host::TypeLibraryDescription description;
    hr = kald::host::ParseTypeLibrarySource(text, description);
    if (FAILED(hr)) {
        return hr;
    }
    ITypeLib* library = new HostTypeLib(std::move(description));
    const bool bareName = path.find_first_of("/\\") == std::string::npos;
    if (regkind == REGKIND_REGISTER || (regkind == REGKIND_DEFAULT && bareName)) {
        std::wstring widePath = Widen(fullPath);
        hr = RegisterTypeLib(library, &widePath[0], nullptr);
        if (FAILED(hr)) {
            library->Release();
            return hr;
        }
    }
    *pptlib = library;
    return S_OK;
}

HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib)
{
    return LoadTypeLibEx(szFile, REGKIND_DEFAULT, pptlib);
}

HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir)
{
    if (ptlib == nullptr || szFullPath == nullptr) {
        return E_INVALIDARG;
    }
    TLIBATTR* attributes = nullptr;
    HRESULT hr = ptlib->GetLibAttr(&attributes);
    if (FAILED(hr)) {
        return hr;
    }
    BSTR name = nullptr;
    BSTR help = nullptr;
    hr = ptlib->GetDocumentation(-1, &name, &help, nullptr, nullptr);
    if (FAILED(hr)) {
        ptlib->ReleaseTLibAttr(attributes);
        return hr;
    }
    const std::string fullPath = Narrow(szFullPath);
    std::string helpDir;
    if (szHelpDir != nullptr) {
        helpDir = Narrow(szHelpDir);
    } else {
        const size_t slash = fullPath.find_last_of("/\\");
        helpDir = slash == std::string::npos ? std::string() : fullPath.substr(0, slash);
    }
    const std::string version =
        VersionKeyName(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum);
    const bool written =
        SetClassesDefault(version, help != nullptr ? Narrow(help) : std::string()) &&
        SetClassesDefault(version + "\\" + Hex(attributes->lcid) + "\\win32", fullPath) &&
        SetClassesDefault(version + "\\FLAGS", std::to_string(attributes->wLibFlags)) &&
        SetClassesDefault(version + "\\HELPDIR", helpDir);
    SysFreeString(name);
    SysFreeString(help);
    ptlib->ReleaseTLibAttr(attributes);
    return written ? S_OK : TYPE_E_REGISTRYACCESS;
}

HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID, SYSKIND)
{
    const std::string version = VersionKeyName(libID, wVerMajor, wVerMinor);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, version.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return TYPE_E_REGISTRYACCESS;
    }
    RegCloseKey(key);
    if (RegDeleteTreeA(HKEY_CLASSES_ROOT, version.c_str()) != ERROR_SUCCESS) {
        return TYPE_E_REGISTRYACCESS;
    }
    const std::string library = "TypeLib\\" + GuidKeyName(libID);
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, library.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD subKeys = 1;
        const LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr,
                                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        if (status == ERROR_SUCCESS && subKeys == 0) {
            RegDeleteKeyA(HKEY_CLASSES_ROOT, library.c_str());
        }
    }
    return S_OK;
}

HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid,
                                     LPBSTR lpbstrPathName)
{
    if (lpbstrPathName == nullptr) {
        return E_INVALIDARG;
    }
    *lpbstrPathName = nullptr;
    const std::string version = VersionKeyName(guid, wMaj, wMin);
    std::string path;
    if (!ReadClassesDefault(version + "\\" + Hex(lcid) + "\\win32", path) &&
        !ReadClassesDefault(version + "\\0\\win32", path)) {
        return TYPE_E_LIBNOTREGISTERED;
    }
    *lpbstrPathName = SysAllocString(Widen(path).c_str());
    return *lpbstrPathName != nullptr ? S_OK : E_OUTOFMEMORY;
}

} // extern "C"
