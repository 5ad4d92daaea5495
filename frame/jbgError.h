// The one-line reason of the last failure on this thread, read back with
// zeljbigLastError.
#pragma once

#include <cstdint>

// Forgets the last reason: a call that succeeds leaves "".
void errClear();
// Sets the reason, printf style; the result is always false, so that a
// failing step can `return errSet(...)`.
bool errSet(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The reason as it stands ("" when there is none).
const char *errText();
