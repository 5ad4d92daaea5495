// Coder context, row arrays, the file layer and the byte stream.
#include "jpgLib.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "jbgDiff.h"
#include "jbgMarker.h"
#include "jbgQMTable.h"

// ---------------------------------------------------------------- registry

namespace {

// Live contexts, newest first, and a lock that needs no thread library of
// the system (held for a walk over the list, nothing longer).
std::atomic_flag registryLock = ATOMIC_FLAG_INIT;
JbigContext *liveFirst = nullptr;
uint32_t lastSerial = 0;

struct RegistryLock {
    RegistryLock() {
        while (registryLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~RegistryLock() { registryLock.clear(std::memory_order_release); }
};

void registryAdd(JbigContext *ctx) {
    RegistryLock lock;
    // Serials whose handle would read as the failure value are skipped.
    do ctx->serial = ++lastSerial;
    while (ctxHandle(ctx) == 0 || ctxHandle(ctx) == JBIG_INVALID_HANDLE);
    ctx->livePrev = nullptr;
    ctx->liveNext = liveFirst;
    if (liveFirst != nullptr) liveFirst->livePrev = ctx;
    liveFirst = ctx;
}

// Unlinks ctx, which the lock's holder knows to be live.
void registryUnlink(JbigContext *ctx) {
    if (ctx->livePrev != nullptr)
        ctx->livePrev->liveNext = ctx->liveNext;
    else
        liveFirst = ctx->liveNext;
    if (ctx->liveNext != nullptr) ctx->liveNext->livePrev = ctx->livePrev;
    ctx->liveNext = ctx->livePrev = nullptr;
}

JbigContext *registryFind(JbigHandle handle, uint32_t kind) {
    if (handle == 0 || handle == JBIG_INVALID_HANDLE) return nullptr;
    for (JbigContext *c = liveFirst; c != nullptr; c = c->liveNext)
        if (ctxHandle(c) == handle) return c->magic == kJbigMagic && (c->mode & 3) == kind ? c : nullptr;
    return nullptr;
}

}  // namespace

JbigContext *ctxFromHandle(JbigHandle handle, uint32_t kind) {
    RegistryLock lock;
    return registryFind(handle, kind);
}

JbigContext *ctxTake(JbigHandle handle, uint32_t kind) {
    RegistryLock lock;
    JbigContext *ctx = registryFind(handle, kind);
    if (ctx != nullptr) registryUnlink(ctx);
    return ctx;
}

// ---------------------------------------------------------------- locked blocks

void *globalAllocLocked(UINT flags, size_t bytes, HGLOBAL *handle) {
    HGLOBAL h = GlobalAlloc(flags, bytes);
    void *p = h ? GlobalLock(h) : nullptr;
    if (p == nullptr && h != nullptr) GlobalFree(h);
    *handle = p ? h : nullptr;
    return p;
}

bool globalFreeLocked(HGLOBAL handle) {
    GlobalUnlock(handle);
    return GlobalFree(handle) == nullptr;
}

void *localAllocLocked(size_t bytes, HLOCAL *handle) {
    HLOCAL h = LocalAlloc(LMEM_FIXED, bytes);
    void *p = h ? LocalLock(h) : nullptr;
    if (p == nullptr && h != nullptr) LocalFree(h);
    *handle = p ? h : nullptr;
    return p;
}

bool localFreeLocked(HLOCAL handle) {
    LocalUnlock(handle);
    return LocalFree(handle) == nullptr;
}

// ---------------------------------------------------------------- context

JbigContext *ctxCreate(const char *path, uint32_t flags) {
    uint32_t kind = flags & 3;
    if (kind == 0 || kind == 3) return nullptr;
    if (path != nullptr && std::strlen(path) > 255) return nullptr;
    HGLOBAL h;
    auto *ctx = static_cast<JbigContext *>(globalAllocLocked(GMEM_MOVEABLE, sizeof(JbigContext), &h));
    if (ctx == nullptr) return nullptr;
    // Cleared so that no field a hostile call sequence reaches is undefined.
    std::memset(static_cast<void *>(ctx), 0, sizeof(JbigContext));
    ctx->memHandle = h;
    ctx->magic = kJbigMagic;
    ctx->mode = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(flags)));
    if (path != nullptr) streamSetPath(&ctx->stream, path);
    ctx->stripeCount = -1;
    ctx->dec.headBytes = kBihBytes;
    ctx->dec.abortAt = kNoAbort;
    std::copy(zjDpTable, zjDpTable + 4, ctx->dp);
    registryAdd(ctx);
    return ctx;
}

