// Win32 file services for systems without Win32, over POSIX descriptors.
// A handle is the descriptor plus one, so that 0 never names a file.
#include "win32.h"
#include "testhooks.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<long> writeCount{0};
std::atomic<long> readCount{0};
std::atomic<long> failWriteAt{0};

int fdOf(HANDLE h) {
    intptr_t v = reinterpret_cast<intptr_t>(h);
    return (v <= 0) ? -1 : static_cast<int>(v - 1);
}

}  // namespace

extern "C" {

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD, void *, DWORD disposition, DWORD, HANDLE) {
    if (path == nullptr) return INVALID_HANDLE_VALUE;
    int flags = O_CLOEXEC;
    bool rd = access & GENERIC_READ, wr = access & GENERIC_WRITE;
    if (rd && wr)
        flags |= O_RDWR;
    else if (wr)
        flags |= O_WRONLY;
    else if (rd)
        flags |= O_RDONLY;
    else
        return INVALID_HANDLE_VALUE;
    if (disposition == CREATE_ALWAYS)
        flags |= O_CREAT | O_TRUNC;
    else if (disposition != OPEN_EXISTING)
        return INVALID_HANDLE_VALUE;
    int fd;
    do {
        fd = open(path, flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1);
}

BOOL ReadFile(HANDLE file, LPVOID buf, DWORD toRead, LPDWORD read, void *) {
    int fd = fdOf(file);
    ++readCount;
    if (read) *read = 0;
    if (fd < 0) return FALSE;
    DWORD done = 0;
    while (done < toRead) {
        ssize_t n = ::read(fd, static_cast<char *>(buf) + done, toRead - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FALSE;
        if (n == 0) break;
        done += static_cast<DWORD>(n);
    }
    if (read) *read = done;
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buf, DWORD toWrite, LPDWORD written, void *) {
    int fd = fdOf(file);
    if (written) *written = 0;
    long n = ++writeCount;
    long k = failWriteAt.load(std::memory_order_relaxed);
    if (fd < 0 || (k != 0 && n == k)) return FALSE;
    DWORD done = 0;
    while (done < toWrite) {
        ssize_t w = ::write(fd, static_cast<const char *>(buf) + done, toWrite - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<DWORD>(w);
    }
    if (written) *written = done;
    return done == toWrite;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    int fd = fdOf(file);
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    if (fd < 0 || method > FILE_END) return INVALID_SET_FILE_POINTER;
    off_t off = distance;
    if (distanceHigh) off = static_cast<off_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                               static_cast<uint32_t>(distance));
    off_t r = lseek(fd, off, whence);
    if (r < 0) return INVALID_SET_FILE_POINTER;
    if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(r) >> 32);
    return static_cast<DWORD>(r);
}

DWORD GetFileSize(HANDLE file, LPDWORD high) {
    int fd = fdOf(file);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return INVALID_FILE_SIZE;
    if (high) *high = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    return static_cast<DWORD>(st.st_size);
}

BOOL CloseHandle(HANDLE object) {
    int fd = fdOf(object);
    if (fd < 0) return FALSE;
    return close(fd) == 0;
}

void zjFailWriteAt(long k) { failWriteAt = k == 0 ? 0 : writeCount.load() + k; }
long zjWriteCount(void) { return writeCount.load(); }
long zjReadCount(void) { return readCount.load(); }

}  // extern "C"
