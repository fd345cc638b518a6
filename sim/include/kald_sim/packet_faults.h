// Faults on the isochronous pipe between the camera and the host: packets
// lost, repeated, swapped, cut short, emptied or damaged. Each one is
// counted and logged, so a test can hold the driver's counters against what
// was done to the stream.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "random.h"
#include "video_stream.h"

namespace kald::sim {

enum class PacketFault : uint8_t {
    Lost,        // never arrives: the camera's next packet comes in its millisecond
    Repeated,    // arrives twice, in two milliseconds; everything after comes one later
    Reordered,   // swapped with the camera's next packet
    Truncated,   // arrives with 1 .. P-1 of its P bytes
    ZeroLength,  // arrives with length 0: its data is gone
    ErrorStatus, // arrives whole with an error status
};
inline constexpr size_t kPacketFaultKinds = 6;

// The status of a packet that arrived with a bad checksum.
inline constexpr USBD_STATUS kPacketErrorStatus = USBD_STATUS(0xC0000001L);

// One injected fault.
struct InjectedPacketFault {
    uint64_t Packet = 0; // the camera's packet number (1 = its first packet)
    PacketFault Kind = PacketFault::Lost;
    uint64_t Frame = 0;   // the frame the packet belongs to (for idle packets: the last started)
    uint8_t Sequence = 0; // the packet's sequence byte
    ULONG Length = 0;     // what the host received for it (0 for a lost packet)
};

// Packets are numbered as the camera sends them, idle ones included, empty
// milliseconds not. A packet takes at most one fault: a packet scheduled by
// number wins over one scheduled by frame, which wins over the random
// rates. The packet that fills a lost packet's millisecond and the partner
// of a swap take no fault of their own (a fault scheduled for them is
// dropped).
class PacketFaults {
  public:
    explicit PacketFaults(uint64_t seed);

    // Probability (0 .. 1, in steps of one in a million) that a packet takes
    // `kind`; 0 switches it off.
    void SetRate(PacketFault kind, double probability);
    // The packet with camera packet number `packet`.
    void AtPacket(uint64_t packet, PacketFault kind);
    // The packet of frame `frame` that carries `sequence` (0xFF: the frame's
    // first idle packet).
    void AtFrame(uint64_t frame, uint8_t sequence, PacketFault kind);
    void Clear(); // rates and schedules; the log stays

    uint64_t PacketsSent() const { return sent_; }
    const std::vector<InjectedPacketFault>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }

    // Puts `packet` through the faults and appends what the host receives,
    // in order, to `out`. `next` makes the camera's next packet, for the
    // faults that need it.
    void Apply(BusPacket packet, const std::function<BusPacket()>& next, std::deque<BusPacket>& out,
               IsochronousStats& stats);

  private:
    std::optional<PacketFault> Decide(uint64_t number, const BusPacket& packet);
    BusPacket Partner(const std::function<BusPacket()>& next);
    void MarkFrame(uint64_t frame, IsochronousStats& stats);

    SimRandom random_;
    std::array<uint32_t, kPacketFaultKinds> ratePpm_{};
    std::map<uint64_t, PacketFault> byPacket_;
    std::map<std::pair<uint64_t, uint8_t>, PacketFault> byFrame_;
    uint64_t sent_ = 0;
    std::set<uint64_t> faultedFrames_;
    std::vector<InjectedPacketFault> log_;
};

} // namespace kald::sim
