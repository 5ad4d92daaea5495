#include "win32.h"
extern "C" {
HBITMAP CreateBitmapIndirect(const BITMAP *) { return nullptr; }
int GetObjectA(HGDIOBJ, int, LPVOID) { return 0; }
BOOL DeleteObject(HGDIOBJ) { return FALSE; }
}
