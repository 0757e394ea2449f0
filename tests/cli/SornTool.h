#pragma once
// Running the sorn program from tests: its exit status, stdout and stderr,
// a background run to signal, and voice-like WAV files to give it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "codec/WavBytes.h"

namespace sorntool {

using wavtest::Bytes;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs sorn with args (shell words) and the given environment prefix.
inline Outcome Sorn(const std::string& args, const std::string& environment = "SORN_AUDIO=virtual") {
    static int serial = 0;
    const std::string base = "/tmp/sorn-tool-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    const std::string command =
        environment + " " + SORN_TOOL + " " + args + " </dev/null >" + base + ".out 2>" + base + ".err";
    const int raw = std::system(command.c_str());
    Outcome run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = Slurp(base + ".out");
    run.err = Slurp(base + ".err");
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return run;
}

inline int Lines(const std::string& text) {
    int lines = 0;
    for (const char c : text) lines += c == '\n';
    return lines;
}

// A voice-like mono 16 kHz clip: harmonics gliding 110..240 Hz in
// syllables for `seconds`, then `silence` seconds of silence.
inline std::vector<std::int16_t> Voice(double seconds, double silence) {
    const std::size_t voiced = static_cast<std::size_t>(seconds * 16000);
    std::vector<std::int16_t> s(voiced + static_cast<std::size_t>(silence * 16000), 0);
    double phase = 0;
    for (std::size_t i = 0; i < voiced; ++i) {
        phase += 2 * M_PI * (110.0 + 130.0 * double(i) / double(voiced)) / 16000;
        const double syllables = 0.15 + 0.85 * std::fabs(std::sin(M_PI * 3.0 * double(i) / 16000));
        const double envelope = std::min(1.0, double(std::min(i, voiced - i)) / 800.0) * syllables;
        double v = 0;
        for (int h = 1; h <= 5; ++h) v += std::sin(h * phase) / h;
        s[i] = static_cast<std::int16_t>(std::lround(6000.0 * envelope * v));
    }
    return s;
}

inline Bytes Wav(const std::vector<std::int16_t>& samples, std::uint16_t bits = 16) {
    Bytes data;
    for (const std::int16_t v : samples) {
        if (bits == 24) wavtest::Put(data, Bytes{0});
        wavtest::Put16(data, static_cast<std::uint16_t>(v));
    }
    const std::uint16_t align = bits / 8;
    Bytes fmt;
    wavtest::Put16(fmt, 1);
    wavtest::Put16(fmt, 1);
    wavtest::Put32(fmt, 16000);
    wavtest::Put32(fmt, 16000u * align);
    wavtest::Put16(fmt, align);
    wavtest::Put16(fmt, bits);
    Bytes b;
    wavtest::Put(b, "RIFF");
    wavtest::Put32(b, static_cast<std::uint32_t>(4 + 8 + fmt.size() + 8 + data.size()));
    wavtest::Put(b, "WAVE");
    wavtest::Put(b, wavtest::Chunk("fmt ", fmt));
    wavtest::Put(b, wavtest::Chunk("data", data));
    return b;
}

// Starts `command` (a shell line) in a process group of its own.
inline pid_t Start(const std::string& command) {
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

// The exit status of child once it ends within limit; -1 (and the child
// killed) when it does not.
inline int Wait(pid_t child, std::chrono::milliseconds limit) {
    int raw = 0;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (waitpid(child, &raw, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(child, SIGKILL);
            waitpid(child, &raw, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

}  // namespace sorntool
