// Image of the camera's calibration memory words 0..63, which carry the list
// of defective sensor pixels.
#pragma once

#include "../core/kaldrin_platform.h"

constexpr ULONG DPC_TABLE_WORDS = 64;
constexpr USHORT CalibrationMagic = 0xAA55;

constexpr ULONG DPC_WORD_MAGIC = 17;        // CalibrationMagic when present
constexpr ULONG DPC_WORD_COUNT = 18;        // bits 0..10 entry count, bit 15 do-not-use
constexpr ULONG DPC_WORD_OFFSETS = 21;      // column offset (high byte), row offset (low byte)
constexpr ULONG DPC_WORD_FIRST_ENTRY = 22;  // entry i: column at 22 + 2i, row at 23 + 2i
constexpr ULONG DPC_WORD_CHECKSUM = 63;     // words 18..63 sum to 0 modulo 65536
constexpr USHORT DPC_COUNT_MASK = 0x07FF;
constexpr USHORT DPC_DO_NOT_USE = 0x8000;

// Entries that fit in the table: the last whole entry ends at word 61.
constexpr ULONG DPC_MAX_ENTRIES = (DPC_WORD_CHECKSUM - DPC_WORD_FIRST_ENTRY) / 2;

struct DpcTable {
    USHORT Words[DPC_TABLE_WORDS];
};

static_assert(sizeof(DpcTable) == 128, "64 calibration words");
static_assert(DPC_MAX_ENTRIES == 20, "twenty entries fit below the checksum");
