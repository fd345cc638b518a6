#include "registrar.h"

#include <cstdlib>
#include <cstring>

namespace {

// Deepest nesting of keys accepted, so that a hostile script cannot exhaust
// the stack of the parser or of the registry walk.
constexpr int MaxDepth = 64;
// Longest name or value text accepted, in bytes.
constexpr size_t MaxTextLength = 16384;
// No node: the end of a sibling list.
constexpr size_t NoNode = static_cast<size_t>(-1);

enum class NodeKind { Root, Key, Value };
enum class KeyFlag { None, NoRemove, ForceRemove, Delete };
enum class ValueType { None, String, Dword };

// One root, key or named value of the script. Texts are offsets into the
// parse's text store, which may move while the script is read.
struct Node {
    NodeKind Kind;
    KeyFlag Flag;
    HKEY Root;            // roots only
    size_t Name;          // keys and values
    ValueType Type;       // the key's default value, or the named value
    size_t Text;          // string values
    DWORD Number;         // dword values
    size_t FirstChild;
    size_t LastChild;
    size_t NextSibling;
};

// The parsed script: every node, and every text one after another with its
// terminating zero.
struct ParsedScript {
    Node* Nodes = nullptr;
    size_t NodeCount = 0;
    size_t NodeCapacity = 0;
    char* Texts = nullptr;
    size_t TextLength = 0;
    size_t TextCapacity = 0;

    ParsedScript() = default;
    ParsedScript(const ParsedScript&) = delete;
    ParsedScript& operator=(const ParsedScript&) = delete;
    ~ParsedScript()
    {
        std::free(Nodes);
        std::free(Texts);
    }

    const char* TextAt(size_t Offset) const { return Texts + Offset; }
};

enum class TokenKind { End, Open, Close, Equals, Word, Quoted, Invalid };

struct Token {
    TokenKind Kind;
    const char* Start; // the word, or the inside of the quotes (with '' still doubled)
    size_t Length;
    bool NewLineBefore; // a line break separates it from the previous token
};

// Splits the script into braces, '=', words and quoted strings. A '{' that
// is followed by a non-blank character other than '}' starts a word, so
// that a bare class id {...} is one key name.
class Lexer {
  public:
    Lexer(const char* Script, size_t Length) : Pos(Script), End(Script + Length) {}

    Token Next()
    {
        bool newLine = false;
        while (Pos < End && IsBlank(*Pos)) {
            if (*Pos == '\n' || *Pos == '\r') {
                newLine = true;
            }
            ++Pos;
        }
        Token token{TokenKind::End, Pos, 0, newLine};
        if (Pos >= End) {
            return token;
        }
        const char c = *Pos;
        if (c == '{' && (Pos + 1 >= End || IsBlank(Pos[1]) || Pos[1] == '}')) {
            token.Kind = TokenKind::Open;
            ++Pos;
            return token;
        }
        if (c == '}') {
            token.Kind = TokenKind::Close;
            ++Pos;
            return token;
        }
        if (c == '=') {
            token.Kind = TokenKind::Equals;
            ++Pos;
            return token;
        }
        if (c == '\'') {
            const char* start = ++Pos;
            while (Pos < End) {
                if (*Pos == '\'') {
                    if (Pos + 1 < End && Pos[1] == '\'') {
                        Pos += 2;
                        continue;
                    }
                    token.Kind = TokenKind::Quoted;
                    token.Start = start;
                    token.Length = static_cast<size_t>(Pos - start);
                    ++Pos;
                    return token;
                }
                ++Pos;
            }
            token.Kind = TokenKind::Invalid; // unterminated string
            return token;
        }
        if (c == '\0') {
            token.Kind = TokenKind::Invalid;
            return token;
        }
        // A bare word. One that starts with '{' runs to the next blank or '='
        // (a class id); any other also stops at braces and quotes.
        const bool braced = c == '{';
        const char* start = Pos;
        while (Pos < End && !IsBlank(*Pos) && *Pos != '=' && *Pos != '\'' && *Pos != '\0' &&
               (braced || (*Pos != '{' && *Pos != '}'))) {
            ++Pos;
        }
        token.Kind = TokenKind::Word;
        token.Start = start;
        token.Length = static_cast<size_t>(Pos - start);
        return token;
    }

  private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

