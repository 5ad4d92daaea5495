// Reading whole inputs and writing outputs that appear only when complete.
#include "cli.h"

#include "zeljbig.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>
#include <zlib.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
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

void checkImageSize(uint32_t w, uint32_t h, const std::string &name) {
    if (w == 0 || h == 0) fail(kInput, name, "image has no pixels (" + std::to_string(w) + " x " + std::to_string(h) + ")");
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

Bytes gunzip(const Bytes &in, const std::string &name) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) fail(kInternal, name, "cannot start gzip decompression");
    Bytes out;
    uint8_t buf[1 << 16];
    z.next_in = const_cast<Bytef *>(in.data());
    z.avail_in = uInt(in.size());  // inputs are capped well below 4 GiB
    int rc;
    for (;;) {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
        if (out.size() > kMaxInputBytes) {
            inflateEnd(&z);
            fail(kInput, name, "decompressed input too large");
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

Bytes readInput(const std::string &path) {
    std::string name = displayName(path);
    FILE *f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) fail(kInput, name, "cannot open: " + lastError());
    // Read in place, in one piece when the size is known; a byte more than
    // the size reveals a file that grows meanwhile.
    Bytes data;
    std::error_code ec;
    const uintmax_t known = f == stdin ? 0 : fs::file_size(path, ec);
    size_t size = 0, chunk = ec || known == 0 || known > kMaxInputBytes ? size_t(1) << 16 : size_t(known) + 1;
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
    if (data.size() >= 2 && data[0] == 0x1F && data[1] == 0x8B) return gunzip(data, name);
    return data;
}

Output::Output(const std::string &path) : path_(path) {
    if (path == "-") return;
    fs::path p(path);
    std::error_code ec;
    if (fs::is_directory(p, ec)) fail(kOutput, path, "is a directory");
    if (!p.has_filename()) fail(kOutput, path, "names no file");
    fs::path dir = p.parent_path();
    if (dir.empty()) dir = ".";
    file_ = createNew(dir, "." + p.filename().string() + ".", ".tmp", &temp_);
    if (!file_) fail(kOutput, path, "cannot create a file in " + dir.string() + ": " + lastError());
    std::setvbuf(file_, nullptr, _IOFBF, size_t(1) << 18);
}

Output::~Output() {
    if (file_) std::fclose(file_);
    if (!done_ && !temp_.empty()) std::remove(temp_.c_str());
}

void Output::write(const uint8_t *data, size_t n) {
    if (n == 0) return;
    if (!file_)
        held_.insert(held_.end(), data, data + n);
    else if (!failed_ && std::fwrite(data, 1, n, file_) != n) failed_ = true;
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
    if (!replaceFile(temp_, path_)) fail(kOutput, path_, "cannot replace: " + lastError());
    done_ = true;
}

ScratchFile::ScratchFile() {
    std::error_code ec;
    fs::path dir = fs::temp_directory_path(ec);
    if (ec) dir = ".";
    FILE *f = createNew(dir, "zeljbig-", ".jbg", &path_);
    if (!f) fail(kOutput, dir.string(), "cannot create a temporary file: " + lastError());
    std::fclose(f);
}

ScratchFile::~ScratchFile() { std::remove(path_.c_str()); }

void ScratchFile::write(const Bytes &data) const {
    FILE *f = std::fopen(path_.c_str(), "wb");
    bool ok = f && (data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size());
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) fail(kOutput, path_, "cannot write a temporary file: " + lastError());
}

Bytes ScratchFile::read() const {
    FILE *f = std::fopen(path_.c_str(), "rb");
    if (!f) fail(kInternal, path_, "cannot read a temporary file: " + lastError());
    Bytes data;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad) fail(kInternal, path_, "cannot read a temporary file");
    return data;
}

}  // namespace cli
