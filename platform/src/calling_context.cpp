// Where the calling thread may wait: a per-thread depth of NoWaitScopes and
// one process-wide count of the blocking calls made inside one.
#include <atomic>

#include "calling_context.h"
#include "kald_host/host_kernel.h"

namespace kald::host {
namespace {

thread_local unsigned NoWaitDepth = 0;
std::atomic<size_t> Violations{0};

} // namespace

NoWaitScope::NoWaitScope()
{
    ++NoWaitDepth;
}

NoWaitScope::~NoWaitScope()
{
    --NoWaitDepth;
}

bool WaitingAllowed()
{
    return NoWaitDepth == 0;
}

size_t WaitViolations()
{
    return Violations.load();
}

void ResetWaitViolations()
{
    Violations.store(0);
}

namespace detail {

bool MayWait()
{
    if (NoWaitDepth == 0) {
        return true;
    }
    ++Violations;
    return false;
}

} // namespace detail
} // namespace kald::host
