#include "soundserver/SoundServerSupport.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>


namespace sorn::soundtest {

bool ServerIsPipeWire() {
    FILE* pipe = ::popen("pactl info 2>/dev/null", "r");
    if (pipe == nullptr) return false;
    bool pipewire = false;
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        if (std::strstr(line, "Server Name:") != nullptr && std::strstr(line, "PipeWire") != nullptr) {
            pipewire = true;
        }
    }
    ::pclose(pipe);
    return pipewire;
}

UINT DeviceWithKey(bool output, const std::string& key) {
    const UINT count = output ? waveOutGetNumDevs() : waveInGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        sorn::audio::DeviceDescription description{};
        if (sorn::audio::DescribeDevice(output, id, &description) == MMSYSERR_NOERROR && key == description.key)
            return id;
    }
    return WAVE_MAPPER;
}

WAVEFORMATEX Format(unsigned rate, WORD channels) {
    const WORD align = static_cast<WORD>(channels * 2);
    return WAVEFORMATEX{WAVE_FORMAT_PCM, channels, rate, rate * align, align, 16, 0};
}

std::chrono::microseconds ProcessCpuTime() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto micros = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

// ---- PrivateServer ----

namespace {

std::string Script() { return std::string(SORN_SOURCE_DIR) + "/scripts/sound-server.sh"; }

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool Gone(pid_t pid) {
    if (kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    stat >> pidText >> name >> state;
    return state == "Z";  // dead, waiting for a parent that may never reap it
}

// The processes of the server started in `dir` (scripts/sound-server.sh
// writes them to its "pids" file).
std::vector<pid_t> Pids(const std::string& dir) {
    std::ifstream file(dir + "/pids");
    std::vector<pid_t> pids;
    for (pid_t pid = 0; file >> pid;) {
        if (pid > 0) pids.push_back(pid);
    }
    return pids;
}

bool SignalAll(const std::string& dir, int signal) {
    const std::vector<pid_t> pids = Pids(dir);
    for (pid_t pid : pids) {
        if (kill(pid, signal) != 0) return false;
    }
    return !pids.empty();
}

}  // namespace

PrivateServer::~PrivateServer() {
    Resume();
    Stop();
}

std::string PrivateServer::SharedKind() { return ServerIsPipeWire() ? "pipewire" : "pulseaudio"; }

std::string PrivateServer::Pactl(const std::string& arguments) const {
    FILE* pipe = ::popen(("PULSE_SERVER=" + Address() + " pactl " + arguments + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return "";
    std::string out;
    char chunk[512];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
    ::pclose(pipe);
    return out;
}

bool PrivateServer::Start(const std::string& kind) {
    if (dir_.empty()) {
        char pattern[] = "/tmp/sorn-private-server.XXXXXX";
        if (mkdtemp(pattern) == nullptr) return false;
        dir_ = pattern;
    }
    if (!kind.empty()) kind_ = kind;
    if (kind_.empty()) kind_ = SharedKind();
    return Run(Script() + " start " + dir_ + " " + kind_);
}

bool PrivateServer::Stall() { return SignalAll(dir_, SIGSTOP); }

bool PrivateServer::Resume() { return !dir_.empty() && SignalAll(dir_, SIGCONT); }

bool PrivateServer::Kill() {
    const std::vector<pid_t> pids = Pids(dir_);
    if (pids.empty() || !SignalAll(dir_, SIGKILL)) return false;
    for (pid_t pid : pids) {
        if (!WaitFor([pid] { return Gone(pid); }, std::chrono::seconds(5))) return false;
    }
    // A dead daemon that nobody has reaped yet still counts as running for
    // the next one: its pid file goes, and so do the sockets a killed
    // PipeWire leaves behind (the next start waits for a new one).
    std::error_code ignored;
    for (const char* left : {"/runtime/pulse/pid", "/runtime/pipewire-0", "/runtime/pipewire-0.lock"}) {
        std::filesystem::remove(dir_ + left, ignored);
    }
    return true;
}

void PrivateServer::Stop() {
    if (dir_.empty()) return;
    Run(Script() + " stop " + dir_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
}

// ---- TonePlayer ----

TonePlayer::TonePlayer(double frequency, double amplitude, std::uint64_t totalFrames,
                       unsigned headerFrames, unsigned headerCount)
    : step_(2 * std::numbers::pi * frequency / kRate), amplitude_(amplitude), total_(totalFrames),
      headerFrames_(headerFrames), blocks_(headerCount, std::vector<std::int16_t>(headerFrames)),
      headers_(headerCount) {}

TonePlayer::~TonePlayer() { Close(); }

MMRESULT TonePlayer::Open(UINT device) {
    const WAVEFORMATEX format = Format();
    return waveOutOpen(&device_, device, &format, reinterpret_cast<DWORD_PTR>(&TonePlayer::Proc),
                       reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
}

bool TonePlayer::Fill(WAVEHDR* header) {
    std::lock_guard lock(mutex_);
    if (generated_ >= total_) return false;
    auto* samples = reinterpret_cast<std::int16_t*>(header->lpData);
    const std::uint64_t frames = std::min<std::uint64_t>(headerFrames_, total_ - generated_);
    for (std::uint64_t i = 0; i < frames; ++i) {
        samples[i] = static_cast<std::int16_t>(
            std::lround(amplitude_ * std::sin(step_ * static_cast<double>(generated_ + i))));
    }
    generated_ += frames;
    header->dwBufferLength = static_cast<DWORD>(frames * 2);
    ends_.push_back(generated_);
    ++queued_;
    return true;
}

MMRESULT TonePlayer::Play() {
    for (std::size_t i = 0; i < headers_.size(); ++i) {
        WAVEHDR& header = headers_[i];
        header = WAVEHDR{};
        header.lpData = reinterpret_cast<LPSTR>(blocks_[i].data());
        header.dwBufferLength = headerFrames_ * 2;
        header.dwUser = i;
        if (MMRESULT error = waveOutPrepareHeader(device_, &header, sizeof header)) return error;
        if (!Fill(&header)) break;
        if (MMRESULT error = waveOutWrite(device_, &header, sizeof header)) return error;
    }
    return MMSYSERR_NOERROR;
}

void TonePlayer::Proc(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    if (message == WOM_DONE) {
        reinterpret_cast<TonePlayer*>(instance)->Done(reinterpret_cast<WAVEHDR*>(param1));
    }
}

void TonePlayer::Done(WAVEHDR* header) {
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    waveOutGetPosition(device_, &time, sizeof time);
    {
        std::lock_guard lock(mutex_);
        const std::uint64_t end = returned_ < ends_.size() ? ends_[returned_] : 0;
        completions_.push_back({Clock::now(), end, time.u.sample});
        ++returned_;
    }
    if (stopping_) return;
    if (Fill(header)) waveOutWrite(device_, header, sizeof *header);
}

bool TonePlayer::WaitDone(std::chrono::milliseconds limit, std::chrono::milliseconds poll) {
    return WaitFor(
        [this] {
            std::lock_guard lock(mutex_);
            return generated_ >= total_ && returned_ == queued_;
        },
        limit, poll);
}

std::vector<TonePlayer::Completion> TonePlayer::Completions() {
    std::lock_guard lock(mutex_);
    return completions_;
}

void TonePlayer::Close() {
    if (device_ == nullptr) return;
    stopping_ = true;
    // A callback running during the first reset may queue its header again;
    // the second returns it.
    waveOutReset(device_);
    waveOutReset(device_);
    for (WAVEHDR& header : headers_) {
        if (header.dwFlags & WHDR_PREPARED) waveOutUnprepareHeader(device_, &header, sizeof header);
    }
    waveOutClose(device_);
    device_ = nullptr;
}

}  // namespace sorn::soundtest
