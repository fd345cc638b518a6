#include "json_writer.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace kald::tool {

void JsonWriter::Indent()
{
    text_ += '\n';
    text_.append(levels_.size() * 2, ' ');
}

void JsonWriter::BeforeValue()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (levels_.empty()) {
        return;
    }
    Level& level = levels_.back();
    if (level.object) {
        throw std::logic_error("a JSON object member needs a key");
    }
    if (!level.empty) {
        text_ += level.oneLine ? ", " : ",";
    }
    if (!level.oneLine) {
        Indent();
    }
    level.empty = false;
}

JsonWriter& JsonWriter::Key(std::string_view key)
{
    if (levels_.empty() || !levels_.back().object || afterKey_) {
        throw std::logic_error("a JSON key outside an object");
    }
    Level& level = levels_.back();
    if (!level.empty) {
        text_ += level.oneLine ? ", " : ",";
    }
    if (!level.oneLine) {
        Indent();
    }
    level.empty = false;
    Escaped(key);
    text_ += ": ";
    afterKey_ = true;
    return *this;
}

void JsonWriter::Begin(char bracket, bool object, bool oneLine)
{
    BeforeValue();
    text_ += bracket;
    // A container inside a one-line container stays on that line.
    const bool inherited = !levels_.empty() && levels_.back().oneLine;
    levels_.push_back({object, oneLine || inherited, true});
}

void JsonWriter::End(char bracket)
{
    if (levels_.empty() || afterKey_) {
        throw std::logic_error("an unbalanced JSON container");
    }
    const Level level = levels_.back();
    levels_.pop_back();
    if (!level.empty && !level.oneLine) {
        Indent();
    }
    text_ += bracket;
    if (levels_.empty()) {
        text_ += '\n';
    }
}

void JsonWriter::BeginObject(bool oneLine)
{
    Begin('{', true, oneLine);
}

void JsonWriter::EndObject()
{
    End('}');
}

void JsonWriter::BeginArray(bool oneLine)
{
    Begin('[', false, oneLine);
}

void JsonWriter::EndArray()
{
    End(']');
}

void JsonWriter::Escaped(std::string_view value)
{
    text_ += '"';
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            text_ += "\\\"";
            break;
        case '\\':
            text_ += "\\\\";
            break;
        case '\n':
            text_ += "\\n";
            break;
        case '\t':
            text_ += "\\t";
            break;
        case '\r':
            text_ += "\\r";
            break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(c));
                text_ += escape;
            } else {
                text_ += ch;
            }
        }
    }
    text_ += '"';
}

void JsonWriter::String(std::string_view value)
{
    BeforeValue();
    Escaped(value);
}

void JsonWriter::Integer(int64_t value)
{
    BeforeValue();
    text_ += std::to_string(value);
}

void JsonWriter::Unsigned(uint64_t value)
{
    BeforeValue();
    text_ += std::to_string(value);
}

void JsonWriter::Number(double value, int decimals)
{
    if (!std::isfinite(value)) {
        Null();
        return;
    }
    BeforeValue();
    char text[400]; // the longest double in %f
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    text_ += text;
}

void JsonWriter::Bool(bool value)
{
    BeforeValue();
    text_ += value ? "true" : "false";
}

void JsonWriter::Null()
{
    BeforeValue();
    text_ += "null";
}

} // namespace kald::tool
