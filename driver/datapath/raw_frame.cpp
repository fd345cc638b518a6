#include "raw_frame.h"

#include "../autocontrol/auto_control.h"
#include "frame_pipeline.h"
#include "packet_sync.h"

namespace {

void RecordFrameError(CameraContext* c, ULONG kind)
{
    if (c->FrameErrorKind == 0) {
        c->FrameErrorDetail = 0;
        c->FrameErrorKind = kind;
    }
}

// Moves the payload of each of `packets` packets of `size` bytes (after the
// sequence byte) down so that they follow each other. Returns the compacted
// length.
ULONG CompactFrame(PUCHAR raw, ULONG packets, ULONG size)
{
    const ULONG payload = size - 1;
    for (ULONG i = 0; i < packets; ++i) {
        RtlMoveMemory(raw + i * payload, raw + i * size + 1, payload);
    }
    return packets * payload;
}

} // namespace

VOID CamNewVideoFrameEx(PVOID DeviceContext, PVOID FrameContext, ULONG StreamNumber,
                        PULONG FrameLength)
{
    (void)DeviceContext;
    (void)StreamNumber;
    (void)FrameLength;
    if (FrameContext != nullptr) {
        static_cast<::FrameContext*>(FrameContext)->FrameIntact = TRUE;
    }
}

NTSTATUS CamProcessRawVideoFrameEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                   PVOID FrameContext, PVOID FrameBuffer, ULONG FrameLength,
                                   PVOID RawFrameBuffer, ULONG RawFrameLength,
                                   ULONG NumberOfPackets, PULONG BytesReturned,
                                   ULONG ActualRawFrameLength, ULONG StreamNumber)
{
    (void)BusDeviceObject;
    (void)ActualRawFrameLength;
    (void)StreamNumber;
    CameraContext* c = static_cast<CameraContext*>(DeviceContext);
    ::FrameContext* frame = static_cast<::FrameContext*>(FrameContext);
    PUCHAR raw = static_cast<PUCHAR>(RawFrameBuffer);
    if (BytesReturned != nullptr) {
        *BytesReturned = 0;
    }
    if (c == nullptr || frame == nullptr || raw == nullptr || FrameBuffer == nullptr ||
        BytesReturned == nullptr) {
        return STATUS_SUCCESS;
    }
    c->RawFrameCount += 1;

    // The raw frame holds NumberOfPackets packets of the pipe's size. A
    // count the buffer cannot hold, or no usable packet size, makes the
    // frame untrustworthy.
    const ULONG size = CamPacketSize(c);
    const ULONG capacity = RawFrameLength < RAW_FRAME_BYTES ? RawFrameLength : RAW_FRAME_BYTES;
    if (size < 2 || NumberOfPackets > capacity / size) {
        frame->FrameIntact = FALSE;
    }

    if (frame->FrameIntact) {
        c->GoodFrameCount += 1;
        c->SavedFrameLength = CompactFrame(raw, NumberOfPackets, size);
        bool save = false;
        if (c->ProbationState == 1) {
            save = true;
        } else if (c->ProbationState == 2) {
            if (c->MsClock <= c->FerProbationLength) {
                save = true;
            } else {
                c->ProbationState = 0;
            }
        }
        if (save && c->SavedFrameBuffer != nullptr) {
            RtlCopyMemory(c->SavedFrameBuffer, raw, c->SavedFrameLength);
        }
    } else {
        RecordFrameError(c, FRAME_ERROR_REPLACED);
        c->ProbationState = 1;
        if (c->SavedFrameBuffer != nullptr) {
            // The saved length follows the latest intact frame and never
            // exceeds the saved buffer or the raw frame.
            ULONG length = c->SavedFrameLength;
            if (length > c->SavedFrameCapacity) {
                length = c->SavedFrameCapacity;
            }
            if (length > capacity) {
                length = capacity;
            }
            RtlCopyMemory(raw, c->SavedFrameBuffer, length);
        }
        frame->FrameIntact = TRUE;
    }

    DispatchFrameBySize(c, frame, static_cast<PUCHAR>(FrameBuffer), FrameLength, raw, BytesReturned);
    if (!frame->FrameIntact) {
        RecordFrameError(c, FRAME_ERROR_UNDECODABLE);
        if (c->GoodFrameCount != 0) {
            c->GoodFrameCount -= 1;
        }
    }
    RunAutoControlSchedule(c);
    MarkStillFrame(c, static_cast<PUCHAR>(FrameBuffer), FrameLength);
    return STATUS_SUCCESS;
}

void RunAutoControlSchedule(CameraContext* Context)
{
    CameraContext* c = Context;
    const CameraSettings& s = c->CameraSettings;
    if (s.AeAwbInterval == 0) {
        return; // no settings loaded: nothing to pace by
    }
    const ULONG tick = c->MsClock / s.AeAwbInterval;
    if (tick == c->LastScheduleTick) {
        return;
    }
    c->LastScheduleTick = tick;
    // A step whose control is switched off reports nothing; it then counts
    // as settled, so a phase of variable length can end.
    BOOLEAN settled = TRUE;
    if (c->AutoPhase == 0) {
        if (c->AeStepsInPhase < (LONG)s.AePeriod) {
            c->AeStepsInPhase += 1;
            AutoExposureStep(&c->AutoControlState, &settled);
            if (s.FixedAePeriodState != 0 || c->AeStepsInPhase < 2 || !settled) {
                return;
            }
        }
        c->AutoPhase = 1;
        c->AwbStepsInPhase = 0;
    } else {
        if (c->AwbStepsInPhase < (LONG)s.AwbPeriod) {
            c->AwbStepsInPhase += 1;
            AutoWhiteBalanceStep(&c->AutoControlState, &settled);
            if (s.FixedAwbPeriodState != 0 || c->AwbStepsInPhase < 1 || !settled) {
                return;
            }
        }
        c->AutoPhase = 0;
        c->AeStepsInPhase = 0;
    }
}
