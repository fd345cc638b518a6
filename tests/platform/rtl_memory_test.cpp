#include <gtest/gtest.h>

#include "kald_host/wdm.h"

namespace {

TEST(RtlCompareMemoryTest, CountsLeadingEqualBytes)
{
    struct Case {
        const char* what;
        UCHAR a[16];
        UCHAR b[16];
        SIZE_T length;
        SIZE_T expected;
    };
    const Case cases[] = {
        {"all equal", {1, 2, 3, 4}, {1, 2, 3, 4}, 4, 4},
        {"differ in the middle", {1, 2, 3, 4}, {1, 2, 9, 4}, 4, 2},
        {"differ at the first", {7, 2, 3, 4}, {1, 2, 3, 4}, 4, 0},
        {"differ at the last", {1, 2, 3, 4}, {1, 2, 3, 5}, 4, 3},
        {"difference past the length", {1, 2, 3, 4}, {1, 2, 3, 5}, 3, 3},
        {"later bytes do not count", {1, 9, 3, 4}, {1, 2, 3, 4}, 4, 1},
        {"zero length", {1}, {2}, 0, 0},
        {"0x00 against 0xFF", {0x00, 0xFF}, {0x00, 0x00}, 2, 1},
        {"a whole GUID",
         {0x4E, 0x00, 0x10, 0xD4, 0x01, 0x25, 0xDF, 0x44, 0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17,
          0xD4},
         {0x4E, 0x00, 0x10, 0xD4, 0x01, 0x25, 0xDF, 0x44, 0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17,
          0xD4},
         16,
         16},
        {"a GUID differing in its last byte",
         {0x4E, 0x00, 0x10, 0xD4, 0x01, 0x25, 0xDF, 0x44, 0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17,
          0xD4},
         {0x4E, 0x00, 0x10, 0xD4, 0x01, 0x25, 0xDF, 0x44, 0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17,
          0xD5},
         16,
         15},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RtlCompareMemory(c.a, c.b, c.length), c.expected) << c.what;
    }
}

} // namespace
