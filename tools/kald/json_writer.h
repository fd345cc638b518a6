// A small JSON writer for kald's machine-readable reports: objects and
// arrays one member per line, or on one line where a caller asks for it
// (the per-frame records of a capture). Keys and strings are escaped;
// numbers that are not finite are written as null.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kald::tool {

class JsonWriter {
  public:
    // `oneLine`: the container's members stay on the line it opens on.
    void BeginObject(bool oneLine = false);
    void EndObject();
    void BeginArray(bool oneLine = false);
    void EndArray();

    // The next member's name; only inside an object.
    JsonWriter& Key(std::string_view key);

    void String(std::string_view value);
    void Integer(int64_t value);
    void Unsigned(uint64_t value);
    // Written with `decimals` digits after the point.
    void Number(double value, int decimals = 3);
    void Bool(bool value);
    void Null();

    // The document, ending in a newline once the outermost container is
    // closed.
    const std::string& Text() const { return text_; }

  private:
    struct Level {
        bool object;
        bool oneLine;
        bool empty;
    };

    void BeforeValue();
    void Begin(char bracket, bool object, bool oneLine);
    void End(char bracket);
    void Indent();
    void Escaped(std::string_view text);

    std::string text_;
    std::vector<Level> levels_;
    bool afterKey_ = false;
};

} // namespace kald::tool