int32_t ctxDestroy(JbigContext *ctx) {
    {
        // Still listed unless an epilog took it.
        RegistryLock lock;
        if (ctx == liveFirst || ctx->livePrev != nullptr) registryUnlink(ctx);
    }
    // The stripe table is a row array; freed here so that the context does
    // not call back into jbgPat, which builds on it.
    if (ctx->stripeTable != nullptr) rowArrayFree(ctx->stripeTable);
    ctx->stripeTable = nullptr;
    if (ctx->dec.dpPrivHandle != nullptr) globalFreeLocked(ctx->dec.dpPrivHandle);
    for (uint32_t i = 0; i < ctx->dec.dpHandleCount; i++) globalFreeLocked(ctx->dec.dpHandles[i]);
    streamCloseFile(&ctx->stream);
    HGLOBAL h = ctx->memHandle;
    ctx->magic = 0;
    return globalFreeLocked(h) ? 0 : -1;
}

void qmStatesReset(JbigContext *ctx) { std::fill(ctx->qmStates, ctx->qmStates + 4096, kQmStart); }

int32_t ctxInvertImage(JbigContext *ctx) {
    JbigLayerImage &img = ctx->cur;
    if (img.rows == nullptr) return 0;
    uint32_t bytes = (img.width + 7) >> 3;
    for (uint32_t y = img.height; y-- > 0;) {
        uint8_t *p = img.rows[y];
        uint32_t i = 0;
        for (; i + 4 <= bytes; i += 4) {
            uint32_t w;
            std::memcpy(&w, p + i, 4);
            w = ~w;
            std::memcpy(p + i, &w, 4);
        }
        for (; i < bytes; i++) p[i] = static_cast<uint8_t>(~p[i]);
    }
    return 0;
}

// ---------------------------------------------------------------- rows

uint8_t **rowArrayAlloc(uint32_t rows, uint32_t bytesPerRow) {
    uint64_t tableBytes = rowArrayHeadBytes(rows);
    uint64_t dataBytes = uint64_t(rows) * bytesPerRow;
    if (tableBytes > 0xFFFFFFFFu || dataBytes > 0xFFFFFFFFu) return nullptr;
    // Header words and the row table; pointer-sized on 64-bit systems.
    uint64_t headerBytes = 8 * sizeof(uintptr_t) + uint64_t(rows) * sizeof(uint8_t *);
    HGLOBAL h1, h2;
    auto *head = static_cast<uintptr_t *>(globalAllocLocked(GMEM_MOVEABLE, static_cast<size_t>(headerBytes), &h1));
    if (head == nullptr) return nullptr;
    // Cleared: the coders read a few bytes past the last pixel of a row,
    // rows never supplied must not carry leftovers into a stream, and the
    // decoders store no white. Fresh zero pages cost nothing until touched.
    auto *data = static_cast<uint8_t *>(
        globalAllocLocked(GMEM_MOVEABLE | GMEM_ZEROINIT, static_cast<size_t>(dataBytes ? dataBytes : 1), &h2));
    if (data == nullptr) {
        globalFreeLocked(h1);
        return nullptr;
    }
    head[0] = bytesPerRow;
    head[1] = rows;
    head[2] = reinterpret_cast<uintptr_t>(head);
    head[3] = static_cast<uintptr_t>(tableBytes);
    head[4] = reinterpret_cast<uintptr_t>(h1);
    head[5] = reinterpret_cast<uintptr_t>(data);
    head[6] = static_cast<uintptr_t>(dataBytes);
    head[7] = reinterpret_cast<uintptr_t>(h2);
    auto **table = reinterpret_cast<uint8_t **>(head + 8);
    for (uint32_t i = 0; i < rows; i++) table[i] = data + size_t(i) * bytesPerRow;
    return table;
}

int32_t rowArrayFree(uint8_t **rowTable) {
    if (rowTable == nullptr) return 0;
    auto *head = reinterpret_cast<uintptr_t *>(rowTable) - 8;
    auto h1 = reinterpret_cast<HGLOBAL>(head[4]);
    auto h2 = reinterpret_cast<HGLOBAL>(head[7]);
    bool ok = globalFreeLocked(h2);
    ok = globalFreeLocked(h1) && ok;
    return ok ? 1 : 0;
}

void layerImageSetup(JbigLayerImage *img, uint32_t width, uint32_t height) {
    img->width = width;
    img->height = height;
    img->blankRow = height;
    img->stride = strideFor(width);
    img->lineBytes = (width + 15) >> 3;
    img->row = 0;
    img->stripe = 0;
}

bool layerImageAlloc(JbigLayerImage *img) {
    img->rows = rowArrayAlloc(img->height + 1, img->stride);
    return img->rows != nullptr;
}

void layerImageFree(JbigLayerImage *img) {
    if (img->rows != nullptr) rowArrayFree(img->rows);
    img->rows = nullptr;
}

