// The bytes of a stream that are not coded data: the sizes of the header and
// the trailer, the marker codes that follow ESC, and the reading of marker
// segments. Encoder, decoder, scan and tool all take them from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr uint32_t kBihBytes = 20;  // the bi-level image header
// A private deterministic-prediction table after the header: 6912 entries
// of two bits.
constexpr uint32_t kDpPrivBytes = 1728;

constexpr uint8_t kEsc = 0xFF;
// Marker codes, the byte after ESC.
constexpr uint8_t kStuff = 0x00;     // an 0xFF data byte
constexpr uint8_t kReserved = 0x01;  // reserved
constexpr uint8_t kSdnorm = 0x02;    // end of a stripe
constexpr uint8_t kSdrst = 0x03;     // end of a stripe, the next one starts afresh
constexpr uint8_t kAbort = 0x04;     // end of the image data
constexpr uint8_t kNewlen = 0x05;    // YD(4): the real height
constexpr uint8_t kAtmove = 0x06;    // yAT(4) tx(1) ty(1): the AT pixel moves
constexpr uint8_t kComment = 0x07;   // Lc(4) then Lc bytes

// Bytes after ESC and the marker code, before a comment's body.
constexpr uint32_t kNewlenParams = 4, kAtmoveParams = 6, kCommentParams = 4;

// The stripe index: ESC COMMENT, its length, the tag, then an offset and a
// length of four bytes each per stripe.
constexpr uint32_t kPatHeadBytes = 2 + kCommentParams + 4;
constexpr uint32_t kPatEntryBytes = 8;
constexpr char kPatTag[4] = {'C', 'P', 'a', 't'};

// One marker segment's parameters.
struct MarkerSegment {
    uint8_t code;
    uint32_t value;  // NEWLEN: YD; ATMOVE: yAT; COMMENT: its length
    uint8_t tx, ty;  // ATMOVE
};

// Reads the parameters of a segment whose marker code `code` was just
// taken from src (src.get() gives a byte, or -1 at the end of the data). A
// comment's body is left to the caller. False when the data ends first.
template <class Src>
bool markerParams(Src &src, uint8_t code, MarkerSegment *seg) {
    seg->code = code;
    seg->value = 0;
    seg->tx = seg->ty = 0;
    const uint32_t n = code == kAtmove ? kAtmoveParams : (code == kNewlen || code == kComment) ? 4 : 0;
    for (uint32_t i = 0; i < n; i++) {
        int32_t b = src.get();
        if (b < 0) return false;
        if (i < 4)
            seg->value = (seg->value << 8) | uint32_t(b);
        else if (i == 4)
            seg->tx = uint8_t(b);
        else
            seg->ty = uint8_t(b);
    }
    return true;
}

// Why sdeMeasure could not measure an entity: the data ended first, or the
// marker code (0x100 + code) it cannot measure across.
constexpr uint32_t kSdeMeasured = 0, kSdeDataEnded = 1, kSdeMarker = 0x100;

// What sdeMeasure met on its way.
struct SdeReport {
    uint32_t problem;  // kSdeMeasured, kSdeDataEnded or kSdeMarker + code
    uint32_t at;       // where it stopped: bytes from the entity's start (the ESC of a marker)
    bool sdrst;        // it ended with SDRST
    bool dataSeen;     // coded data came before where it stopped
    // Marker segments on the way (full standard only, but COMMENT).
    uint32_t atmoves, comments, newlens;
    uint32_t newlen;         // the YD of the last NEWLEN
    uint32_t atColumns[8];   // every tx an ATMOVE names, one bit each
    uint8_t atMaxTy;         // the largest ty
    bool atRowsBackwards;    // an ATMOVE names a line before the previous one's
    uint32_t atLastRow;      // yAT of the last ATMOVE
    uint64_t commentBytes;
};

// How many of the n bytes at p come before the first ESC (n if none).
inline size_t bytesBeforeEsc(const uint8_t *p, size_t n) {
    const void *esc = std::memchr(p, kEsc, n);
    return esc ? size_t(static_cast<const uint8_t *>(esc) - p) : n;
}

// Bytes in memory as a source for sdeMeasure and markerParams.
struct MemorySource {
    const uint8_t *p, *end;
    int32_t get() { return p < end ? *p++ : -1; }
    bool skip(uint32_t n) {
        if (uint64_t(end - p) < n) return false;
        p += n;
        return true;
    }
    uint32_t skipPlain() {
        const uint32_t n = uint32_t(bytesBeforeEsc(p, size_t(end - p)));
        p += n;
        return n;
    }
};

// Measures the stripe data entity that starts at src's next byte: its
// length up to and including ESC SDNORM or ESC SDRST, or -1 where it cannot
// be measured: ABORT, NEWLEN, a reserved marker, ATMOVE after coded data,
// or the end of the data. src.skip(n) passes n bytes, false at the end;
// src.skipPlain() passes the bytes before the next ESC that are at hand
// (none, or up to its buffer's end) and says how many.
// With `full` (the whole standard) NEWLEN is a segment to pass like COMMENT.
template <class Src>
int32_t sdeMeasure(Src &src, SdeReport *report = nullptr, bool full = false) {
    SdeReport r{};
    uint32_t count = 0;
    auto stop = [&](uint32_t problem, uint32_t at) {
        r.problem = problem;
        r.at = at;
        if (report) *report = r;
        return -1;
    };
    for (;;) {
        if (const uint32_t n = src.skipPlain()) {
            count += n;
            r.dataSeen = true;
        }
        int32_t b = src.get();
        if (b < 0) return stop(kSdeDataEnded, count);
        count++;
        if (b != kEsc) {
            r.dataSeen = true;
            continue;
        }
        int32_t m = src.get();
        if (m < 0) return stop(kSdeDataEnded, count);
        count++;
        MarkerSegment seg;
        switch (m) {
        case kStuff:
            r.dataSeen = true;
            break;
        case kSdnorm:
        case kSdrst:
            r.sdrst = m == kSdrst;
            r.at = count;
            if (report) *report = r;
            return int32_t(count);
        case kAtmove:
            if (r.dataSeen) return stop(kSdeMarker + kAtmove, count - 2);
            if (!markerParams(src, kAtmove, &seg)) return stop(kSdeDataEnded, count);
            if (r.atmoves && seg.value <= r.atLastRow) r.atRowsBackwards = true;
            r.atmoves++;
            r.atLastRow = seg.value;
            r.atColumns[seg.tx >> 5] |= 1u << (seg.tx & 31);
            r.atMaxTy = seg.ty > r.atMaxTy ? seg.ty : r.atMaxTy;
            count += kAtmoveParams;
            break;
        case kNewlen:
            if (!full) return stop(kSdeMarker + kNewlen, count - 2);
            if (!markerParams(src, kNewlen, &seg)) return stop(kSdeDataEnded, count);
            r.newlens++;
            r.newlen = seg.value;
            count += kNewlenParams;
            break;
        case kComment:
            if (!markerParams(src, kComment, &seg) || !src.skip(seg.value)) return stop(kSdeDataEnded, count);
            r.comments++;
            r.commentBytes += seg.value;
            count += kCommentParams + seg.value;
            break;
        default:
            return stop(kSdeMarker + uint32_t(m), count - 2);
        }
    }
}
