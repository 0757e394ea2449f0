// The sorn program as a user runs it, on the virtual device: exit statuses,
// the one stderr line of each failure, pitch text equal to the tracker, and
// a recording that stops at the end of speech or keeps its take on Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/SornTool.h"
#include "codec/WavBytes.h"
#include "pitch/ExtractPitch.h"

namespace {

using namespace sorntool;
using wavtest::Bytes;

TEST(SornTool, ConventionsHelpVersionUsageAndBackend) {
    wavtest::TempFolder folder;
    Outcome help = Sorn("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("record"), std::string::npos);
    EXPECT_EQ(help.err, "");
    for (const char* command : {"info", "play", "record", "pitch", "volume", "devices", "demo"}) {
        Outcome sub = Sorn(std::string(command) + " --help");
        EXPECT_EQ(sub.status, 0) << command;
        EXPECT_NE(sub.out.find("--backend"), std::string::npos) << command;
    }
    // record --help records nothing, into no file named --help.
    const std::string here = folder.Path("");
    EXPECT_EQ(Sorn("record --help", "cd " + here + " && SORN_AUDIO=virtual").status, 0);
    EXPECT_FALSE(std::ifstream(folder.Path("--help")).good());
    Outcome version = Sorn("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("sorn ", 0), 0u) << version.out;

    for (const char* bad : {"", "bogus", "play", "pitch x.wav --format xml", "pitch x.wav --level -3",
                            "record x.wav --max-seconds 0", "record x.wav --max-seconds ten", "record x.wav --rate 5",
                            "record x.wav --channels 3", "volume sideways", "volume output 1.5",
                            "devices --backend nonsense", "play x.wav --backend oss"}) {
        Outcome run = Sorn(bad);
        EXPECT_EQ(run.status, 2) << bad;
        EXPECT_EQ(Lines(run.err), 1) << bad << ": " << run.err;
        EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << bad;
    }
    // SORN_AUDIO naming no backend is a usage error too; --backend wins over it.
    EXPECT_EQ(Sorn("devices", "SORN_AUDIO=nonsense").status, 2);
    Outcome chosen = Sorn("devices --backend virtual", "SORN_AUDIO=nonsense");
    EXPECT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(chosen.err, "sorn: audio backend: virtual (asked for by --backend)\n");
    EXPECT_NE(chosen.out.find("mixer 0:"), std::string::npos) << chosen.out;
    EXPECT_NE(chosen.out.find("control: Volume"), std::string::npos) << chosen.out;
    EXPECT_EQ(Sorn("devices --json").out.rfind("{\"backend\":\"virtual\"", 0), 0u);
}

TEST(SornTool, FilesUnreadableRefusedAndNot16BitFailWithOneLine) {
    wavtest::TempFolder folder;
    const std::string good = folder.Write("voice.wav", Wav(Voice(1.0, 0.2)));
    const std::string deep = folder.Write("deep.wav", Wav(Voice(1.0, 0.2), 24));
    const std::string junk = folder.Write("junk.wav", Bytes{'n', 'o', 't', ' ', 'w', 'a', 'v'});
    const std::string locked = folder.Write("locked.wav", Wav(Voice(0.2, 0)));
    chmod(locked.c_str(), 0);
    const bool root = access(locked.c_str(), R_OK) == 0;
    for (const char* command : {"info", "play", "pitch"}) {
        std::vector<std::string> files{folder.Path("missing.wav"), junk};
        if (std::string(command) != "info") files.push_back(deep);  // info describes it (below)
        if (!root) files.push_back(locked);
        for (const std::string& file : files) {
            Outcome run = Sorn(std::string(command) + " " + file);
            EXPECT_EQ(run.status, 1) << command << " " << file;
            EXPECT_EQ(Lines(run.err), 1) << command << " " << file << ": " << run.err;
            EXPECT_EQ(run.err.rfind(std::string("sorn: ") + command + ": ", 0), 0u) << run.err;
            EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
        }
        EXPECT_NE(Sorn(std::string(command) + " " + deep).err.find("sox "), std::string::npos) << command;
    }
    EXPECT_NE(Sorn("play " + folder.Path("missing.wav")).err.find("No such file"), std::string::npos);
    // Ranges are checked before a device opens.
    for (const char* range : {"--from 2 --to 1", "--to 999999", "--from 1x", "--from 5s"}) {
        Outcome run = Sorn("play " + good + " " + range);
        EXPECT_EQ(run.status, 2) << range;
        EXPECT_EQ(run.err.find("audio backend"), std::string::npos) << range << ": " << run.err;
    }
    Outcome info = Sorn("info " + good + " --json");
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("\"frames\":19200"), std::string::npos) << info.out;
    // info describes what play and pitch refuse, with status 0 (as soxi);
    // stderr notes why they refuse it.
    for (const char* json : {"", " --json"}) {
        Outcome described = Sorn("info " + deep + json);
        EXPECT_EQ(described.status, 0) << described.err;
        EXPECT_NE(described.out.find("24-bit PCM"), std::string::npos) << described.out;
        EXPECT_EQ(Lines(described.err), 1) << described.err;
        EXPECT_EQ(described.err.rfind("sorn: info: note: ", 0), 0u) << described.err;
        EXPECT_NE(described.err.find("sox "), std::string::npos) << described.err;
    }
    Outcome played = Sorn("play " + good + " --from 0.25s --to 8000");
    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_NE(played.out.find("played 4000 frames"), std::string::npos) << played.out;
}

TEST(SornTool, PitchTextEqualsTheTracker) {
    wavtest::TempFolder folder;
    const std::vector<std::int16_t> voice = Voice(3.0, 0.5);
    const std::string path = folder.Write("voice.wav", Wav(voice));
    const std::int32_t slots = static_cast<std::int32_t>(std::ceil((voice.size() - 1024) / 160.0));
    std::vector<float> samples(voice.begin(), voice.end());
    std::vector<std::int16_t> direct(static_cast<std::size_t>(slots));
    ExtractPitch(samples.data(), static_cast<std::int32_t>(samples.size()), 16000, 200.0f, direct.data(), slots);
    std::string expected;
    for (const std::int16_t p : direct) expected += std::to_string(p) + "\n";
    Outcome run = Sorn("pitch " + path + " --plot " + folder.Path("plot.svg"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(Sorn("pitch " + path + " --channel 1").out, expected);
    EXPECT_EQ(Sorn("pitch " + path + " --channel 0").status, 2);
    Outcome noSuchChannel = Sorn("pitch " + path + " --channel 2");
    EXPECT_EQ(noSuchChannel.status, 2);
    EXPECT_NE(noSuchChannel.err.find("has 1 channel(s)"), std::string::npos) << noSuchChannel.err;
    EXPECT_NE(Slurp(folder.Path("plot.svg")).find("<svg"), std::string::npos);
}

// demo writes into the folder it is given, named as the README says; its
// default folder is one git ignores.
TEST(SornTool, DemoWritesIntoTheFolderItNames) {
    wavtest::TempFolder folder;
    const std::string target = folder.Path("demo out");
    Outcome run = Sorn("demo '" + target + "' --backend virtual");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("into " + target), std::string::npos) << run.out;
    for (const char* file : {"take.wav", "pitch.csv", "pitch.svg"})
        EXPECT_TRUE(std::ifstream(target + "/" + file).good()) << file;
    EXPECT_EQ(Sorn("demo a --folder b").status, 2);
    const std::string ignored = "git -C " SORN_SOURCE_DIR " check-ignore -q sorn-demo-20261209-060000/";
    if (std::system("git -C " SORN_SOURCE_DIR " rev-parse 2>/dev/null >&2") == 0) {
        EXPECT_EQ(std::system(ignored.c_str()), 0) << "the default folder is left untracked in the work tree";
    }
}

// The README's commands name only files that an earlier line of the same
// block makes, so they work in a fresh clone.
TEST(SornTool, ReadmeCommandsNameNoFileAFreshCloneLacks) {
    std::istringstream readme(Slurp(SORN_SOURCE_DIR "/README.md"));
    std::string line;
    while (std::getline(readme, line) && line != "## The sorn host") {
    }
    while (std::getline(readme, line) && line != "```sh") {
    }
    std::vector<std::string> made;
    int checked = 0;
    while (std::getline(readme, line) && line != "```") {
        std::istringstream words(line.substr(0, line.find('#')));
        std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
        if (w.size() >= 3 && w[0].find("tools/sorn") != std::string::npos && w[2].ends_with(".wav")) {
            if (w[1] == "record") {
                made.push_back(w[2]);
                continue;
            }
            ++checked;
            EXPECT_NE(std::find(made.begin(), made.end(), w[2]), made.end()) << line;
        } else {
            for (const std::string& word : w)
                if (word.ends_with(".wav")) made.push_back(word);
        }
    }
    EXPECT_GE(checked, 3);
}

TEST(SornTool, RecordStopsAtTheEndOfSpeechAndKeepsTheTakeOnCtrlC) {
    wavtest::TempFolder folder;
    const std::string speech = folder.Write("speech.wav", Wav(Voice(2.0, 3.0)));
    Outcome unwritable = Sorn("record " + folder.Path("no/such/take.wav"));
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.err.find("audio backend"), std::string::npos) << "checked before the device opens";
    EXPECT_NE(unwritable.err.find("No such file or directory"), std::string::npos) << unwritable.err;

    const std::string take = folder.Path("take.wav");
    Outcome stopped = Sorn("record " + take + " --max-seconds 20 --backend virtual:clock=realtime,in=" + speech);
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_NE(stopped.out.find("stopped at the end of speech"), std::string::npos) << stopped.out;
    EXPECT_GT(Slurp(take).size(), 16000u * 2);

    // Ctrl-C while recording without auto-stop: the take is kept.
    const std::string kept = folder.Path("kept.wav");
    const std::string command = "SORN_AUDIO=virtual:clock=realtime,in=" + speech + " exec " + SORN_TOOL + " record " +
                                kept + " --no-auto-stop --max-seconds 30 >" + folder.Path("out") + " 2>/dev/null";
    const pid_t child = Start(command);
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(child, SIGINT);
    EXPECT_EQ(Wait(child, std::chrono::seconds(10)), 0) << "sorn record ends on SIGINT with status 0";
    EXPECT_NE(Slurp(folder.Path("out")).find("stopped by Ctrl-C"), std::string::npos) << Slurp(folder.Path("out"));
    EXPECT_GT(Slurp(kept).size(), 44u + 16000u);
}

// The take's file is written as it is recorded: its header always describes
// what the file holds, so a file-size limit (as a full disk) and a kill
// keep everything recorded before them.
TEST(SornTool, RecordWritesTheTakeAsItGoes) {
    wavtest::TempFolder folder;
    const std::string speech = folder.Write("speech.wav", Wav(Voice(4.0, 0.0)));
    const auto le32 = [](const std::string& bytes, std::size_t at) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
        return std::size_t{value};
    };
    const auto wholeWav = [&](const std::string& bytes) {
        return bytes.size() > 44u && bytes.compare(0, 4, "RIFF") == 0 && le32(bytes, 4) + 8u == bytes.size() &&
               le32(bytes, 40) + 44u == bytes.size() && (bytes.size() - 44u) % 2 == 0;
    };
    const std::string source = "SORN_AUDIO=virtual:clock=realtime,in=" + speech;

    // A file-size limit of some 20 to 40 KiB: about a second of 16 kHz mono.
    const std::string limited = folder.Path("limited.wav");
    Outcome full = Sorn("record " + limited + " --no-auto-stop --max-seconds 5", "ulimit -f 40; " + source);
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(Lines(full.err), 2) << full.err;  // the backend line and the failure
    EXPECT_NE(full.err.find("sorn: record: " + limited + ": File too large; the first "), std::string::npos)
        << full.err;
    EXPECT_NE(full.err.find(" s are saved\n"), std::string::npos) << full.err;
    EXPECT_TRUE(wholeWav(Slurp(limited)));

    const std::string killed = folder.Path("killed.wav");
    const pid_t child =
        Start(source + " exec " + SORN_TOOL + " record " + killed + " --no-auto-stop --max-seconds 30 >/dev/null 2>&1");
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    kill(child, SIGKILL);
    Wait(child, std::chrono::seconds(10));
    const std::string bytes = Slurp(killed);
    EXPECT_TRUE(wholeWav(bytes));
    EXPECT_GT(bytes.size(), 44u + 2 * 4000u) << "what came before the kill is kept";

    // Unchanging input is trimmed from the start, and the line says so.
    Outcome silent = Sorn("record " + folder.Path("silent.wav") + " --no-auto-stop --max-seconds 0.5",
                          "SORN_AUDIO=virtual:clock=realtime,in=silence");
    EXPECT_EQ(silent.status, 0) << silent.err;
    EXPECT_NE(silent.out.find("did not change and were dropped; no speech was heard"), std::string::npos) << silent.out;
}

// A corpus: several files or a folder, every contour equal to the single
// file's, written beside each file or into --out; a bad file is named, the
// rest go on, and the status says one failed.
TEST(SornTool, PitchOfACorpusWritesEveryContourAndNamesTheFailures) {
    wavtest::TempFolder folder;
    const std::string a = folder.Write("a.wav", Wav(Voice(1.5, 0.3)));
    folder.Write("b.wav", Wav(Voice(2.0, 0.1)));
    folder.Write("bad.wav", Bytes{'R', 'I', 'F', 'F'});
    Outcome corpus = Sorn("pitch " + folder.Path("") + " --out " + folder.Path("out"));
    EXPECT_EQ(corpus.status, 1);
    EXPECT_NE(corpus.err.find("sorn: pitch: " + folder.Path("bad.wav") + ": "), std::string::npos) << corpus.err;
    EXPECT_NE(corpus.out.find("tracked 2 of 3 files"), std::string::npos) << corpus.out;
    EXPECT_EQ(Slurp(folder.Path("out/a.pitch.txt")), Sorn("pitch " + a).out);
    EXPECT_FALSE(Slurp(folder.Path("out/b.pitch.txt")).empty());

    Outcome beside = Sorn("pitch " + a + " " + folder.Path("b.wav") + " --format csv");
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_EQ(Slurp(folder.Path("a.pitch.csv")), Sorn("pitch " + a + " --format csv").out);
}

}  // namespace

