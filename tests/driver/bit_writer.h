// Builds hand-made coded frames for the decoder tests, one code at a time.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

class BitWriter {
public:
    explicit BitWriter(size_t offset) : bytes_(offset, 0), offset_(offset) {}

    // Appends the bits of a string such as "100 0001" (blanks ignored).
    BitWriter& Bits(std::string_view text)
    {
        for (char c : text) {
            if (c == '0' || c == '1') {
                Bit(c == '1');
            }
        }
        return *this;
    }

    // Appends the low `count` bits of `value`, most significant first.
    BitWriter& Value(uint32_t value, int count)
    {
        for (int i = count - 1; i >= 0; --i) {
            Bit(((value >> i) & 1) != 0);
        }
        return *this;
    }

    BitWriter& Repeat(std::string_view text, int times)
    {
        for (int i = 0; i < times; ++i) {
            Bits(text);
        }
        return *this;
    }

    size_t BitCount() const { return bitCount_; }
    std::vector<uint8_t>& Bytes() { return bytes_; }

private:
    void Bit(bool one)
    {
        const size_t byte = offset_ + bitCount_ / 8;
        if (byte >= bytes_.size()) {
            bytes_.push_back(0);
        }
        if (one) {
            bytes_[byte] |= uint8_t(0x80 >> (bitCount_ % 8));
        }
        ++bitCount_;
    }
    std::vector<uint8_t> bytes_;
    size_t offset_;
    size_t bitCount_ = 0;
};
