#pragma once
// The Windows types, message numbers and control ids that the dialog
// framework stand-in speaks, with their Windows values.
#include <cstdint>

typedef int BOOL;
typedef unsigned int UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef uintptr_t ULONG_PTR;
typedef uint32_t DWORD;  // 32 bits, as on Windows (and as the COM layer has it)
// A window's handle: names a live dialog without owning it.
struct HWND__;
typedef HWND__* HWND;

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_COPYDATA = 0x004A;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_USER = 0x0400;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

constexpr UINT LOWORD(WPARAM value) { return static_cast<UINT>(value & 0xFFFF); }
constexpr UINT HIWORD(WPARAM value) { return static_cast<UINT>((value >> 16) & 0xFFFF); }

// The block a WM_COPYDATA message points to with its lParam. The data
// belongs to the sender and is valid only while the handler runs.
struct COPYDATASTRUCT
{
    ULONG_PTR dwData;
    DWORD cbData;
    void* lpData;
};

struct MSG
{
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
