// Non-paged pool of the host: ExAllocatePoolWithTag and ExFreePool over the
// C++ heap, with per-tag accounting, a limit on the bytes in use and an
// armed failure, so that tests can run the driver out of memory at any
// allocation. Pool and paged pool are the same memory here.
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "kald_host/host_kernel.h"

namespace kald::host {
namespace {

// The platform hands out pool blocks on 16-byte boundaries on 64-bit systems.
constexpr std::align_val_t PoolAlignment{16};

// Fresh blocks are filled with this, not zeroed: the platform's pool is not
// cleared either, and code that forgets to initialise shows it.
constexpr int FreshFill = 0xC5;

struct PoolBlock {
    size_t Bytes;
    ULONG Tag;
};

struct TagUsage {
    size_t Bytes = 0;
    size_t Blocks = 0;
};

class Pool {
  public:
    PVOID Allocate(SIZE_T bytes, ULONG tag)
    {
        std::lock_guard<std::mutex> guard(Lock);
        if (FailCountdown != 0 && --FailCountdown == 0) {
            return Refuse();
        }
        if (Limit && (Stats.bytesInUse > *Limit || bytes > *Limit - Stats.bytesInUse)) {
            return Refuse();
        }
        // A zero-byte request still gets a block of its own.
        void* p = ::operator new(bytes != 0 ? bytes : 1, PoolAlignment, std::nothrow);
        if (p == nullptr) {
            return Refuse();
        }
        try {
            Blocks.emplace(p, PoolBlock{bytes, tag});
            TagUsage& usage = Tags[tag];
            usage.Bytes += bytes;
            ++usage.Blocks;
        } catch (const std::bad_alloc&) {
            Blocks.erase(p);
            ::operator delete(p, PoolAlignment);
            return Refuse();
        }
        Stats.bytesInUse += bytes;
        ++Stats.allocationsInUse;
        ++Stats.allocationCount;
        memset(p, FreshFill, bytes);
        return p;
    }

    void Free(PVOID p)
    {
        std::lock_guard<std::mutex> guard(Lock);
        auto block = p != nullptr ? Blocks.find(p) : Blocks.end();
        if (block == Blocks.end()) {
            ++Stats.badFrees;
            return;
        }
        TagUsage& usage = Tags[block->second.Tag];
        usage.Bytes -= block->second.Bytes;
        --usage.Blocks;
        Stats.bytesInUse -= block->second.Bytes;
        --Stats.allocationsInUse;
        Blocks.erase(block);
        ::operator delete(p, PoolAlignment);
    }

    PoolStatistics Statistics()
    {
        std::lock_guard<std::mutex> guard(Lock);
        return Stats;
    }

    TagUsage UsageOf(ULONG tag)
    {
        std::lock_guard<std::mutex> guard(Lock);
        auto usage = Tags.find(tag);
        return usage != Tags.end() ? usage->second : TagUsage{};
    }

    void SetLimit(std::optional<size_t> bytes)
    {
        std::lock_guard<std::mutex> guard(Lock);
        Limit = bytes;
    }

    void FailAllocation(size_t n)
    {
        std::lock_guard<std::mutex> guard(Lock);
        FailCountdown = n;
    }

    void Reset()
    {
        std::lock_guard<std::mutex> guard(Lock);
        Stats.allocationCount = 0;
        Stats.failedCount = 0;
        Stats.badFrees = 0;
        Limit.reset();
        FailCountdown = 0;
    }

  private:
    PVOID Refuse()
    {
        ++Stats.failedCount;
        return nullptr;
    }

    std::mutex Lock;
    std::unordered_map<void*, PoolBlock> Blocks;
    std::unordered_map<ULONG, TagUsage> Tags;
    PoolStatistics Stats;
    std::optional<size_t> Limit;
    size_t FailCountdown = 0; // calls left until the armed failure; 0 = none
};

Pool& ThePool()
{
    // Never destroyed, so that blocks freed by other statics' destructors
    // are still accounted.
    static Pool* pool = new Pool;
    return *pool;
}

} // namespace

PoolStatistics PoolStats()
{
    return ThePool().Statistics();
}

size_t PoolBytesInUse(ULONG tag)
{
    return ThePool().UsageOf(tag).Bytes;
}

size_t PoolAllocationsInUse(ULONG tag)
{
    return ThePool().UsageOf(tag).Blocks;
}

void SetPoolLimit(std::optional<size_t> bytes)
{
    ThePool().SetLimit(bytes);
}

void FailPoolAllocation(size_t n)
{
    ThePool().FailAllocation(n);
}

void ResetPool()
{
    ThePool().Reset();
}

} // namespace kald::host

// Returns NULL when the pool limit would be exceeded, when the armed failure
// falls on this call or when the heap is exhausted. Every call counts
// towards the armed failure, refused ones included.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    (void)PoolType;
    return kald::host::ThePool().Allocate(NumberOfBytes, Tag);
}

// Freeing NULL or a block the pool does not hold (again, or never) stops the
// platform; the host counts it in PoolStatistics::badFrees and frees nothing.
VOID ExFreePool(PVOID P)
{
    kald::host::ThePool().Free(P);
}
