// "play-plan FILE [--start BAR] [--end BAR] [--loops N]": a Standard MIDI File
// played by the real song player, on the manual clock moved on by the
// player's own sleeps (as fast as it computes), in live mode with every group
// on at full volume; answers every message the port sent, with its time from
// the start of play.
#include "Command.h"
#include "EngineOptions.h"
#include "LiveEngineSetup.h"

#include "base/CClock.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "sequence/CMidiSequence.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vtntool {
namespace {

// Far from 0, as on a running machine.
constexpr int64_t kStartUs = 1'000'000'000;

// Milliseconds as exact as the microsecond clock: whole ones as integers.
Document millisecondsOf(int64_t us)
{
    if (us % 1000 == 0) return us / 1000;
    return static_cast<double>(us) / 1000.0;
}

std::string hexOf(const std::string& bytes)
{
    std::string text;
    char hex[4];
    for (const unsigned char c : bytes) {
        std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", c);
        text += hex;
    }
    return text;
}

int runPlayPlan(const std::vector<std::string>& args)
{
    if (args.empty()) return refuse("usage: veltrona-tool play-plan FILE [--start BAR] [--end BAR] [--loops N]");
    int startBar = 0, endBar = 0, loops = 0;
    for (size_t i = 1; i < args.size(); i += 2) {
        const std::string& option = args[i];
        int* target = option == "--start" ? &startBar : option == "--end" ? &endBar : option == "--loops" ? &loops : nullptr;
        if (!target) return refuse("play-plan: unknown option '" + option + "'");
        if (i + 1 >= args.size()) return refuse("play-plan: option '" + option + "' needs a value");
        if (!parseNumber(args[i + 1], 1, 99999, *target))
            return refuse("play-plan: " + option + " value '" + args[i + 1] + "' is not valid");
    }

    auto song = std::make_unique<CMidiSequence>();
    int status = 0;
    if (!loadSong(args[0], *song, status)) return status;

    CKvSeq engine;
    startLiveEngine(engine, true);
    CClock& clock = *engine.clock;
    clock.setManual(kStartUs);
    // Every sleep of the player moves the time on by itself; nothing else
    // sleeps on this clock while the song plays.
    clock.setAutoAdvance(true);
    engine.restoreInitial<Mixer>();
    engine.setTransposition(0);
    engine.setSetting(&SongSettings::songPassLimit, loops);
    engine.setSetting(&SongSettings::playMode, 1);

    const int64_t origin = clock.nowUs();
    if (engine.startSongPlayer(song.get(), startBar, endBar, loops > 0 ? 1 : 0, 0, 0) != 0) {
        engine.shutdown();
        return refuse("play-plan: the song player did not start");
    }
    // Waits in real time: a sleep on the engine's clock would move the music on.
    // The player's last message (silence on every channel) leaves before it
    // is seen to end; the shutdown joins its thread.
    while (engine.isPlaying()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // What the shutdown sends (the same silence once more) is no part of the play.
    const std::vector<CapturedMessage> sent = engine.port->capture.take();
    engine.shutdown();

    Document messages = Document::array();
    for (const CapturedMessage& m : sent) {
        Document message = {{"ms", millisecondsOf(m.timeUs - origin)}, {"status", m.status}, {"d1", m.d1}, {"d2", m.d2}};
        if (m.status == 0xF0) message["sysex"] = hexOf(m.sysex);
        messages.push_back(std::move(message));
    }
    return printDocument({{"messages", std::move(messages)}});
}

const ToolCommandRegistration playPlan{{"play-plan", "FILE [--start BAR] [--end BAR] [--loops N]", -1, runPlayPlan}};

} // namespace
} // namespace vtntool
