// The frame-rate gate record: decides which camera frames are assembled so
// that the delivered rate follows the client's frame interval.
#pragma once

#include "../core/kaldrin_platform.h"

struct FrameRateGate {
    ULONG State;      // 0 delivering, 1 tick seen, 2 dropping until a tick, 3 waiting for a start of frame
    ULONG Period;     // ticks of the packet clock between delivered frames, 32..999
    BOOLEAN Accept;   // append this packet's bytes
    BOOLEAN Complete; // this start of frame completes the frame being assembled
};