// --device names a device by its number, its whole name or a part of it in
// any case; a number past the last device, a name that fits none or several,
// or an empty one is a usage error whose one line lists the devices, and
// nothing opens. devices --json gives every device's fields.
TEST(SornTool, DeviceByNumberNameOrPartAndBadOnesListTheDevices) {
    wavtest::TempFolder folder;
    const std::string clip = folder.Write("clip.wav", Wav(Voice(0.3, 0.0)));
    for (const char* device : {"0", "'Sorn virtual output'", "OUTPUT"}) {
        const Outcome run = Sorn("play " + clip + " --device " + device);
        EXPECT_EQ(run.status, 0) << device << ": " << run.err;
        EXPECT_NE(run.out.find("played "), std::string::npos) << device;
    }
    for (const char* device : {"0", "'Sorn virtual input'", "Input"}) {
        const std::string take = folder.Path("take.wav");
        const Outcome run = Sorn("record " + take + " --max-seconds 0.3 --no-auto-stop --device " + device,
                                 "SORN_AUDIO=virtual:in=" + clip);
        EXPECT_EQ(run.status, 0) << device << ": " << run.err;
        EXPECT_GT(Slurp(take).size(), 44u) << device;
        std::remove(take.c_str());
    }
    struct Bad {
        std::string args;
        std::string listed;
    };
    const std::string output = "0 \"Sorn virtual output\"", input = "0 \"Sorn virtual input\"";
    for (const Bad& bad : {Bad{"play " + clip + " --device 1", output}, Bad{"play " + clip + " --device input", output},
                           Bad{"play " + clip + " --device 99999999999999999999", output},
                           Bad{"record " + folder.Path("no.wav") + " --device 2", input},
                           Bad{"record " + folder.Path("no.wav") + " --device speakers", input},
                           Bad{"volume --device 3", "output " + output + ", input " + input},
                           Bad{"volume --device virtual", "output " + output + ", input " + input},
                           Bad{"volume in --device output", input}, Bad{"play " + clip + " --device ''", ""}}) {
        const Outcome run = Sorn(bad.args);
        EXPECT_EQ(run.status, 2) << bad.args;
        EXPECT_EQ(Lines(run.err), 1) << bad.args << ": " << run.err;
        EXPECT_NE(run.err.find(bad.listed), std::string::npos) << bad.args << ": " << run.err;
        EXPECT_EQ(run.out, "") << bad.args;
    }
    EXPECT_FALSE(std::ifstream(folder.Path("no.wav")).good());

    const Outcome volume = Sorn("volume --device output out 0.5");
    EXPECT_EQ(volume.status, 0) << volume.err;
    EXPECT_EQ(volume.out, "playback volume of output 0 \"Sorn virtual output\": 0.500\n");
    const Outcome both = Sorn("volume --device 0");
    EXPECT_EQ(both.out,
              "recording volume of input 0 \"Sorn virtual input\": 1.000\n"
              "playback volume of output 0 \"Sorn virtual output\": 1.000\n");

    const Outcome json = Sorn("devices --json");
    EXPECT_EQ(json.status, 0) << json.err;
    for (const char* device : {"{\"id\":0,\"name\":\"Sorn virtual output\",\"channels\":2,\"rate\":",
                               "{\"id\":0,\"name\":\"Sorn virtual input\",\"channels\":2,\"rate\":"}) {
        const std::size_t at = json.out.find(device);
        ASSERT_NE(at, std::string::npos) << device << " in " << json.out;
        const std::string fields = json.out.substr(at, json.out.find('}', at) - at);
        EXPECT_NE(fields.find(",\"monitor\":false,\"default\":"), std::string::npos) << fields;
        EXPECT_NE(fields.find(",\"key\":"), std::string::npos) << fields;
    }
}
