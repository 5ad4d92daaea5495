// The lowest layer coded as its rows arrive: one plane, no differential
// layers, each stripe coded and handed to the sink once its last row is in.
#pragma once

#include "../frame/jpgLib.h"

// What the header and the coding of a streamed image are.
struct StreamEncodeSetup {
    uint32_t width;
    uint32_t height;   // kUnknownHeight: a NEWLEN gives it at the end
    uint32_t L0, MX;   // lines per stripe; how far the AT pixel may move
    uint32_t order;    // header bytes 18 and 19
    uint32_t options;
    uint32_t stripeFlags;  // kEncSdrst, kEncKeepZeros (jbgCBase.h)
};

// Null, with the reason, when the setup cannot be coded or memory is short.
// Nothing is written before the first row, comment, length or finish.
ZeljbigStreamEncoder *streamEncCreate(const StreamEncodeSetup &setup, ZeljbigByteSink sink, void *user);
// Rows so far, and the height as it now stands (kUnknownHeight until known).
uint32_t streamEncRows(const ZeljbigStreamEncoder *e);
uint32_t streamEncHeight(const ZeljbigStreamEncoder *e);
// True once the last row or an ABORT is out: nothing more can be added.
bool streamEncDone(const ZeljbigStreamEncoder *e);
