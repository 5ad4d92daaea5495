// What the libjbig stand-in asks of the streaming decoder beyond the public
// calls.
#pragma once

#include "zeljbig.h"

// An ABORT has ended the image data: the rows from here on are white.
bool streamDecoderAborted(const ZeljbigStreamDecoder *decoder);