    const char* Pos;
    const char* End;
};

bool WordIs(const Token& T, const char* Word)
{
    const size_t length = std::strlen(Word);
    if (T.Kind != TokenKind::Word || T.Length != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        char a = T.Start[i];
        char b = Word[i];
        if (a >= 'a' && a <= 'z') {
            a = static_cast<char>(a - 'a' + 'A');
        }
        if (b >= 'a' && b <= 'z') {
            b = static_cast<char>(b - 'a' + 'A');
        }
        if (a != b) {
            return false;
        }
    }
    return true;
}

class Parser {
  public:
    Parser(const char* Script, size_t Length, const ScriptReplacement* Replacements,
           size_t ReplacementCount, ParsedScript& Out)
        : Lex(Script, Length), Replace(Replacements), ReplaceCount(ReplacementCount), Result(Out)
    {
    }

    // FALSE on any script error or when memory runs out (OutOfMemory tells).
    bool Parse()
    {
        Advance();
        size_t lastRoot = NoNode;
        while (Current.Kind != TokenKind::End) {
            HKEY root = nullptr;
            if (!RootOf(Current, &root)) {
                return false; // unknown root, or a stray token
            }
            size_t node = NewNode(NodeKind::Root);
            if (node == NoNode) {
                return false;
            }
            Result.Nodes[node].Root = root;
            if (lastRoot != NoNode) {
                Result.Nodes[lastRoot].NextSibling = node;
            }
            lastRoot = node;
            Advance();
            if (Current.Kind != TokenKind::Open) {
                return false;
            }
            Advance();
            if (!ParseBody(node, 1)) {
                return false;
            }
        }
        return true;
    }

    bool OutOfMemory = false;

  private:
    void Advance() { Current = Lex.Next(); }

    static bool RootOf(const Token& T, HKEY* Root)
    {
        if (WordIs(T, "HKCR") || WordIs(T, "HKEY_CLASSES_ROOT")) {
            *Root = HKEY_CLASSES_ROOT;
        } else if (WordIs(T, "HKLM") || WordIs(T, "HKEY_LOCAL_MACHINE")) {
            *Root = HKEY_LOCAL_MACHINE;
        } else if (WordIs(T, "HKCU") || WordIs(T, "HKEY_CURRENT_USER")) {
            *Root = HKEY_CURRENT_USER;
        } else if (WordIs(T, "HKU") || WordIs(T, "HKEY_USERS")) {
            *Root = HKEY_USERS;
        } else {
            return false;
        }
        return true;
    }

    static bool IsName(const Token& T) { return T.Kind == TokenKind::Word || T.Kind == TokenKind::Quoted; }

    // Statements up to and including the closing brace of the body of `Parent`.
    bool ParseBody(size_t Parent, int Depth)
    {
        if (Depth > MaxDepth) {
            return false;
        }
        for (;;) {
            if (Current.Kind == TokenKind::Close) {
                Advance();
                return true;
            }
            if (Current.Kind == TokenKind::End || !IsName(Current)) {
                return false; // unbalanced braces or a stray token
            }
            if (WordIs(Current, "val")) {
                if (!ParseNamedValue(Parent)) {
                    return false;
                }
                continue;
            }
            if (!ParseKey(Parent, Depth)) {
                return false;
            }
        }
    }

    // val Name = s|d 'x'
    bool ParseNamedValue(size_t Parent)
    {
        if (Result.Nodes[Parent].Kind == NodeKind::Root) {
            return false; // a root has no values of its own
        }
        Advance();
        if (!IsName(Current)) {
            return false;
        }
        size_t node = NewNode(NodeKind::Value);
        if (node == NoNode || !StoreText(Current, &Result.Nodes[node].Name)) {
            return false;
        }
        Link(Parent, node);
        Advance();
        if (Current.Kind != TokenKind::Equals) {
            return false;
        }
        Advance();
        return ParseTypedValue(node);
    }

    // [flag] Name [= s|d 'x'] [{ body }]
    bool ParseKey(size_t Parent, int Depth)
    {
        KeyFlag flag = KeyFlag::None;
        if (Current.Kind == TokenKind::Word) {
            if (WordIs(Current, "NoRemove")) {
                flag = KeyFlag::NoRemove;
            } else if (WordIs(Current, "ForceRemove")) {
                flag = KeyFlag::ForceRemove;
            } else if (WordIs(Current, "Delete")) {
                flag = KeyFlag::Delete;
            }
        }
        if (flag != KeyFlag::None) {
            Advance();
            if (!IsName(Current)) {
                return false;
            }
        }
        size_t node = NewNode(NodeKind::Key);
        if (node == NoNode || !StoreText(Current, &Result.Nodes[node].Name)) {
            return false;
        }
        if (Result.TextAt(Result.Nodes[node].Name)[0] == '\0') {
            return false; // an empty key name would address the parent itself
        }
        Result.Nodes[node].Flag = flag;
        Link(Parent, node);
        const bool nameWasBare = Current.Kind == TokenKind::Word;
        Advance();
        if (Current.Kind == TokenKind::Equals) {
            Advance();
            if (!ParseTypedValue(node)) {
                return false;
            }
        } else if (flag == KeyFlag::None && nameWasBare && IsName(Current) && !Current.NewLineBefore) {
            // "Word Name" on one line: the word stands where a flag goes but
            // is none of them.
            return false;
        }
        if (Current.Kind == TokenKind::Open) {
            Advance();
            return ParseBody(node, Depth + 1);
        }
        return true;
    }

