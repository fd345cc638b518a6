// The host's virtual clock and KeDelayExecutionThread. Nothing here sleeps:
// a wait moves the clock forward at once, so code that paces itself with
// waits runs at full speed and tests can read what it waited.
#include <limits>
#include <mutex>

#include "calling_context.h"
#include "kald_host/host_kernel.h"

namespace kald::host {
namespace {

struct VirtualClock {
    std::mutex Lock;
    uint64_t Now = 0; // 100-ns units since the last reset
    std::vector<int64_t> Delays;
};

VirtualClock& TheClock()
{
    // Never destroyed, so that waits made by other statics' destructors are safe.
    static VirtualClock* clock = new VirtualClock;
    return *clock;
}

// Adds without wrapping; the clock stops at its largest value.
uint64_t SaturatingAdd(uint64_t a, uint64_t b)
{
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

} // namespace

uint64_t Now100ns()
{
    VirtualClock& clock = TheClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    return clock.Now;
}

void AdvanceClock(uint64_t units100ns)
{
    VirtualClock& clock = TheClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    clock.Now = SaturatingAdd(clock.Now, units100ns);
}

void ResetClock()
{
    VirtualClock& clock = TheClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    clock.Now = 0;
}

const std::vector<int64_t>& DelayLog()
{
    return TheClock().Delays;
}

void ClearDelayLog()
{
    VirtualClock& clock = TheClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    clock.Delays.clear();
}

} // namespace kald::host

// Interval < 0 (or 0) is a relative wait of -Interval 100-ns units: the
// clock moves by that much and the wait is logged. Interval > 0 is an
// absolute time: the clock moves to it unless it is already later. The wait
// mode and alertability change nothing on the host.
// Returns STATUS_SUCCESS; STATUS_INVALID_PARAMETER without an interval;
// STATUS_UNSUCCESSFUL, with a wait violation recorded and the clock left
// alone, where the caller may not wait.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    if (Interval == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!kald::host::detail::MayWait()) {
        return STATUS_UNSUCCESSFUL;
    }
    kald::host::VirtualClock& clock = kald::host::TheClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    const LONGLONG interval = Interval->QuadPart;
    if (interval <= 0) {
        // Negate in unsigned arithmetic: the most negative interval has no
        // positive counterpart in LONGLONG.
        const uint64_t length = 0 - static_cast<uint64_t>(interval);
        clock.Now = kald::host::SaturatingAdd(clock.Now, length);
        clock.Delays.push_back(
            static_cast<int64_t>(length > uint64_t(std::numeric_limits<int64_t>::max())
                                     ? std::numeric_limits<int64_t>::max()
                                     : length));
    } else if (static_cast<uint64_t>(interval) > clock.Now) {
        clock.Now = static_cast<uint64_t>(interval);
    }
    return STATUS_SUCCESS;
}
