#include "packet_sync.h"

namespace {

// Packet bytes 7..14 carry the statistics of a start-of-frame packet.
constexpr ULONG FRAME_STATISTICS_END = 15;

void RecordPacketError(CameraContext* c, ULONG kind, ULONG detail)
{
    if (c->PacketErrorKind == 0) {
        c->PacketErrorKind = kind;
        c->PacketErrorDetail = detail;
    }
}

void EmptyCollection(CameraContext* c)
{
    c->SavedFrameLength = 0;
    c->SavedFrameNextSequence = 0;
}

// A packet without bytes has no sequence byte; it counts like an idle
// packet, so the clock, the skip count, the rate gate and the idle counters
// advance once per packet whatever arrives.
UCHAR SequenceOf(const USBD_ISO_PACKET_DESCRIPTOR* packet, const UCHAR* data)
{
    return packet->Length == 0 ? PACKET_IDLE : data[0];
}

void ClearIntact(PVOID frameContext)
{
    if (frameContext != nullptr) {
        static_cast<FrameContext*>(frameContext)->FrameIntact = FALSE;
    }
}

ULONG ProcessFramePacket(CameraContext* c, PVOID frameContext,
                         const USBD_ISO_PACKET_DESCRIPTOR* packet, const UCHAR* data,
                         PBOOLEAN frameComplete)
{
    if (!ValidatePacket(c, packet)) {
        ClearIntact(frameContext);
        return 0;
    }
    const UCHAR s = SequenceOf(packet, data);
    const ULONG length = packet->Length;
    FrameRateGateStep(s, c->MsClock, &c->FrameRateGate);
    const bool damaged =
        frameContext != nullptr && !static_cast<FrameContext*>(frameContext)->FrameIntact;
    if (damaged && s != PACKET_START_OF_FRAME) {
        return 0; // the rest of a damaged frame is dropped uncounted
    }
    ULONG n = 0;
    if (s == PACKET_START_OF_FRAME) {
        if (frameComplete != nullptr) {
            *frameComplete = c->FrameRateGate.Complete;
        }
        c->NextPacketSequence = 1;
        n = length;
        c->FrameStartCount += 1;
        c->PacketCount += 1;
        c->IdlePacketRun = 0;
        if (length >= FRAME_STATISTICS_END) {
            ReadFrameStatistics(c, data);
        }
    } else if (s == PACKET_IDLE) {
        c->IdlePacketRun += 1;
        if (c->IdlePacketRun > c->MaxIdlePacketRun) {
            c->MaxIdlePacketRun = c->IdlePacketRun;
        }
    } else {
        if (s == c->NextPacketSequence) {
            c->NextPacketSequence = (UCHAR)(s + 1);
            n = length;
        } else {
            RecordPacketError(c, PACKET_ERROR_SEQUENCE, (ULONG)c->NextPacketSequence * 65536 + s);
            ClearIntact(frameContext);
        }
        c->PacketCount += 1;
        c->IdlePacketRun = 0;
    }
    return c->FrameRateGate.Accept ? n : 0;
}

} // namespace

ULONG CamPacketSize(const CameraContext* Context)
{
    const PUSBD_INTERFACE_INFORMATION info = Context->InterfaceInfo;
    if (info == nullptr || info->NumberOfPipes == 0) {
        return 0;
    }
    return info->Pipes[0].MaximumPacketSize;
}

BOOLEAN ValidatePacket(CameraContext* Context, const USBD_ISO_PACKET_DESCRIPTOR* DataPacket)
{
    if (DataPacket->Status < 0) {
        RecordPacketError(Context, PACKET_ERROR_STATUS, (ULONG)DataPacket->Status);
        Context->PacketErrorCount += 1;
        return FALSE;
    }
    const ULONG size = CamPacketSize(Context);
    if (DataPacket->Length == 0 || (size != 0 && DataPacket->Length == size)) {
        return TRUE;
    }
    RecordPacketError(Context, PACKET_ERROR_LENGTH, DataPacket->Length);
    Context->PacketErrorCount += 1;
    return FALSE;
}

ULONG CollectFirstFramePacket(CameraContext* Context, const USBD_ISO_PACKET_DESCRIPTOR* DataPacket,
                              const UCHAR* DataBuffer)
{
    CameraContext* c = Context;
    const UCHAR s = SequenceOf(DataPacket, DataBuffer);
    if (s == PACKET_IDLE) {
        return 0;
    }
    if (!ValidatePacket(c, DataPacket)) {
        EmptyCollection(c);
        return 0;
    }
    if (s == PACKET_START_OF_FRAME && c->SavedFrameLength != 0) {
        return DataPacket->Length; // a whole frame is saved and the next begins
    }
    if (s != c->SavedFrameNextSequence) {
        EmptyCollection(c);
        return 0;
    }
    const ULONG payload = DataPacket->Length - 1;
    if (c->SavedFrameBuffer == nullptr || c->SavedFrameLength + payload >= c->SavedFrameCapacity) {
        EmptyCollection(c);
        return 0;
    }
    RtlCopyMemory(c->SavedFrameBuffer + c->SavedFrameLength, DataBuffer + 1, payload);
    c->SavedFrameLength += payload;
    c->SavedFrameNextSequence = (UCHAR)(c->SavedFrameNextSequence + 1);
    return 0;
}

