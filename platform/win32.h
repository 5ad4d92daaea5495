// The Win32 services the library calls. On Windows they are the real ones;
// elsewhere platform/ provides stand-ins with the results the library relies
// on, plus hooks for tests (platform/testhooks.h).
#pragma once

#include "zeljbig.h"

#if !defined(_WIN32)
#include <stddef.h>
#include <stdint.h>

typedef void *HLOCAL;
typedef struct zjGdiObject *HDC;
typedef void *HWND;
typedef const char *LPCSTR;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef int32_t *PLONG;

#define LMEM_FIXED 0x0000
#define LMEM_MOVEABLE 0x0002

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define TRUE 1
#define FALSE 0

#define SRCCOPY 0x00CC0020u
#define DIB_RGB_COLORS 0

// Internal: under names of the library's own, hidden in the shared library.
#define LocalAlloc zjLocalAlloc
#define LocalLock zjLocalLock
#define LocalUnlock zjLocalUnlock
#define LocalFree zjLocalFree
#define HeapReAlloc zjHeapReAlloc
#define CreateFileA zjCreateFileA
#define ReadFile zjReadFile
#define WriteFile zjWriteFile
#define SetFilePointer zjSetFilePointer
#define GetFileSize zjGetFileSize
#define CloseHandle zjCloseHandle
#define GetDC zjGetDC
#define ReleaseDC zjReleaseDC
#define CreateCompatibleDC zjCreateCompatibleDC
#define DeleteDC zjDeleteDC
#define CreateCompatibleBitmap zjCreateCompatibleBitmap
#define SelectObject zjSelectObject
#define BitBlt zjBitBlt
#define GetDIBits zjGetDIBits

extern "C" {
HLOCAL LocalAlloc(UINT flags, size_t bytes);
LPVOID LocalLock(HLOCAL block);
BOOL LocalUnlock(HLOCAL block);
HLOCAL LocalFree(HLOCAL block);
LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, size_t bytes);

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, void *security, DWORD disposition, DWORD attributes,
                   HANDLE templ);
BOOL ReadFile(HANDLE file, LPVOID buf, DWORD toRead, LPDWORD read, void *overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buf, DWORD toWrite, LPDWORD written, void *overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
DWORD GetFileSize(HANDLE file, LPDWORD high);
BOOL CloseHandle(HANDLE object);

HDC GetDC(HWND window);
int ReleaseDC(HWND window, HDC dc);
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
HGDIOBJ SelectObject(HDC dc, HGDIOBJ obj);
BOOL BitBlt(HDC dst, int x, int y, int cx, int cy, HDC src, int x1, int y1, DWORD rop);
int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits, BITMAPINFO *info, UINT usage);
}
#endif
