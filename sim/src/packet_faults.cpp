#include "kald_sim/packet_faults.h"

#include <algorithm>
#include <cmath>

namespace kald::sim {
namespace {

constexpr uint32_t kMillion = 1000000;

uint64_t& Counter(IsochronousStats& stats, PacketFault kind)
{
    switch (kind) {
    case PacketFault::Lost:
        return stats.LostPackets;
    case PacketFault::Repeated:
        return stats.RepeatedPackets;
    case PacketFault::Reordered:
        return stats.ReorderedPackets;
    case PacketFault::Truncated:
        return stats.TruncatedPackets;
    case PacketFault::ZeroLength:
        return stats.ZeroLengthPackets;
    default:
        return stats.ErrorStatusPackets;
    }
}

uint8_t SequenceOf(const BusPacket& packet)
{
    return packet.Bytes.empty() ? kIdleSequence : packet.Bytes[0];
}

} // namespace

PacketFaults::PacketFaults(uint64_t seed) : random_(FaultRandom(seed)) {}

void PacketFaults::SetRate(PacketFault kind, double probability)
{
    const double clamped = std::clamp(probability, 0.0, 1.0);
    ratePpm_[size_t(kind)] = uint32_t(std::llround(clamped * kMillion));
}

void PacketFaults::AtPacket(uint64_t packet, PacketFault kind)
{
    byPacket_[packet] = kind;
}

void PacketFaults::AtFrame(uint64_t frame, uint8_t sequence, PacketFault kind)
{
    byFrame_[{frame, sequence}] = kind;
}

void PacketFaults::Clear()
{
    ratePpm_.fill(0);
    byPacket_.clear();
    byFrame_.clear();
}

// Every kind with a rate draws for every packet, hit or not, so the random
// sequence depends only on the rates and the number of packets.
std::optional<PacketFault> PacketFaults::Decide(uint64_t number, const BusPacket& packet)
{
    std::optional<PacketFault> fault;
    if (auto it = byPacket_.find(number); it != byPacket_.end()) {
        fault = it->second;
        byPacket_.erase(it);
    }
    if (auto it = byFrame_.find({packet.Frame, SequenceOf(packet)}); it != byFrame_.end()) {
        fault = fault.value_or(it->second);
        byFrame_.erase(it);
    }
    for (size_t kind = 0; kind < kPacketFaultKinds; ++kind) {
        if (ratePpm_[kind] != 0 && random_.Below(kMillion) < ratePpm_[kind] && !fault) {
            fault = PacketFault(kind);
        }
    }
    return fault;
}

// The camera's next packet, numbered, exempt from faults.
BusPacket PacketFaults::Partner(const std::function<BusPacket()>& next)
{
    BusPacket partner = next();
    if (!partner.Bytes.empty()) {
        ++sent_;
        byPacket_.erase(sent_);
        byFrame_.erase({partner.Frame, SequenceOf(partner)});
    }
    return partner;
}

void PacketFaults::MarkFrame(uint64_t frame, IsochronousStats& stats)
{
    if (faultedFrames_.insert(frame).second) {
        ++stats.FramesWithFaults;
    }
    // Frames are only ever marked near the newest one.
    while (!faultedFrames_.empty() && *faultedFrames_.begin() + 8 < frame) {
        faultedFrames_.erase(faultedFrames_.begin());
    }
}

void PacketFaults::Apply(BusPacket packet, const std::function<BusPacket()>& next,
                         std::deque<BusPacket>& out, IsochronousStats& stats)
{
    if (packet.Bytes.empty()) {
        out.push_back(std::move(packet));
        return;
    }
    const uint64_t number = ++sent_;
    const std::optional<PacketFault> fault = Decide(number, packet);
    if (!fault) {
        out.push_back(std::move(packet));
        return;
    }
    ++Counter(stats, *fault);
    InjectedPacketFault record{number, *fault, packet.Frame, SequenceOf(packet),
                               ULONG(packet.Bytes.size())};
    bool damaging = packet.Data;
    switch (*fault) {
    case PacketFault::Lost:
        record.Length = 0;
        out.push_back(Partner(next));
        break;
    case PacketFault::Repeated:
        out.push_back(packet);
        out.push_back(std::move(packet));
        break;
    case PacketFault::Reordered: {
        BusPacket partner = Partner(next);
        // Swapping with an idle packet leaves every frame's order intact.
        damaging = packet.Data && partner.Data;
        if (damaging && partner.Frame != packet.Frame) {
            MarkFrame(partner.Frame, stats);
        }
        out.push_back(std::move(partner));
        out.push_back(std::move(packet));
        break;
    }
    case PacketFault::Truncated:
        packet.Bytes.resize(1 + random_.Below(uint32_t(packet.Bytes.size() - 1)));
        record.Length = ULONG(packet.Bytes.size());
        out.push_back(std::move(packet));
        break;
    case PacketFault::ZeroLength:
        packet.Bytes.clear();
        record.Length = 0;
        out.push_back(std::move(packet));
        break;
    case PacketFault::ErrorStatus:
        packet.Status = kPacketErrorStatus;
        out.push_back(std::move(packet));
        break;
    }
    if (damaging) {
        MarkFrame(record.Frame, stats);
    }
    log_.push_back(record);
}

} // namespace kald::sim
