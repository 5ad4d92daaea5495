// Win32 memory services for systems without Win32. Every block carries a
// small header so that handles can be told from garbage and the library's
// live blocks and bytes can be counted.
#include "win32.h"
#include "testhooks.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kBlockMagic = 0x5A4A4D42u;  // "ZJMB"
constexpr uint32_t kFreedMagic = 0x5A4A4446u;

struct alignas(16) Block {
    uint32_t magic;
    uint32_t locks;
    size_t size;
};

std::atomic<long> allocCount{0};
std::atomic<long> failAllocAt{0};
std::atomic<long> liveBlocks{0};
std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};

bool allocationFails() {
    long n = ++allocCount;
    long k = failAllocAt.load(std::memory_order_relaxed);
    return k != 0 && n == k;
}

void account(long blocks, ptrdiff_t bytes) {
    liveBlocks += blocks;
    size_t now = liveBytes += static_cast<size_t>(bytes);
    size_t peak = peakBytes.load(std::memory_order_relaxed);
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
}

Block *blockOf(void *handle) {
    Block *b = static_cast<Block *>(handle);
    if (b == nullptr || b->magic != kBlockMagic) return nullptr;
    return b;
}

void *newBlock(size_t bytes, bool zero = false) {
    if (allocationFails() || bytes > (SIZE_MAX >> 1)) return nullptr;
    Block *b = static_cast<Block *>(zero ? std::calloc(1, sizeof(Block) + bytes) : std::malloc(sizeof(Block) + bytes));
    if (b == nullptr) return nullptr;
    b->magic = kBlockMagic;
    b->locks = 0;
    b->size = bytes;
    account(1, static_cast<ptrdiff_t>(bytes));
    return b;
}

void *freeBlock(void *handle) {
    Block *b = blockOf(handle);
    if (b == nullptr) return handle;
    b->magic = kFreedMagic;
    account(-1, -static_cast<ptrdiff_t>(b->size));
    std::free(b);
    return nullptr;
}

void *lockBlock(void *handle) {
    Block *b = blockOf(handle);
    if (b == nullptr) return nullptr;
    b->locks++;
    return b + 1;
}

BOOL unlockBlock(void *handle) {
    Block *b = blockOf(handle);
    if (b == nullptr || b->locks == 0) return FALSE;
    return --b->locks != 0;
}

}  // namespace

extern "C" {

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) {
    return newBlock(bytes, (flags & GMEM_ZEROINIT) != 0);
}
LPVOID GlobalLock(HGLOBAL block) { return lockBlock(block); }
BOOL GlobalUnlock(HGLOBAL block) { return unlockBlock(block); }
HGLOBAL GlobalFree(HGLOBAL block) { return freeBlock(block); }
size_t GlobalSize(HGLOBAL block) {
    Block *b = blockOf(block);
    return b ? b->size : 0;
}

HLOCAL LocalAlloc(UINT, size_t bytes) { return newBlock(bytes); }
LPVOID LocalLock(HLOCAL block) { return lockBlock(block); }
BOOL LocalUnlock(HLOCAL block) { return unlockBlock(block); }
HLOCAL LocalFree(HLOCAL block) { return freeBlock(block); }

// Heap blocks carry the same header in front of the address handed out.
HANDLE GetProcessHeap(void) {
    static int heap;
    return &heap;
}

LPVOID HeapAlloc(HANDLE, DWORD, size_t bytes) {
    void *h = newBlock(bytes);
    return h ? static_cast<Block *>(h) + 1 : nullptr;
}

LPVOID HeapReAlloc(HANDLE, DWORD, LPVOID block, size_t bytes) {
    if (block == nullptr) return nullptr;
    Block *old = blockOf(static_cast<Block *>(block) - 1);
    if (old == nullptr || allocationFails() || bytes > (SIZE_MAX >> 1)) return nullptr;
    size_t oldSize = old->size;
    Block *b = static_cast<Block *>(std::realloc(old, sizeof(Block) + bytes));
    if (b == nullptr) return nullptr;
    b->size = bytes;
    account(0, static_cast<ptrdiff_t>(bytes) - static_cast<ptrdiff_t>(oldSize));
    return b + 1;
}

BOOL HeapFree(HANDLE, DWORD, LPVOID block) {
    if (block == nullptr) return TRUE;
    return freeBlock(static_cast<Block *>(block) - 1) == nullptr;
}

void zjFailAllocAt(long k) { failAllocAt = k == 0 ? 0 : allocCount.load() + k; }
long zjAllocCount(void) { return allocCount.load(); }
long zjLiveBlocks(void) { return liveBlocks.load(); }
size_t zjLiveBytes(void) { return liveBytes.load(); }
size_t zjPeakBytes(void) { return peakBytes.load(); }
void zjResetPeak(void) { peakBytes = liveBytes.load(); }

}  // extern "C"
