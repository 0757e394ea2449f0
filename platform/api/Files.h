#pragma once
// Files and directories with the platform's file services, on Linux.
//
// Paths:
// - Callers build paths with backslashes ("dir\*", "dir\name"). Every path
//   given to these operations has each backslash read as a forward slash, so
//   both separators mean the same. A Linux file name that holds a backslash
//   therefore cannot be named through these operations.
// - Names are bytes in the process's locale, as the file system keeps them.
//   Matching is case-sensitive, as Linux file systems are.
//
// Results follow the platform: BOOL operations give TRUE or FALSE; errno
// says why an operation failed. A null path fails like a missing one.
// Every operation is safe to call from any thread.
#include "platform/WinTypes.h"

constexpr DWORD MAX_PATH = 260;  // the platform's path buffer, terminator included

#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#endif

// Attribute bits. On Linux:
// - DIRECTORY: a directory (for GetFileAttributesA, also a symbolic link to one);
// - REPARSE_POINT: a symbolic link;
// - READONLY: the owner may not write;
// - HIDDEN: a name that begins with a dot (but not "." and "..");
// - NORMAL: none of the above.
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001u;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002u;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010u;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x00000400u;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

// A time as 100-nanosecond intervals since 1601-01-01 UTC.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// One entry that a directory search reports.
struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;  // Linux keeps none: the last status change
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    char cFileName[MAX_PATH];  // the bare name, no directory part
    char cAlternateFileName[14];  // always empty: Linux has no short names
};

// Accepted and ignored: new directories get mode 0777 less the umask.
struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

// Directory search. The pattern is a directory part and a last component;
// the last component may hold the wildcards * (any run of characters, a
// leading dot included) and ? (one character); every other character,
// [ included, stands for itself. "*.*" means "*", as on the platform.
// The directory part is used as it stands (no part: the current directory).
//
// The entries of the directory that match are reported one by one; the
// directory's own entry "." and its parent entry ".." come first, when the
// pattern matches them, and the rest follow in the file system's order.
// Each entry's attributes describe the entry itself (a symbolic link is
// reported as a link, not as its target). The directory is read as the
// search goes, one entry per answer, so the first answer costs the same in
// a directory of any size. A caller may delete the entries it has been
// given while it walks; an entry deleted before the walk reaches it is not
// reported, and whether an entry made during the walk is seen is left open.
// Searches are answered one at a time in the process.
//
// FindFirstFileA fills the first match and returns the search handle; it
// returns INVALID_HANDLE_VALUE when the directory cannot be read or nothing
// matches. FindNextFileA fills the next match, FALSE once there is none.
// FindClose ends the search. A null, closed or unknown handle gives FALSE.
SORN_WIN_API HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data);
SORN_WIN_API BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* data);
SORN_WIN_API BOOL FindClose(HANDLE search);

// The attributes of a path. A symbolic link is followed to tell whether it
// leads to a directory; a link that leads nowhere still exists (REPARSE_POINT).
// INVALID_FILE_ATTRIBUTES when the path does not exist or cannot be read.
SORN_WIN_API DWORD GetFileAttributesA(LPCSTR path);

// Makes one directory; its parent must exist and the path must not.
SORN_WIN_API BOOL CreateDirectoryA(LPCSTR path, SECURITY_ATTRIBUTES* security);
// Removes one empty directory (not a symbolic link to one).
SORN_WIN_API BOOL RemoveDirectoryA(LPCSTR path);
// Deletes a file, or a symbolic link itself (its target is not touched);
// never a directory.
SORN_WIN_API BOOL DeleteFileA(LPCSTR path);

// The full path of a loaded module's file (platform/Modules.h), or of the
// executable for a null module (/proc/self/exe). A module's path is the one
// the dynamic loader opened it by, made absolute when it was relative.
// Writes at most size characters, terminator included, and returns the
// length written without it; a path that does not fit is cut to size - 1
// characters and size is returned. 0 on failure (size 0, unknown module).
SORN_WIN_API DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);

// The current directory. Returns its length when it fits in size characters
// with the terminator; otherwise writes nothing and returns the size needed,
// terminator included. 0 on failure.
SORN_WIN_API DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);

// The directory for temporary files: the environment variable TMPDIR when it
// is set and not empty, otherwise /tmp; always with a trailing separator
// ("/tmp/"). The directory is not checked. Same size rule as
// GetCurrentDirectoryA.
SORN_WIN_API DWORD GetTempPathA(DWORD size, LPSTR buffer);

// The temporary-name service (the C library's tempnam, without its race-prone
// pick): a path made of a directory, a separator, the prefix and a decimal
// number, naming no file, link or directory at the moment of the call. No
// file is created, so another process may still take the name later.
// The directory is the first of these that names a directory the process may
// write to and search: the environment variable TMP, the given directory,
// GetTempPathA's directory, the current directory.
// Returns a string allocated with malloc (release it with free), or null
// when no free name was found.
SORN_WIN_API char* TempNameA(LPCSTR directory, LPCSTR prefix);
