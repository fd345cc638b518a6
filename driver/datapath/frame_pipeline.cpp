#include "frame_pipeline.h"

#include "../autocontrol/tone_tables.h"
#include "../imaging/pipeline_tables.h"
#include "../imaging/reconstruct.h"
#include "decompress.h"
#include "defect_correction.h"

namespace {

// The tables were built for this picture size over this device's buffers.
// Another size (or another camera's buffers) would send the reconstruction
// through row tables of the wrong geometry.
bool TablesFit(const CameraContext* context, ULONG width, ULONG height)
{
    return Pipeline.Width == width && Pipeline.Height == height &&
           Pipeline.MosaicBuffer == context->RawLineBuffer &&
           Pipeline.LumaBuffer == context->LumaWorkBuffer && context->WorkBufferA != nullptr &&
           context->WorkBufferB != nullptr;
}

ULONG FailFrame(FrameContext* frame)
{
    if (frame != nullptr) {
        frame->FrameIntact = FALSE;
    }
    return 0;
}

} // namespace

ULONG DecodeLargeFrame(CameraContext* Context, FrameContext* Frame, PUCHAR FrameBuffer,
                       ULONG FrameLength, ULONG Width, ULONG Height, ULONG CompactedLength,
                       PUCHAR RawFrameBuffer)
{
    if (!TablesFit(Context, Width, Height) ||
        DecompressLargeFrame(Width, Height, CompactedLength, RawFrameBuffer,
                             Context->CameraRevision) == 0) {
        return FailFrame(Frame);
    }
    if (DefectCorrectionEnabled(Context)) {
        CorrectDefectsLarge(Context, Context->RawLineBuffer, RAW_FRAME_BYTES, &Context->DpcTable);
    }
    ReconstructLargeFrame(Width, Height, Context->WorkBufferA, BaseToneCurve, BaseToneCurve,
                          BaseToneCurve, LargeColourMatrix, Context->Sharpness);
    RtlCopyMemory(FrameBuffer, Context->WorkBufferA, FrameLength);
    return FrameLength;
}

ULONG DecodeSmallFrame(CameraContext* Context, FrameContext* Frame, PUCHAR FrameBuffer,
                       ULONG FrameLength, ULONG Width, ULONG Height, ULONG CompactedLength,
                       PUCHAR RawFrameBuffer)
{
    if (!TablesFit(Context, Width, Height) ||
        DecompressSmallFrame(Width, Height, CompactedLength, RawFrameBuffer,
                             Context->WorkBufferA) == 0) {
        return FailFrame(Frame);
    }
    if (DefectCorrectionEnabled(Context)) {
        CorrectDefectsSmall(Context, Context->WorkBufferA, RAW_FRAME_BYTES, &Context->DpcTable);
    }
    ReconstructSmallFrame(Width, Height, nullptr, nullptr, nullptr, SmallColourMatrix,
                          Context->Sharpness, Context->WorkBufferA, Context->WorkBufferB);
    RtlCopyMemory(FrameBuffer, Context->WorkBufferB, FrameLength);
    return FrameLength;
}

void ApplyByteTable(PUCHAR Bytes, ULONG Count, const UCHAR* Table)
{
    if (Bytes == nullptr || Table == nullptr) {
        return;
    }
    for (ULONG i = 0; i < Count; ++i) {
        Bytes[i] = Table[Bytes[i]];
    }
}

void ApplyHueTables(PUCHAR UPlane, PUCHAR VPlane, const UCHAR* TableU, const UCHAR* TableV,
                    ULONG HalfWidth, ULONG HalfHeight)
{
    const ULONG count = HalfWidth * HalfHeight;
    for (ULONG i = 0; i < count; ++i) {
        const ULONG index = (ULONG)UPlane[i] * 256 + VPlane[i];
        UPlane[i] = TableU[index];
        VPlane[i] = TableV[index];
    }
}

void PostProcessPicture(CameraContext* Context, PUCHAR FrameBuffer, ULONG Width, ULONG Height)
{
    const ULONG lumaBytes = Width * Height;
    PUCHAR const uPlane = FrameBuffer + lumaBytes;
    PUCHAR const vPlane = uPlane + lumaBytes / 4;
    if (!(Context->Brightness == 128 && Context->Contrast == 0 && Context->Gamma == 0)) {
        ApplyByteTable(FrameBuffer, lumaBytes, ToneTables.LumaTable);
    }
    ApplyHueTables(uPlane, vPlane, ToneTables.HueTableU, ToneTables.HueTableV, Width / 2,
                   Height / 2);
    if (Context->Saturation != 32) {
        ApplyByteTable(uPlane, lumaBytes / 4, ToneTables.SaturationTable);
        ApplyByteTable(vPlane, lumaBytes / 4, ToneTables.SaturationTable);
    }
}

void DispatchFrameBySize(CameraContext* Context, FrameContext* Frame, PUCHAR FrameBuffer,
                         ULONG FrameLength, PUCHAR RawFrameBuffer, PULONG BytesReturned)
{
    ULONG width = 0;
    ULONG height = 0;
    switch (FrameLength) {
    case I420_BYTES_160x120:
        width = 160;
        height = 120;
        break;
    case I420_BYTES_176x144:
        width = 176;
        height = 144;
        break;
    case I420_BYTES_320x240:
        width = 320;
        height = 240;
        break;
    case I420_BYTES_352x288:
        width = 352;
        height = 288;
        break;
    default:
        *BytesReturned = 0;
        return;
    }
    const ULONG compacted = Context->SavedFrameLength;
    if (width >= 320) {
        *BytesReturned = DecodeLargeFrame(Context, Frame, FrameBuffer, FrameLength, width, height,
                                          compacted, RawFrameBuffer);
    } else {
        *BytesReturned = DecodeSmallFrame(Context, Frame, FrameBuffer, FrameLength, width, height,
                                          compacted, RawFrameBuffer);
    }
    PostProcessPicture(Context, FrameBuffer, width, height);
}

void MarkStillFrame(CameraContext* Context, PUCHAR FrameBuffer, ULONG FrameLength)
{
    if (Context->FrameFourCC != FOURCC_I420) {
        return;
    }
    const ULONG lumaBytes = Context->FrameWidth * Context->FrameHeight;
    if (lumaBytes == 0 || lumaBytes > FrameLength) {
        return;
    }
    UCHAR& last = FrameBuffer[lumaBytes - 1];
    if (Context->StillLatch) {
        Context->StillLatch = 0;
        last = (UCHAR)(last | 1);
    } else {
        last = (UCHAR)(last & ~1);
    }
}
