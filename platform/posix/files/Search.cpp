// Directory search and file attributes over opendir/readdir and stat.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "platform/posix/files/FileHelpers.h"
#include "threading/Mutex.h"

namespace {

using sorn::files::NativePath;

// One started search: the open directory, read one entry at a time. The
// directory's own and parent entries are reported first, from the stat of
// the directory itself; the listing's own dot entries are passed over.
struct Search {
    Search(DIR* opened, std::string pattern) : dir(opened), match(std::move(pattern)) {}
    ~Search() { ::closedir(dir); }
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;

    DIR* dir;
    std::string match;
    std::vector<WIN32_FIND_DATAA> dots;  // "." then "..", when they match
    std::size_t nextDot = 0;
};

// Live searches; a handle is used only while it is listed here.
sorn::Mutex searchesMutex;
std::unordered_set<Search*> searches SORN_GUARDED_BY(searchesMutex);

bool IsDotEntry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

FILETIME ToFileTime(const struct timespec& time) {
    constexpr long long secondsFrom1601To1970 = 11644473600LL;
    long long ticks = 0;
    if (time.tv_sec >= -secondsFrom1601To1970) {
        ticks = (static_cast<long long>(time.tv_sec) + secondsFrom1601To1970) * 10000000LL + time.tv_nsec / 100;
    }
    const auto value = static_cast<unsigned long long>(ticks);
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

// The attributes of one entry: `name` is its last path component, `info`
// what its attributes describe, `isLink` whether the entry is a link.
DWORD Attributes(const std::string& name, const struct stat& info, bool isLink) {
    DWORD attributes = 0;
    if (S_ISDIR(info.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (isLink) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (!(info.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
    if (!name.empty() && name[0] == '.' && name != "." && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

WIN32_FIND_DATAA MakeEntry(const char* name, const struct stat& info) {
    WIN32_FIND_DATAA data{};
    data.dwFileAttributes = Attributes(name, info, S_ISLNK(info.st_mode));
    data.ftCreationTime = ToFileTime(info.st_ctim);
    data.ftLastAccessTime = ToFileTime(info.st_atim);
    data.ftLastWriteTime = ToFileTime(info.st_mtim);
    if (!S_ISDIR(info.st_mode)) {
        const auto size = static_cast<unsigned long long>(info.st_size);
        data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    }
    // Linux names are at most 255 bytes; the copy is bounded all the same.
    std::strncpy(data.cFileName, name, sizeof data.cFileName - 1);
    return data;
}

// The platform's wildcards as an fnmatch pattern: [ stands for itself, and
// "*.*" means every name.
std::string MatchPattern(const std::string& component) {
    if (component == "*.*") return "*";
    std::string pattern;
    for (char c : component) {
        if (c == '[') {
            pattern += "[[]";
        } else {
            pattern += c;
        }
    }
    return pattern;
}

Search* Find(HANDLE handle) SORN_REQUIRES(searchesMutex) {
    auto* search = static_cast<Search*>(handle);
    return searches.count(search) ? search : nullptr;
}

// The next match of the search into data; false once there is none. An entry
// that is gone by the time it is read is passed over.
bool Next(Search& search, WIN32_FIND_DATAA& data) {
    if (search.nextDot < search.dots.size()) {
        data = search.dots[search.nextDot++];
        return true;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(search.dir);
        if (!entry) {
            if (errno == 0) errno = ENOENT;
            return false;
        }
        if (IsDotEntry(entry->d_name) || ::fnmatch(search.match.c_str(), entry->d_name, 0) != 0) continue;
        struct stat info {};
        if (::fstatat(::dirfd(search.dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        data = MakeEntry(entry->d_name, info);
        return true;
    }
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
    if (!pattern || !data) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    const std::string native = NativePath(pattern);
    const auto slash = native.rfind('/');
    std::string directory = ".";
    std::string component = native;
    if (slash != std::string::npos) {
        directory = slash == 0 ? "/" : native.substr(0, slash);
        component = native.substr(slash + 1);
    }
    if (component.empty()) {
        errno = ENOENT;
        return INVALID_HANDLE_VALUE;
    }
    const std::string match = MatchPattern(component);

    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return INVALID_HANDLE_VALUE;
    auto search = std::make_unique<Search>(dir, match);
    for (const char* dot : {".", ".."}) {
        struct stat info {};
        if (::fnmatch(match.c_str(), dot, 0) == 0 && ::fstatat(::dirfd(dir), dot, &info, 0) == 0) {
            search->dots.push_back(MakeEntry(dot, info));
        }
    }
    if (!Next(*search, *data)) {
        errno = ENOENT;
        return INVALID_HANDLE_VALUE;
    }
    sorn::MutexLock lock(searchesMutex);
    searches.insert(search.get());
    return search.release();
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA* data) {
    sorn::MutexLock lock(searchesMutex);
    Search* search = Find(handle);
    if (!search || !data) {
        errno = EBADF;
        return FALSE;
    }
    return Next(*search, *data) ? TRUE : FALSE;
}

BOOL FindClose(HANDLE handle) {
    std::unique_ptr<Search> search;
    {
        sorn::MutexLock lock(searchesMutex);
        search.reset(Find(handle));
        if (!search) {
            errno = EBADF;
            return FALSE;
        }
        searches.erase(search.get());
    }
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path) {
    if (!path) return INVALID_FILE_ATTRIBUTES;
    const std::string native = NativePath(path);
    struct stat entry {};
    if (::lstat(native.c_str(), &entry) != 0) return INVALID_FILE_ATTRIBUTES;
    const bool isLink = S_ISLNK(entry.st_mode);
    struct stat target {};
    if (isLink && ::stat(native.c_str(), &target) == 0) entry = target;  // a dangling link describes itself

    std::string name = native;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    const auto slash = name.rfind('/');
    if (slash != std::string::npos && name.size() > 1) name = name.substr(slash + 1);
    return Attributes(name, entry, isLink);
}
