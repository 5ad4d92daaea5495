#include "jbgWin.h"
int32_t JBIGAPI jbigEncodeSetOrgDataFromWinBitmap(JbigHandle, HBITMAP) { return -1; }
HBITMAP JBIGAPI jbigDecodeToWinBitmap(JbigHandle, int32_t) { return reinterpret_cast<HBITMAP>(~uintptr_t(0)); }