    // s 'text' or d 'number' (the number may also stand bare).
    bool ParseTypedValue(size_t Node)
    {
        if (WordIs(Current, "s")) {
            Advance();
            if (Current.Kind != TokenKind::Quoted) {
                return false;
            }
            Result.Nodes[Node].Type = ValueType::String;
            if (!StoreText(Current, &Result.Nodes[Node].Text)) {
                return false;
            }
        } else if (WordIs(Current, "d")) {
            Advance();
            if (!IsName(Current) || !ParseNumber(Current, &Result.Nodes[Node].Number)) {
                return false;
            }
            Result.Nodes[Node].Type = ValueType::Dword;
        } else {
            return false; // an unknown value type
        }
        Advance();
        return true;
    }

    // Decimal or 0x-hexadecimal, 32 bits.
    static bool ParseNumber(const Token& T, DWORD* Value)
    {
        const char* p = T.Start;
        const char* end = T.Start + T.Length;
        unsigned base = 10;
        if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
            base = 16;
            p += 2;
        }
        if (p == end) {
            return false;
        }
        unsigned long long value = 0;
        for (; p < end; ++p) {
            unsigned digit;
            if (*p >= '0' && *p <= '9') {
                digit = static_cast<unsigned>(*p - '0');
            } else if (base == 16 && *p >= 'a' && *p <= 'f') {
                digit = static_cast<unsigned>(*p - 'a' + 10);
            } else if (base == 16 && *p >= 'A' && *p <= 'F') {
                digit = static_cast<unsigned>(*p - 'A' + 10);
            } else {
                return false;
            }
            value = value * base + digit;
            if (value > 0xFFFFFFFFull) {
                return false;
            }
        }
        *Value = static_cast<DWORD>(value);
        return true;
    }

    size_t NewNode(NodeKind Kind)
    {
        if (Result.NodeCount == Result.NodeCapacity) {
            const size_t capacity = Result.NodeCapacity == 0 ? 32 : Result.NodeCapacity * 2;
            Node* nodes = static_cast<Node*>(std::realloc(Result.Nodes, capacity * sizeof(Node)));
            if (nodes == nullptr) {
                OutOfMemory = true;
                return NoNode;
            }
            Result.Nodes = nodes;
            Result.NodeCapacity = capacity;
        }
        Node& node = Result.Nodes[Result.NodeCount];
        node.Kind = Kind;
        node.Flag = KeyFlag::None;
        node.Root = nullptr;
        node.Name = 0;
        node.Type = ValueType::None;
        node.Text = 0;
        node.Number = 0;
        node.FirstChild = NoNode;
        node.LastChild = NoNode;
        node.NextSibling = NoNode;
        return Result.NodeCount++;
    }

    void Link(size_t Parent, size_t Child)
    {
        Node& parent = Result.Nodes[Parent];
        if (parent.LastChild == NoNode) {
            parent.FirstChild = Child;
        } else {
            Result.Nodes[parent.LastChild].NextSibling = Child;
        }
        parent.LastChild = Child;
    }

    bool AppendText(const char* Text, size_t Length)
    {
        if (Result.TextLength + Length + 1 > Result.TextCapacity) {
            size_t capacity = Result.TextCapacity == 0 ? 1024 : Result.TextCapacity;
            while (capacity < Result.TextLength + Length + 1) {
                capacity *= 2;
            }
            char* texts = static_cast<char*>(std::realloc(Result.Texts, capacity));
            if (texts == nullptr) {
                OutOfMemory = true;
                return false;
            }
            Result.Texts = texts;
            Result.TextCapacity = capacity;
        }
        std::memcpy(Result.Texts + Result.TextLength, Text, Length);
        Result.TextLength += Length;
        return true;
    }

