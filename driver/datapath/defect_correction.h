// Software repair of the sensor's listed defective pixels in a decoded frame:
// each listed pixel becomes the mean of nearby samples of its own colour.
// Runs after decompression and before colour reconstruction.
#pragma once

#include "../core/camera_context.h"

// Whether frames get defect correction: "DPC State" is 1 and the calibration
// block does not withhold its table (bit 15 of the count word). A count of 0
// is still "enabled"; the routines then change nothing.
BOOLEAN DefectCorrectionEnabled(const CameraContext* Context);

// The number of defect entries the routines use: bits 0..10 of the count
// word, but never more than the DPC_MAX_ENTRIES entries that lie inside the
// 64-word table.
ULONG DefectEntryCount(const DpcTable* Table);

// Repairs the defects of a 320x240 or 352x288 frame in the decoded mosaic
// (lines of FrameWidth + 6 bytes, picture row y in line y + 2, pixel x at
// byte x + 3, borders already mirrored). Each entry's pixel becomes the mean
// of its four same-colour neighbours two pixels away. No byte at or beyond
// Length is read or written; the caller passes RAW_FRAME_BYTES. Returns 0.
ULONG CorrectDefectsLarge(CameraContext* Context, PUCHAR Buffer, ULONG Length,
                          const DpcTable* Table);

// Repairs the defects of a 160x120 or 176x144 frame in the decoded picture
// (FrameWidth x FrameHeight pixels of bytes blue, green, red, rows stored
// bottom-up, red and blue shared by each 2 x 2 block). A green defect takes
// the mean of its four green neighbours; a red or blue one rewrites the red
// or blue of its whole 2 x 2 block with a running mean. No byte at or beyond
// Length is read or written; the caller passes RAW_FRAME_BYTES. Returns 0.
ULONG CorrectDefectsSmall(CameraContext* Context, PUCHAR Buffer, ULONG Length,
                          const DpcTable* Table);
