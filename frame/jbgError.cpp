// Reasons of failures, one per thread, and the release of what the
// zeljbig... family hands out.
#include "jbgError.h"

#include <cstdarg>
#include <cstdio>

#include "../platform/win32.h"
#include "zeljbig.h"

namespace {
// A fixed buffer: nothing to allocate or destroy per thread.
thread_local char lastReason[320];
}  // namespace

void errClear() { lastReason[0] = '\0'; }

bool errSet(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(lastReason, sizeof lastReason, format, args);
    va_end(args);
    return false;
}

const char *errText() { return lastReason; }

const char *zeljbigLastError(void) { return lastReason; }

// Everything the family hands out comes from the process heap, as the
// encoder's memory output does.
void zeljbigFree(void *block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

void zeljbigSetError(const char *reason) { errSet("%s", reason ? reason : ""); }
