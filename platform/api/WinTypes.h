#pragma once
// The platform's basic integer and handle types, with their published widths.
#include <cstddef>
#include <cstdint>

#include "sorn_win_export.h"

typedef std::uint32_t DWORD;
typedef std::uint16_t WORD;
typedef std::uint8_t BYTE;
typedef std::int32_t LONG;
typedef unsigned int UINT;
typedef int BOOL;
typedef std::uintptr_t DWORD_PTR;
typedef std::uintptr_t UINT_PTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* HANDLE;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HMODULE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr DWORD INFINITE = 0xFFFFFFFFu;
