// sorn: the command-line host. It describes WAV files, plays, records,
// tracks pitch, reads and sets volumes, lists the devices and the mixer tree,
// and runs a demo of all of them. This file reads the arguments and loads the
// module; each command is a file of commands/, what they share is in Host.h
// (the module, failures, the backend), Terminal.h, Playback.h and
// Recording.h.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "core_contract/SornDataSys.h"
#include "tools/sorn/Commands.h"
#include "tools/sorn/Host.h"

using namespace sorn::tool;

namespace {

std::string VersionText() { return std::string("sorn ") + Versioning::GetVersion() + " (the Sorn speech-audio host)"; }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "sorn: play, record, describe and analyse speech audio with the Sorn libraries.\n"
        "The module comes from SORN_MODULE (default: the installed SornCoreWin library); the audio\n"
        "backend from --backend or SORN_AUDIO: auto (the sound server when one answers, else ALSA\n"
        "when there is a sound card, else the virtual device), pulse[:server=ADDRESS], alsa[:DEVICE]\n"
        "or virtual[:OPTIONS]. Exit status: 0 success, 1 failure, 2 usage error.",
        "sorn"};
    app.set_version_flag("--version", VersionText());
    app.require_subcommand(1, 1);
    app.fallthrough(false);

    std::string backend;
    const auto addDevice = [](CLI::App* sub, std::string& device, const char* kind) {
        sub->add_option("--device", device,
                        std::string("the ") + kind +
                            " device: its number or name (or part of one) as sorn devices lists it; default: the "
                            "system's default")
            ->type_name("N|NAME");
    };
    const auto addBackend = [&](CLI::App* sub) {
        sub->add_option("--backend", backend, "audio backend: auto, pulse[:server=ADDRESS], alsa[:DEVICE], virtual[:OPTIONS]")
            ->type_name("NAME");
    };

    std::string infoFile;
    bool infoJson = false;
    CLI::App* info = app.add_subcommand("info", "describe a WAV file as the codec reads it");
    info->add_option("FILE.wav", infoFile, "the file")->required();
    info->add_flag("--json", infoJson, "one JSON object");
    addBackend(info);

    PlayOptions play;
    CLI::App* playCommand = app.add_subcommand("play", "play a WAV file (16-bit PCM), or a range of it");
    playCommand->add_option("FILE.wav", play.file, "the file")->required();
    playCommand->add_option("--from", play.from, "start: frames, or seconds with an s suffix (1.5s)")->type_name("T");
    playCommand->add_option("--to", play.to, "end (excluded): frames, or seconds with an s suffix")->type_name("T");
    addDevice(playCommand, play.device, "output");
    playCommand->footer("On a terminal a progress line shows the position; the space bar pauses and resumes.");
    addBackend(playCommand);

    RecordOptions record;
    CLI::App* recordCommand = app.add_subcommand("record", "record into a WAV file until the end of speech");
    recordCommand->add_option("OUT.wav", record.file, "the file to write")->required();
    recordCommand->add_option("--max-seconds", record.maxSeconds, "stop after S seconds at most (default 30)")
        ->type_name("S");
    recordCommand->add_flag("--no-auto-stop", record.noAutoStop, "do not stop at the end of speech");
    recordCommand->add_option("--rate", record.rate, "sample rate in Hz (default 16000)")->type_name("R");
    recordCommand->add_option("--channels", record.channels, "1 or 2 (default 1)")->type_name("C");
    addDevice(recordCommand, record.device, "input");
    recordCommand->footer(
        "Ctrl-C stops and keeps the take. On a terminal a live line shows the level, the\n"
        "detector's state and the elapsed time.");
    addBackend(recordCommand);

    PitchOptions pitch;
    CLI::App* pitchCommand = app.add_subcommand("pitch", "the pitch contour of a WAV file, one value per 10 ms");
    pitchCommand->add_option("FILE.wav", pitch.files, "the file (16-bit PCM); several files or folders: a corpus")
        ->required();
    pitchCommand
        ->add_option("--out", pitch.out, "write a corpus's contours into this folder (default: beside each file)")
        ->type_name("DIR");
    pitchCommand->add_option("--level", pitch.level, "the tracker's level (default 200)")->type_name("L");
    pitchCommand->add_option("--format", pitch.format, "text (one integer in Hz per line, 0 unvoiced), csv or json")
        ->type_name("text|csv|json");
    pitchCommand->add_option("--plot", pitch.plot, "also draw the voiced values as an SVG plot")->type_name("OUT.svg");
    pitchCommand->add_option("--channel", pitch.channel, "track channel N only (from 1; default: the channels' mean)")
        ->type_name("N");
    pitchCommand->footer(
        "One value per window the tracker analyses: max(0, ceil((frames - 1024) / (rate / 100))).\n"
        "csv and json give each value's time: the centre of its 512-sample analysis window.\n"
        "A file of several channels is tracked as their mean, rounded to 16-bit integers.\n"
        "Rates above 16 kHz are resampled to 16 kHz first and rounded to 16-bit integers\n"
        "(stderr says so).\n"
        "Several files, a folder (its .wav files at any depth) or --out make a corpus: every\n"
        "core tracks, each contour goes to NAME.pitch.txt (csv, json) beside its file or in\n"
        "--out, a file that fails is named and the rest go on (status 1), and one line sums up.");
    addBackend(pitchCommand);

    std::string volumeWhich, volumeLevel, volumeDevice;
    CLI::App* volume = app.add_subcommand("volume", "read or set the recording or playback volume (0.0 to 1.0)");
    volume->add_option("WHICH", volumeWhich, "input or output (in, out); both when left out");
    volume->add_option("LEVEL", volumeLevel, "the new level, 0.0 to 1.0");
    volume
        ->add_option("--device", volumeDevice,
                     "that device's own volume: its number or name (or part of one) as sorn devices lists it; "
                     "default: the volumes of the system's default devices")
        ->type_name("N|NAME");
    addBackend(volume);

    bool devicesJson = false;
    CLI::App* devices = app.add_subcommand("devices", "the wave devices and the mixer tree of the backend");
    devices->add_flag("--json", devicesJson, "one JSON object");
    devices->footer(
        "Each wave device: its number (what --device takes), its whole name, its own channels and\n"
        "rate; \"monitor\" marks an input that records what an output plays, \"default\" the output\n"
        "and the input the system uses now (where a command without --device goes), \"key\" the\n"
        "sound server's own name where it differs. --json gives each as {id, name, channels, rate,\n"
        "monitor, default, key} in \"outputs\" and \"inputs\" (rate 0: unknown), and the mixers.");
    addBackend(devices);

    std::string demoFolder;
    CLI::App* demo = app.add_subcommand("demo", "play a speech clip, record it back, track its pitch");
    std::string demoPositional;
    demo->add_option("FOLDER", demoPositional, "where the take, the CSV and the SVG go (default sorn-demo-TIME)");
    demo->add_option("--folder", demoFolder, "the same as FOLDER")->type_name("DIR");
    demo->footer("Without a sound server the virtual device plays and hears its own output.");
    addBackend(demo);

    const std::vector<CLI::App*> commands{info, playCommand, recordCommand, pitchCommand, volume, devices, demo};
    if (argc > 1 && argv[1][0] != '-' && std::none_of(commands.begin(), commands.end(), [&](const CLI::App* sub) {
            return sub->get_name() == argv[1];
        })) {
        std::fprintf(stderr, "sorn: unknown command \"%s\" (see sorn --help)\n", argv[1]);
        return kUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string command;
        for (const CLI::App* sub : app.get_subcommands()) command = sub->get_name();
        std::string what = e.what();
        if (what.empty()) what = "bad arguments";
        if (command.empty()) {
            std::fprintf(stderr, "sorn: %s (see sorn --help)\n", what.c_str());
            return kUsage;
        }
        return UsageError(command, what);
    }

    for (const auto& [sub, device] : {std::pair<CLI::App*, const std::string*>{playCommand, &play.device},
                                      {recordCommand, &record.device},
                                      {volume, &volumeDevice}}) {
        if (sub->parsed() && sub->count("--device") && device->empty())
            return UsageError(sub->get_name(), "--device needs a number or a name, as sorn devices lists them");
    }

    // Load the module the way any host does; a refused start-up is one line.
    std::string error;
    if (!Module().Load(sorn::host::LoadedModule::DefaultPath(), error)) {
        std::fprintf(stderr, "sorn: %s\n", error.c_str());
        return kFailed;
    }
    if (info->parsed()) {
        int status = kOk;
        if (!CheckBackend("info", ChooseBackend(backend), status)) return status;
        return Info(infoFile, infoJson);
    }
    if (playCommand->parsed()) {
        play.backend = backend;
        return Play(play);
    }
    if (recordCommand->parsed()) {
        record.backend = backend;
        return Record(record);
    }
    if (pitchCommand->parsed()) {
        pitch.backend = backend;
        pitch.file = pitch.files.front();
        return Pitch(pitch);
    }
    if (volume->parsed()) return Volume(volumeWhich, volumeLevel, volumeDevice, backend);
    if (devices->parsed()) return Devices(devicesJson, backend);
    if (demo->parsed()) {
        if (!demoPositional.empty() && !demoFolder.empty() && demoPositional != demoFolder)
            return UsageError("demo", "name the folder once: FOLDER or --folder");
        return Demo(demoPositional.empty() ? demoFolder : demoPositional, backend);
    }
    return kUsage;
}