    // Stores a name or value with '' undone (quoted tokens) and %NAME%
    // replaced; FALSE for an unknown or unterminated %NAME% or an over-long
    // text.
    bool StoreText(const Token& T, size_t* Offset)
    {
        *Offset = Result.TextLength;
        const char* p = T.Start;
        const char* end = T.Start + T.Length;
        while (p < end) {
            if (T.Kind == TokenKind::Quoted && *p == '\'') {
                if (!AppendText(p, 1)) {
                    return false;
                }
                p += 2; // the lexer only lets doubled quotes through
                continue;
            }
            if (*p == '%') {
                const char* nameStart = p + 1;
                const char* close = nameStart;
                while (close < end && *close != '%') {
                    ++close;
                }
                if (close == end) {
                    return false;
                }
                const size_t nameLength = static_cast<size_t>(close - nameStart);
                if (nameLength == 0) {
                    if (!AppendText("%", 1)) {
                        return false;
                    }
                } else {
                    const char* value = FindReplacement(nameStart, nameLength);
                    if (value == nullptr || !AppendText(value, std::strlen(value))) {
                        return false;
                    }
                }
                p = close + 1;
                continue;
            }
            if (!AppendText(p, 1)) {
                return false;
            }
            ++p;
        }
        if (Result.TextLength - *Offset > MaxTextLength) {
            return false;
        }
        return AppendText("", 1);
    }

    const char* FindReplacement(const char* Name, size_t Length) const
    {
        for (size_t i = 0; i < ReplaceCount; ++i) {
            const char* candidate = Replace[i].Name;
            if (candidate != nullptr && Replace[i].Value != nullptr && std::strlen(candidate) == Length) {
                bool same = true;
                for (size_t j = 0; j < Length && same; ++j) {
                    char a = candidate[j];
                    char b = Name[j];
                    if (a >= 'a' && a <= 'z') {
                        a = static_cast<char>(a - 'a' + 'A');
                    }
                    if (b >= 'a' && b <= 'z') {
                        b = static_cast<char>(b - 'a' + 'A');
                    }
                    same = a == b;
                }
                if (same) {
                    return Replace[i].Value;
                }
            }
        }
        return nullptr;
    }

    Lexer Lex;
    Token Current{};
    const ScriptReplacement* Replace;
    size_t ReplaceCount;
    ParsedScript& Result;
};

HRESULT FromWin32(LONG Error)
{
    return HRESULT_FROM_WIN32(static_cast<DWORD>(Error));
}

bool IsNotFound(LONG Error)
{
    return Error == ERROR_FILE_NOT_FOUND || Error == ERROR_PATH_NOT_FOUND;
}

