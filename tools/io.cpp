// Reading whole inputs and writing outputs that appear only when complete.
#include "cli.h"

#include "zeljbig.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <zlib.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace cli {

void fail(int code, const std::string &what, const std::string &reason) { throw Failure{code, what, reason}; }

std::string displayName(const std::string &path) {
    return path == "-" ? std::string("standard input") : path;
}

Limits &limits() {
    static Limits l;
    return l;
}

// ---- messages and the progress line ----

namespace {

std::mutex gTerm;  // standard error: messages and the progress line
std::condition_variable gWake;
std::thread gTicker;
std::string gLine;
bool gStop = false;
std::atomic<bool> gShown{false};
double gSince = 0;

void clearLine() {
    if (gShown.exchange(false)) std::fputs("\r\x1b[K", stderr);
}

void tick() {
    std::unique_lock<std::mutex> l(gTerm);
    while (!gStop) {
        gWake.wait_for(l, std::chrono::milliseconds(200));
        const double t = now() - gSince;
        if (gStop || t < 1.0) continue;
        std::fprintf(stderr, "\r%s (%.0f s)\x1b[K", gLine.c_str(), t);
        std::fflush(stderr);
        gShown = true;
    }
}

void say(const std::string &line) {
    std::lock_guard<std::mutex> l(gTerm);
    clearLine();
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
double secondsSince(double start) { return now() - start; }

void warn(const std::string &name, const std::string &text) {
    if (!limits().quiet) say("zeljbig: " + name + ": warning: " + text);
}

void note(const std::string &name, const std::string &text) {
    if (limits().verbose) say("zeljbig: " + name + ": " + text);
}

thread_local bool tPerFile = true;
void progressPerFile(bool on) { tPerFile = on; }

void message(const std::string &line) { say(line); }

void progress(const std::string &line, bool batchLine) {
    if (!limits().progress || (!batchLine && !tPerFile)) return;
    std::lock_guard<std::mutex> l(gTerm);
    gLine = line;
    if (!gTicker.joinable()) {
        gSince = now();
        gStop = false;
        gTicker = std::thread(tick);
    }
}

void progressEnd() {
    if (!tPerFile) return;
    {
        std::lock_guard<std::mutex> l(gTerm);
        gStop = true;
    }
    gWake.notify_all();
    if (gTicker.joinable()) gTicker.join();
    std::lock_guard<std::mutex> l(gTerm);
    clearLine();
}

thread_local std::string tFile;
void progressFile(const std::string &name) { tFile = name; }
const std::string &currentFile() { return tFile; }

void progressLayer(const char *what, int layer, int first, int last, uint32_t xd, uint32_t yd) {
    if (!limits().progress || !tPerFile) return;
    // Layer d holds about a quarter of the pixels of layer d + 1.
    double done = 0, all = 0;
    const int top = std::max(first, last);
    for (int d = std::min(first, last); d <= top; d++) {
        const double px = double(xd) * yd / double(uint64_t(1) << (2 * (top - d)));
        all += px;
        if (first > last ? d > layer : d < layer) done += px;
    }
    char pct[16];
    std::snprintf(pct, sizeof pct, "%.0f%%", all > 0 ? 100 * done / all : 0.0);
    progress("zeljbig: " + tFile + ": " + what + " layer " + std::to_string(layer) + " (of 0 to " +
             std::to_string(top) + "), " + pct);
}

void checkImageSize(uint32_t w, uint32_t h, const std::string &name) {
    if (w == 0 || h == 0) fail(kInput, name, "image has no pixels (" + std::to_string(w) + " x " + std::to_string(h) + ")");
    if (uint64_t(w) * h > limits().maxPixels)
        fail(kInput, name,
             "image of " + std::to_string(w) + " x " + std::to_string(h) + " pixels, more than --max-pixels " +
                 std::to_string(limits().maxPixels));
    // The library's limits, the decoder's: whatever is encoded can be decoded.
    if (zeljbigEncodeCheck(nullptr, w, h) != 0)
        fail(kInput, name, "image too large (" + std::to_string(w) + " x " + std::to_string(h) + ", at most 1 GiB of pixels)");
}

Bitmap makeBitmap(uint32_t w, uint32_t h, const std::string &name) {
    checkImageSize(w, h, name);
    Bitmap b;
    b.width = w;
    b.height = h;
    try {
        b.bits.assign(b.stride() * h, 0);
    } catch (const std::bad_alloc &) {
        fail(kInternal, name, "out of memory for a " + std::to_string(w) + " x " + std::to_string(h) + " image");
    }
    return b;
}

namespace {

std::string lastError() { return std::strerror(errno); }

// The temporary files in use, for the signal handler: fixed slots, so that
// it touches nothing but memory and unlink().
constexpr int kTempSlots = 1024;  // untouched pages cost nothing
constexpr size_t kTempPathMax = 4096;
struct TempSlot {
    // No initialisers: static storage starts at zero anyway, and a
    // constructor would write every slot (4 MiB of pages) at start-up.
    std::atomic<int> state;  // 0 free, 1 being filled, 2 a file to remove
    char path[kTempPathMax];
};
TempSlot gTemps[kTempSlots];

int tempRegister(const std::string &path) {
    if (path.size() >= kTempPathMax) return -1;
    for (int i = 0; i < kTempSlots; i++) {
        int expect = 0;
        if (gTemps[i].state.compare_exchange_strong(expect, 1)) {
            std::memcpy(gTemps[i].path, path.c_str(), path.size() + 1);
            gTemps[i].state.store(2);
            return i;
        }
    }
    return -1;
}

void tempRelease(int slot) {
    if (slot >= 0) gTemps[slot].state.store(0);
}

extern "C" void onSignal(int sig) {
    for (TempSlot &t : gTemps)
        if (t.state.load() == 2) ::remove(t.path);
#ifndef _WIN32
    if (gShown.load() && ::write(2, "\n", 1) < 0) {
    }
#endif
    _exit(128 + sig);
}

constexpr size_t kHeaderBytes = 20;  // the JBIG header

// How much a JBIG input may inflate to: twice the raw raster its header
// announces (coded data hardly ever exceeds the raster), at most that of
// --max-pixels pixels.
uint64_t jbigBudget(const Bytes &head) {
    constexpr uint64_t kSlack = uint64_t(1) << 20;
    const uint64_t w = be32(&head[4]), h = be32(&head[8]);
    const uint64_t raster = std::min(limits().maxPixels / 8, h == 0xFFFFFFFFu ? ~uint64_t(0) : (w + 7) / 8 * h);
    return std::min(kMaxInputBytes, 2 * raster + kSlack);
}

Bytes gunzip(const Bytes &in, const std::string &name, InputKind kind) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) fail(kInternal, name, "cannot start gzip decompression");
    Bytes out;
    uint8_t buf[1 << 16];
    z.next_in = const_cast<Bytef *>(in.data());
    z.avail_in = uInt(in.size());  // inputs are capped well below 4 GiB
    int rc;
    uint64_t budget = kind == InputKind::Jbig ? 0 : kMaxInputBytes;
    for (;;) {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
        if (budget == 0 && out.size() >= kHeaderBytes) budget = jbigBudget(out);
        if (out.size() > std::max<uint64_t>(budget, kHeaderBytes)) {
            inflateEnd(&z);
            fail(kInput, name,
                 budget < kMaxInputBytes ? "gzip data inflate to more than " + std::to_string(budget) +
                                               " bytes, more than its JBIG header makes plausible"
                                         : "decompressed input too large");
        }
        // Concatenated gzip members make one stream, as gzip itself reads them.
        if (rc == Z_STREAM_END && z.avail_in > 0 && z.next_in[0] == 0x1F) {
            inflateReset(&z);
            continue;
        }
        if (rc != Z_OK) break;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) fail(kInput, name, "damaged or truncated gzip data");
    return out;
}

std::string randomSuffix() {
    static std::mt19937_64 rng = [] {
        uint64_t seed = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
        try {
            seed ^= uint64_t(std::random_device{}()) << 32;
        } catch (...) {
        }
        return std::mt19937_64(seed);
    }();
    char s[17];
    std::snprintf(s, sizeof s, "%016llx", static_cast<unsigned long long>(rng()));
    return s;
}

// Opens a file for writing only if it does not exist yet.
FILE *openExclusive(const std::string &path) {
#ifdef _WIN32
    int fd = _open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    FILE *f = _fdopen(fd, "wb");
    if (!f) _close(fd);
    return f;
#else
    return std::fopen(path.c_str(), "wbx");
#endif
}

// Creates a file of a new random name in `dir`.
FILE *createNew(const fs::path &dir, const std::string &prefix, const std::string &suffix, std::string *made) {
    for (int attempt = 0; attempt < 16; attempt++) {
        std::string p = (dir / (prefix + randomSuffix() + suffix)).string();
        FILE *f = openExclusive(p);
        if (f) {
            *made = p;
            return f;
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

bool replaceFile(const std::string &from, const std::string &to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
#ifdef RENAME_EXCHANGE
    // An existing regular file trades names with the new one, and the old
    // one goes under the temporary name. A plain rename over it would, on
    // ext4, first push the new data to the disk and wait there.
    struct stat st;
    if (lstat(to.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
        unlink(from.c_str());
        return true;
    }
#endif
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

Bytes readInput(const std::string &path, InputKind kind, Bytes head) {
    std::string name = displayName(path);
    FILE *f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) fail(kInput, name, "cannot open: " + lastError());
    // Read in place, in one piece when the size is known; a byte more than
    // the size reveals a file that grows meanwhile.
    Bytes data = std::move(head);
    std::error_code ec;
    const uintmax_t known = f == stdin ? 0 : fs::file_size(path, ec);
    size_t size = data.size(), chunk = ec || known == 0 || known > kMaxInputBytes ? size_t(1) << 16 : size_t(known) + 1;
    for (;;) {
        data.resize(size + chunk);
        const size_t n = std::fread(data.data() + size, 1, chunk, f);
        size += n;
        if (size > kMaxInputBytes) {
            if (f != stdin) std::fclose(f);
            fail(kInput, name, "input too large");
        }
        if (n < chunk) break;
        chunk = std::max(chunk, size_t(1) << 16);
    }
    data.resize(size);
    bool bad = std::ferror(f) != 0;
    std::string why = bad ? lastError() : "";
    if (f != stdin) std::fclose(f);
    if (bad) fail(kInput, name, "cannot read: " + why);
    if (data.size() >= 2 && data[0] == 0x1F && data[1] == 0x8B) return gunzip(data, name, kind);
    return data;
}

#ifndef _WIN32
namespace {

// Where a chain of symbolic links ends, also when its last target does not
// exist yet (it is created there).
std::string followLinks(const std::string &path) {
    std::string p = path;
    for (int hops = 0; hops < 40; hops++) {
        char target[PATH_MAX];
        const ssize_t n = readlink(p.c_str(), target, sizeof target - 1);
        if (n < 0) return p;
        target[n] = '\0';
        if (target[0] == '/') {
            p = target;
        } else {
            const size_t slash = p.find_last_of('/');
            p = (slash == std::string::npos ? std::string() : p.substr(0, slash + 1)) + target;
        }
    }
    fail(kOutput, path, "too many levels of symbolic links");
}

// /dev/stdout and its kind name an open descriptor, not a place for a file.
bool namesDescriptor(const std::string &p) {
    return p == "/dev/stdout" || p == "/dev/stderr" || p.rfind("/dev/fd/", 0) == 0 || p.rfind("/proc/", 0) == 0;
}

}  // namespace
#endif

void refuseSameFile(const std::string &in, const std::string &out) {
#ifndef _WIN32
    struct stat a, b;
    if (in == "-" || out == "-" || ::stat(in.c_str(), &a) != 0 || ::stat(out.c_str(), &b) != 0) return;
    if (S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        fail(kUsage, out, "is the input " + in + " itself: give the output another name");
#else
    (void)in;
    (void)out;
#endif
}

bool isDeviceLike(const std::string &path) {
#ifndef _WIN32
    struct stat st;
    return path != "-" && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
#else
    (void)path;
    return false;
#endif
}

void installSignalHandlers() {
#ifndef _WIN32
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
#else
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
#endif
}

Output::Output(const std::string &path) : path_(path), target_(path) {
    if (path == "-") return;
    fs::path p(path);
    std::error_code ec;
    if (fs::is_directory(p, ec)) fail(kOutput, path, "is a directory");
    if (!p.has_filename()) fail(kOutput, path, "names no file");
#ifndef _WIN32
    struct stat st;
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if ((exists && !S_ISREG(st.st_mode)) || namesDescriptor(path)) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 || !(file_ = fdopen(fd, "wb"))) {
            const std::string why = lastError();
            if (fd >= 0) ::close(fd);
            fail(kOutput, path, "cannot open for writing: " + why);
        }
        inPlace_ = true;
        return;
    }
    target_ = followLinks(path);
    if (exists) {
        // Only a file the user could write is replaced.
        const int fd = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) fail(kOutput, path, "cannot write: " + lastError());
        ::close(fd);
        links_ = st.st_nlink > 1;
    }
    p = fs::path(target_);
#endif
    fs::path dir = p.parent_path();
    if (dir.empty()) dir = ".";
    file_ = createNew(dir, "." + p.filename().string() + ".", ".tmp", &temp_);
    if (!file_) fail(kOutput, path, "cannot create a file in " + dir.string() + ": " + lastError());
    slot_ = tempRegister(temp_);
#ifndef _WIN32
    if (exists && !links_) {
        // The owner first: a change of owner clears the set-id bits.
        const int fd = fileno(file_);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) (void)!fchown(fd, uid_t(-1), st.st_gid);
        (void)!fchmod(fd, st.st_mode & 07777);
    }
#endif
    std::setvbuf(file_, nullptr, _IOFBF, size_t(1) << 18);
}

Output::~Output() {
    if (file_) std::fclose(file_);
    if (!done_ && !temp_.empty()) std::remove(temp_.c_str());
    tempRelease(slot_);
}

void Output::write(const uint8_t *data, size_t n) {
    if (n == 0) return;
    if (!file_ && passThrough_) {
        if (std::fwrite(data, 1, n, stdout) != n) fail(kOutput, "standard output", "cannot write: " + lastError());
    } else if (!file_)
        held_.insert(held_.end(), data, data + n);
    else if (!failed_ && std::fwrite(data, 1, n, file_) != n) {
        failed_ = true;
        // A device or FIFO gets no more once it has failed.
        if (inPlace_) fail(kOutput, path_, "cannot write: " + lastError());
    }
}

namespace {

bool seekTo(FILE *f, uint64_t at) {
#ifdef _WIN32
    return _fseeki64(f, int64_t(at), SEEK_SET) == 0;
#else
    return fseeko(f, off_t(at), SEEK_SET) == 0;
#endif
}

// Copies the finished temporary file over the destination in place, for a
// file whose other hard links must keep seeing it.
bool copyOver(const std::string &from, const std::string &to) {
    FILE *in = std::fopen(from.c_str(), "rb");
    FILE *out = in ? std::fopen(to.c_str(), "r+b") : nullptr;
    bool ok = out != nullptr;
#ifndef _WIN32
    ok = ok && ftruncate(fileno(out), 0) == 0;
#endif
    std::vector<uint8_t> buf(size_t(1) << 16);  // batch jobs copy on several threads at once
    size_t n;
    while (ok && (n = std::fread(buf.data(), 1, buf.size(), in)) > 0) ok = std::fwrite(buf.data(), 1, n, out) == n;
    ok = ok && !std::ferror(in);
    if (out && std::fclose(out) != 0) ok = false;
    if (in) std::fclose(in);
    return ok;
}

}  // namespace

void Output::replaceHead(size_t old, const std::string &head) {
    if (failed_) return;  // commit() says so
    bool ok = std::fflush(file_) == 0 && (file_ = std::freopen(temp_.c_str(), "r+b", file_)) != nullptr;
    ok = ok && std::fwrite(head.data(), 1, head.size(), file_) == head.size();
    uint64_t from = old, to = head.size();
    if (ok && from != to) {
        // Moving down block by block never overwrites a byte not yet read.
        std::vector<uint8_t> buf(size_t(1) << 16);
        size_t n;
        while (ok && seekTo(file_, from) && (n = std::fread(buf.data(), 1, buf.size(), file_)) > 0) {
            ok = seekTo(file_, to) && std::fwrite(buf.data(), 1, n, file_) == n;
            from += n;
            to += n;
        }
        ok = ok && !std::ferror(file_) && std::fflush(file_) == 0;
#ifdef _WIN32
        ok = ok && _chsize_s(_fileno(file_), int64_t(to)) == 0;
#else
        ok = ok && ftruncate(fileno(file_), off_t(to)) == 0;
#endif
    }
    ok = ok && std::fseek(file_, 0, SEEK_END) == 0;
    if (!ok) fail(kOutput, path_, "cannot write: " + lastError());
}

// No fsync: the rename alone makes the output appear only when complete,
// and an existing file is replaced only then.
void Output::commit() {
    if (path_ == "-") {
        if ((!held_.empty() && std::fwrite(held_.data(), 1, held_.size(), stdout) != held_.size()) ||
            std::fflush(stdout) != 0)
            fail(kOutput, "standard output", "cannot write: " + lastError());
        done_ = true;
        return;
    }
    bool ok = !failed_ && std::fflush(file_) == 0;
    std::string why = ok ? "" : lastError();
    int closed = std::fclose(file_);
    file_ = nullptr;
    if (ok && closed != 0) {
        ok = false;
        why = lastError();
    }
    if (!ok) fail(kOutput, path_, "cannot write: " + why);
    if (inPlace_) {
        done_ = true;
        return;
    }
    if (links_) {
        if (!copyOver(temp_, target_)) fail(kOutput, path_, "cannot write: " + lastError());
        std::remove(temp_.c_str());
    } else if (!replaceFile(temp_, target_)) {
        fail(kOutput, path_, "cannot replace: " + lastError());
    }
    done_ = true;
}

ScratchFile::ScratchFile() {
    std::error_code ec;
    fs::path dir = fs::temp_directory_path(ec);
    if (ec) dir = ".";
    FILE *f = createNew(dir, "zeljbig-", ".jbg", &path_);
    if (!f) fail(kOutput, dir.string(), "cannot create a temporary file: " + lastError());
    slot_ = tempRegister(path_);
    std::fclose(f);
}

ScratchFile::~ScratchFile() {
    std::remove(path_.c_str());
    tempRelease(slot_);
}

void ScratchFile::write(const Bytes &data) const {
    FILE *f = std::fopen(path_.c_str(), "wb");
    bool ok = f && (data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size());
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) fail(kOutput, path_, "cannot write a temporary file: " + lastError());
}

Bytes ScratchFile::read() const {
    FILE *f = std::fopen(path_.c_str(), "rb");
    if (!f) fail(kOutput, path_, "cannot read a temporary file: " + lastError());
    Bytes data;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad) fail(kOutput, path_, "cannot read a temporary file");
    return data;
}

}  // namespace cli
