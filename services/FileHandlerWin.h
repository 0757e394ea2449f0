#pragma once
// FileHandlerWin: the file-system services the core asks for, each a thin,
// synchronous use of the platform's file operations (platform/Files.h).
// No state; any thread may call it. Paths may use either separator.
// The module neither creates nor installs one: hosts do.
#include "core_contract/Handlers.h"
#include "sorn_win_export.h"

namespace SornData {

class SORN_WIN_API FileHandlerWin : public IFileHandler {
public:
    FileHandlerWin();
    FileHandlerWin(const FileHandlerWin& other);
    FileHandlerWin& operator=(const FileHandlerWin& other);
    ~FileHandlerWin() override;

    // The bare name of the first entry that the pattern (wildcards in its
    // last component) matches, in the search's order: a directory's own
    // entry "." and its parent ".." come first when they match. When nothing
    // matches, or the search cannot start, SornStringA(0).
    SornStringA FindFile(const SornStringA& pattern) override;

    // The executable's path with backslashes made forward slashes, cut at
    // the FIRST slash: everything before it ("C:" for C:\Apps\run.exe). A
    // Linux path begins with its slash, so this is empty there. Empty also
    // when the path cannot be read or does not fit 260 characters.
    SornStringA ExeDirectory() override;

    // The directory of a loaded module's file, with forward slashes and the
    // trailing slash; a null module is this module (the library holding this
    // code, not the executable). Empty when the path cannot be read or does
    // not fit 260 characters.
    SornStringA ModuleDirectory(void* module) override;

    // The temporary directory and the current directory, as the platform
    // gives them (the temporary one with its trailing separator); empty when
    // unavailable or longer than 259 characters.
    SornStringA TempDirectory() override;
    SornStringA CurrentDirectory() override;

    // 1 when the path is a directory (or a link to one); 0 when it is not or
    // does not exist.
    int IsDirectory(const SornStringA& path) override;
    // Makes one directory; 0 when it exists or its parent is missing.
    int MakeDirectory(const SornStringA& path) override;

    // One level deep: hands every entry directly inside the directory,
    // except its own and parent entries, to this handler's DelFile (plain
    // files and links are deleted; a link is deleted as a link and what it
    // leads to is never touched; subdirectories stay), then removes the
    // directory. 1 when the directory is gone, else 0 (also when it does not
    // exist). Files are deleted even when the directory then stays.
    // Entries whose names hold a backslash cannot be named through the
    // platform's paths and are left alone.
    int DeleteDirectory(const SornStringA& path) override;

    // Deletes one file or link (never a directory); 1 on success.
    int DelFile(const SornStringA& path) override;

    // A name for a temporary file: a directory (TMP when that names a usable
    // directory, otherwise the temporary directory), then "srn" and decimal
    // digits. No file of that name exists at the call, and none is made.
    // 1 and the name in `name`; 0 with `name` unchanged when no name is found.
    int TempFileName(SornStringA& name) override;
};

}  // namespace SornData
