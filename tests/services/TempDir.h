#pragma once
// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ScratchDir.h"

class TempDir {
public:
    TempDir() {
        path_ = MakeScratchDir("sorn-services-");
        EXPECT_FALSE(path_.empty()) << "cannot make a temporary directory";
    }
    ~TempDir() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Writes a small file at the path below this directory, making the
    // directories on its way.
    void File(const std::string& name, const std::string& text = "x") const {
        const std::filesystem::path path = *this / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }

private:
    std::string path_;
};

inline bool Exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found;
}