bool diffWorkAlloc(JbigContext *ctx, uint32_t blocks) {
    ctx->diffWorkSize = 2 * blocks;
    ctx->diffWork = static_cast<uint16_t *>(localAllocLocked(ctx->diffWorkSize, &ctx->diffWorkHandle));
    return ctx->diffWork != nullptr;
}

int32_t diffWorkFree(JbigContext *ctx) {
    if (ctx->diffWorkHandle == nullptr) return 0;
    int32_t r = localFreeLocked(ctx->diffWorkHandle) ? 0 : -1;
    ctx->diffWorkHandle = nullptr;
    ctx->diffWork = nullptr;
    return r;
}

// ---------------------------------------------------------------- file layer

static HANDLE fileCreate(const char *path) {
    return CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// How fileOpen opens an existing file.
enum { kOpenRead = 0, kOpenWrite = 1, kOpenUpdate = 2 };

static HANDLE fileOpen(const char *path, int how) {
    DWORD access, share = 0;
    switch (how) {
    case kOpenRead:
        access = GENERIC_READ;
        share = FILE_SHARE_READ;
        break;
    case kOpenWrite:
        access = GENERIC_WRITE;
        break;
    case kOpenUpdate:
        access = GENERIC_READ | GENERIC_WRITE;
        break;
    default:
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(path, access, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

static uint32_t fileGetSize(const char *path) {
    HANDLE h = fileOpen(path, kOpenRead);
    if (h == INVALID_HANDLE_VALUE) return INVALID_FILE_SIZE;
    DWORD size = GetFileSize(h, nullptr);
    CloseHandle(h);
    return size;
}

static uint32_t fileClose(HANDLE h) { return CloseHandle(h) ? 0 : kStatusOpenFailed; }

static int32_t fileRead(HANDLE h, void *buf, uint32_t n) {
    DWORD got = 0;
    if (!ReadFile(h, buf, n, &got, nullptr)) return -1;
    return static_cast<int32_t>(got);
}

static int32_t fileWrite(HANDLE h, const void *buf, uint32_t n) {
    DWORD put = 0;
    if (!WriteFile(h, buf, n, &put, nullptr)) return -1;
    return static_cast<int32_t>(put);
}

static uint32_t fileSeek(HANDLE h, uint32_t offset, int whence) {
    // Offsets are unsigned 32-bit: pass the high part so that positions
    // from 2 GiB on stay reachable.
    LONG high = 0;
    DWORD method = whence == kSeekStart ? FILE_BEGIN : whence == kSeekCurrent ? FILE_CURRENT : FILE_END;
    if (whence != kSeekStart) high = static_cast<int32_t>(offset) < 0 ? -1 : 0;
    DWORD r = SetFilePointer(h, static_cast<LONG>(offset), &high, method);
    if (r == INVALID_SET_FILE_POINTER || high != 0) return kSeekFailed;
    return r;
}

// ---------------------------------------------------------------- stream

bool streamSetPath(JbigStream *s, const char *path) {
    size_t n = std::strlen(path);
    if (n > 255) return false;
    std::memcpy(s->path, path, n + 1);
    return true;
}

int32_t streamReset(JbigStream *s) {
    s->memPos = 0;
    s->scanTotal = 0;
    s->bufPos = 0;
    s->ioStatus = 0;
    if (s->streamFlags & kStreamRead) s->bufFill = 0;
    return 0;
}

int32_t streamOpenWrite(JbigStream *s) {
    s->streamFlags |= kStreamWrite;
    if (streamIsMemory(s)) {
        s->hFile = nullptr;
    } else {
        HANDLE h = fileCreate(s->path);
        if (h == INVALID_HANDLE_VALUE) {
            s->hFile = nullptr;
            s->ioStatus = kIoNoFile;
            return static_cast<int32_t>(kStatusNoFile);
        }
        s->hFile = h;
    }
    streamReset(s);
    s->memCapacity = 0;
    return 0;
}

int32_t streamOpenRead(JbigStream *s) {
    s->streamFlags |= kStreamRead;
    if (streamIsMemory(s)) {
        s->fileSize = 0;
        s->hFile = nullptr;
    } else {
        s->fileSize = fileGetSize(s->path);
        if (streamOpenFile(s) == -1) return static_cast<int32_t>(kStatusNoFile);
    }
    streamReset(s);
    return 0;
}

intptr_t streamOpenFile(JbigStream *s) {
    if (streamIsMemory(s)) return 1;
    HANDLE h = fileOpen(s->path, kOpenRead);
    if (h == INVALID_HANDLE_VALUE) {
        s->hFile = nullptr;
        s->ioStatus = kIoNoFile;
        return -1;
    }
    s->hFile = h;
    return reinterpret_cast<intptr_t>(h);
}

HANDLE streamOpenUpdate(JbigStream *s) {
    HANDLE h = fileOpen(s->path, kOpenUpdate);
    if (h == INVALID_HANDLE_VALUE) {
        s->hFile = nullptr;
        s->ioStatus = kIoNoFile;
        return INVALID_HANDLE_VALUE;
    }
    s->hFile = h;
    s->ioStatus = kIoOk;
    return h;
}

uint32_t streamCloseFile(JbigStream *s) {
    if (s->hFile == nullptr || s->ioStatus == kIoNoFile) return 0;
    HANDLE h = s->hFile;
    s->hFile = nullptr;
    return fileClose(h);
}

uint32_t streamClose(JbigStream *s) { return streamIsMemory(s) ? 0 : streamCloseFile(s); }

uint32_t streamSeek(JbigStream *s, uint32_t offset, int whence) {
    if (streamIsMemory(s)) {
        if (whence == kSeekStart)
            s->memPos = offset;
        else if (whence == kSeekCurrent)
            s->memPos += offset;
        else
            s->memPos = s->memLength + offset;
        return s->memPos;
    }
    if (s->hFile == nullptr) return kSeekFailed;
    return fileSeek(s->hFile, offset, whence);
}

int32_t streamWrite(JbigStream *s, const void *buf, uint32_t n) {
    if (streamIsMemory(s)) {
        uint64_t end = uint64_t(s->memPos) + n;
        if (end > 0x7FFFFFFFu) return -1;
        if (end > s->memCapacity) {
            uint32_t cap = static_cast<uint32_t>((end + 4095) & ~uint64_t(4095));
            void *p = (s->memPtr == nullptr) ? HeapAlloc(GetProcessHeap(), 0, cap)
                                             : HeapReAlloc(GetProcessHeap(), 0, s->memPtr, cap);
            // A failed reallocation keeps the old block, which the epilog
            // releases.
            if (p == nullptr) return -1;
            s->memPtr = static_cast<uint8_t *>(p);
            s->memCapacity = cap;
        }
        if (n) std::memcpy(s->memPtr + s->memPos, buf, n);
        s->memPos = s->memLength = static_cast<uint32_t>(end);
        return static_cast<int32_t>(n);
    }
    if (s->hFile == nullptr) return -1;
    int32_t r = fileWrite(s->hFile, buf, n);
    return r == static_cast<int32_t>(n) ? r : -1;
}

int32_t streamRead(JbigStream *s, void *buf, uint32_t n) {
    if (streamIsMemory(s)) {
        if (s->memBase == nullptr || s->memPos >= s->memLength) return 0;
        uint32_t k = std::min(n, s->memLength - s->memPos);
        std::memcpy(buf, s->memBase + s->memPos, k);
        s->memPos += k;
        s->memPtr = s->memBase + s->memPos;
        return static_cast<int32_t>(k);
    }
    if (s->hFile == nullptr) return -1;
    int32_t r = fileRead(s->hFile, buf, n);
    return r < 1 ? -1 : r;
}

bool streamReadFully(JbigStream *s, uint8_t *buf, uint32_t n) {
    // A file may deliver less than asked for at a time.
    while (n > 0) {
        int32_t r = streamRead(s, buf, n);
        if (r < 1) return false;
        buf += r;
        n -= static_cast<uint32_t>(r);
    }
    return true;
}

uint32_t streamCopy(JbigStream *target, JbigStream *source, uint32_t offset, uint32_t count) {
    if (source->hFile == nullptr || target->hFile == nullptr) return kStatusOpenFailed;
    if (fileSeek(source->hFile, offset, kSeekStart) == kSeekFailed) return kStatusOpenFailed;
    while (count > 0) {
        int32_t got = fileRead(source->hFile, source->ioBuffer, std::min<uint32_t>(count, kIoBufferSize));
        if (got < 1) return kStatusOpenFailed;
        if (fileWrite(target->hFile, source->ioBuffer, static_cast<uint32_t>(got)) != got) return kStatusOpenFailed;
        count -= static_cast<uint32_t>(got);
    }
    return 0;
}

int32_t ctxReopen(JbigContext *ctx) {
    streamReset(&ctx->stream);
    if (streamIsMemory(&ctx->stream)) return 0;
    if (ctx->stream.hFile != nullptr) streamCloseFile(&ctx->stream);
    return streamOpenFile(&ctx->stream) == -1 ? -1 : 0;
}

int32_t ctxCloseFile(JbigContext *ctx) {
    streamCloseFile(&ctx->stream);
    return 0;
}

uint32_t ctxDataEnd(const JbigContext *ctx) {
    if (ctx->dec.dataLength != 0) {
        uint64_t end = uint64_t(ctx->dec.dataOffset) + ctx->dec.dataLength;
        return end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
    }
    return streamIsMemory(&ctx->stream) ? ctx->stream.memLength : ctx->stream.fileSize;
}
