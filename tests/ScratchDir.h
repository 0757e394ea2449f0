#pragma once
// A new, empty directory of the test's own under the system's temporary
// directory (owner access only), with a name no other entry has: the
// directory is made in one step, so two tests never share one.
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

inline std::string MakeScratchDir(const std::string& prefix) {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) return {};
    std::random_device device;
    std::mt19937_64 pick(device() ^ static_cast<std::uint64_t>(
                                        std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path path = base / (prefix + std::to_string(pick() % 1000000000u));
        if (std::filesystem::create_directory(path, error)) {
            std::filesystem::permissions(path, std::filesystem::perms::owner_all, error);
            return path.string();
        }
        if (error) return {};
    }
    return {};
}