void ReadFrameStatistics(CameraContext* Context, const UCHAR* DataBuffer)
{
    // Packet bytes 7..10 carry set B and 11..14 set A, each green 1, red,
    // blue, green 2; the controller keeps red, green 1, green 2, blue.
    UCHAR* stats = Context->AutoControlState.Stats;
    stats[0] = DataBuffer[12];
    stats[1] = DataBuffer[11];
    stats[2] = DataBuffer[14];
    stats[3] = DataBuffer[13];
    stats[4] = DataBuffer[8];
    stats[5] = DataBuffer[7];
    stats[6] = DataBuffer[10];
    stats[7] = DataBuffer[9];
}

ULONG CamProcessUSBPacketEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                            PVOID CurrentFrameContext, PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket,
                            PVOID SyncBuffer, PUSBD_ISO_PACKET_DESCRIPTOR DataPacket,
                            PVOID DataBuffer, PBOOLEAN FrameComplete, PULONG PacketFlag,
                            PULONG ValidDataOffset)
{
    (void)BusDeviceObject;
    (void)SyncPacket;
    (void)SyncBuffer;
    // This camera never marks still frames, and a packet's data starts at
    // its first byte.
    if (PacketFlag != nullptr) {
        *PacketFlag = 0;
    }
    if (ValidDataOffset != nullptr) {
        *ValidDataOffset = 0;
    }
    CameraContext* c = static_cast<CameraContext*>(DeviceContext);
    const UCHAR* data = static_cast<const UCHAR*>(DataBuffer);
    if (c == nullptr || data == nullptr || DataPacket == nullptr) {
        return 0;
    }
    if (c->SyncState == 0) {
        if (c->SkipCountdown != 0) {
            c->SkipCountdown -= 1;
            return 0;
        }
        if (SequenceOf(DataPacket, data) != PACKET_START_OF_FRAME) {
            return 0;
        }
        c->SyncState = 1;
    }
    if (c->SyncState == 1) {
        if (CollectFirstFramePacket(c, DataPacket, data) == 0 ||
            SequenceOf(DataPacket, data) != PACKET_START_OF_FRAME) {
            return 0;
        }
        c->SyncState = 2;
    }
    c->MsClock += 1;
    return ProcessFramePacket(c, CurrentFrameContext, DataPacket, data, FrameComplete);
}

void FrameRateGateInit(ULONG FrameInterval, FrameRateGate* Gate)
{
    ULONG ms = FrameInterval / 10000;
    if (ms < 33) {
        ms = 33;
    }
    if (ms > 1000) {
        ms = 1000;
    }
    Gate->Period = ms - 1;
    Gate->State = 0;
    Gate->Accept = TRUE;
    Gate->Complete = TRUE;
}

void FrameRateGateStep(UCHAR Sequence, ULONG MsClock, FrameRateGate* Gate)
{
    const bool tick = Gate->Period == 0 || MsClock % Gate->Period == 0;
    const bool start = Sequence == PACKET_START_OF_FRAME;
    Gate->Accept = FALSE;
    Gate->Complete = FALSE;
    switch (Gate->State) {
    case 0: // delivering
        if (tick) {
            Gate->Accept = TRUE;
            if (start) {
                Gate->Complete = TRUE;
            } else {
                Gate->State = 1;
            }
        } else if (start) {
            Gate->Complete = TRUE;
            Gate->State = 2;
        } else {
            Gate->Accept = TRUE;
        }
        break;
    case 1: // a tick was seen: deliver the next frame
        Gate->Accept = TRUE;
        if (start) {
            Gate->Complete = TRUE;
            Gate->State = 0;
        }
        break;
    case 2: // dropping until a tick
        if (tick) {
            if (start) {
                Gate->Accept = TRUE;
                Gate->State = 0;
            } else {
                Gate->State = 3;
            }
        }
        break;
    default: // 3: waiting for a start of frame
        if (start) {
            Gate->Accept = TRUE;
            Gate->State = 0;
        }
        break;
    }
}

void ResetFrameSync(CameraContext* Context)
{
    EmptyCollection(Context);
    Context->SyncState = 0;
    Context->SkipCountdown = Context->CameraSettings.MsToSkipPackets;
    if (Context->SavedFrameBuffer != nullptr) {
        RtlZeroMemory(Context->SavedFrameBuffer, Context->SavedFrameCapacity);
    }
}