// Deletes `Name` under `Parent` with everything below it; a key that is not
// there is no error.
LONG DeleteTree(HKEY Parent, const char* Name, int Depth)
{
    HKEY key = nullptr;
    LONG error = RegOpenKeyExA(Parent, Name, 0, KEY_READ | KEY_WRITE, &key);
    if (IsNotFound(error)) {
        return ERROR_SUCCESS;
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    char child[256];
    for (;;) {
        if (Depth >= 512) {
            error = ERROR_INVALID_PARAMETER;
            break;
        }
        DWORD length = sizeof(child);
        error = RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS) {
            error = ERROR_SUCCESS;
            break;
        }
        if (error != ERROR_SUCCESS) {
            break;
        }
        error = DeleteTree(key, child, Depth + 1);
        if (error != ERROR_SUCCESS) {
            break;
        }
    }
    RegCloseKey(key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    error = RegDeleteKeyA(Parent, Name);
    return IsNotFound(error) ? ERROR_SUCCESS : error;
}

LONG SetValue(HKEY Key, const char* Name, const ParsedScript& Script, const Node& From)
{
    if (From.Type == ValueType::String) {
        const char* text = Script.TextAt(From.Text);
        return RegSetValueExA(Key, Name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                              static_cast<DWORD>(std::strlen(text) + 1));
    }
    const DWORD number = From.Number;
    return RegSetValueExA(Key, Name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
}

// Register mode for the children of one node, below `Parent`. Stops at the
// first registry failure.
LONG RegisterChildren(HKEY Parent, const ParsedScript& Script, const Node& Of)
{
    for (size_t i = Of.FirstChild; i != NoNode; i = Script.Nodes[i].NextSibling) {
        const Node& node = Script.Nodes[i];
        const char* name = Script.TextAt(node.Name);
        LONG error;
        if (node.Kind == NodeKind::Value) {
            error = SetValue(Parent, name, Script, node);
            if (error != ERROR_SUCCESS) {
                return error;
            }
            continue;
        }
        if (node.Flag == KeyFlag::Delete) {
            error = DeleteTree(Parent, name, 0);
            if (error != ERROR_SUCCESS) {
                return error;
            }
            continue;
        }
        if (node.Flag == KeyFlag::ForceRemove) {
            error = DeleteTree(Parent, name, 0);
            if (error != ERROR_SUCCESS) {
                return error;
            }
        }
        HKEY key = nullptr;
        error = RegCreateKeyExA(Parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                nullptr, &key, nullptr);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        if (node.Type != ValueType::None) {
            error = SetValue(key, nullptr, Script, node);
        }
        if (error == ERROR_SUCCESS) {
            error = RegisterChildren(key, Script, node);
        }
        RegCloseKey(key);
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

// Deletes the named values the script sets on `Of` from `Key`, which stays.
LONG DeleteScriptValues(HKEY Key, const ParsedScript& Script, const Node& Of)
{
    LONG first = ERROR_SUCCESS;
    for (size_t i = Of.FirstChild; i != NoNode; i = Script.Nodes[i].NextSibling) {
        const Node& node = Script.Nodes[i];
        if (node.Kind != NodeKind::Value) {
            continue;
        }
        const LONG error = RegDeleteValueA(Key, Script.TextAt(node.Name));
        if (first == ERROR_SUCCESS && !IsNotFound(error)) {
            first = error;
        }
    }
    return first;
}

// Unregister mode for the child keys of one node, below `Parent`. Goes on
// after a failure so that as much as possible is removed, and returns the
// first failure.
LONG UnregisterChildren(HKEY Parent, const ParsedScript& Script, const Node& Of)
{
    LONG first = ERROR_SUCCESS;
    for (size_t i = Of.FirstChild; i != NoNode; i = Script.Nodes[i].NextSibling) {
        const Node& node = Script.Nodes[i];
        if (node.Kind != NodeKind::Key) {
            continue;
        }
        const char* name = Script.TextAt(node.Name);
        LONG error = ERROR_SUCCESS;
        if (node.Flag == KeyFlag::ForceRemove || node.Flag == KeyFlag::Delete) {
            error = DeleteTree(Parent, name, 0);
        } else {
            HKEY key = nullptr;
            error = RegOpenKeyExA(Parent, name, 0, KEY_READ | KEY_WRITE, &key);
            if (IsNotFound(error)) {
                error = ERROR_SUCCESS; // nothing of this key is left
            } else if (error == ERROR_SUCCESS) {
                // Children first. A NoRemove key stays, and so does a key in
                // which something else keeps a subkey; a key that stays
                // loses the values the script put there, a key that goes
                // takes all its values along.
                error = UnregisterChildren(key, Script, node);
                bool stays = node.Flag == KeyFlag::NoRemove;
                if (!stays) {
                    char child[256];
                    DWORD length = sizeof(child);
                    stays = RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) !=
                            ERROR_NO_MORE_ITEMS;
                }
                if (stays) {
                    const LONG values = DeleteScriptValues(key, Script, node);
                    if (error == ERROR_SUCCESS) {
                        error = values;
                    }
                }
                RegCloseKey(key);
                if (!stays) {
                    const LONG deleted = RegDeleteKeyA(Parent, name);
                    if (error == ERROR_SUCCESS && !IsNotFound(deleted)) {
                        error = deleted;
                    }
                }
            }
        }
        if (first == ERROR_SUCCESS) {
            first = error;
        }
    }
    return first;
}

} // namespace

HRESULT RunRegistryScript(const char* Script, size_t Length, BOOL Register,
                          const ScriptReplacement* Replacements, size_t ReplacementCount)
{
    if (Script == nullptr && Length != 0) {
        return E_POINTER;
    }
    if (Replacements == nullptr) {
        ReplacementCount = 0;
    }
    ParsedScript parsed;
    Parser parser(Script, Length, Replacements, ReplacementCount, parsed);
    if (!parser.Parse()) {
        return parser.OutOfMemory ? E_OUTOFMEMORY : DISP_E_EXCEPTION;
    }
    LONG first = ERROR_SUCCESS;
    for (size_t i = 0; i < parsed.NodeCount; ++i) {
        const Node& node = parsed.Nodes[i];
        if (node.Kind != NodeKind::Root) {
            continue;
        }
        LONG error;
        if (Register) {
            error = RegisterChildren(node.Root, parsed, node);
            if (error != ERROR_SUCCESS) {
                return FromWin32(error);
            }
        } else {
            error = UnregisterChildren(node.Root, parsed, node);
            if (first == ERROR_SUCCESS) {
                first = error;
            }
        }
    }
    return first == ERROR_SUCCESS ? S_OK : FromWin32(first);
}
