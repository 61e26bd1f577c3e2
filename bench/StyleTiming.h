#pragma once
// The style player's timing from the capture: each message the player sends
// (notes and controllers on channels 8-15) is matched, in order, to the
// part's own events played in a loop, and its capture time is compared with
// its ideal time: the first matched message's time plus the ticks since it
// at the tempo. Shared by the benchmarks that time the player.
#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "player/Transform.h"
#include "sequence/CStyle.h"

#include "BenchSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <functional>
#include <vector>

namespace styletiming {

// What identifies a message for matching: note on, note off or controller,
// channel, key or controller number (and a controller's value).
struct Key {
    int kind = 0; // 1 note on, 2 note off, 3 controller
    int channel = 0;
    int d1 = 0;
    int d2 = 0;
    bool operator==(const Key&) const = default;
};

inline Key keyOf(int status, int d1, int d2)
{
    Key k;
    k.channel = channelOf(status);
    k.d1 = d1;
    if (isNoteOn(status, d2))
        k.kind = 1;
    else if (isNote(status))
        k.kind = 2;
    else if (isController(status))
        k.kind = 3, k.d2 = d2;
    return k;
}

struct Expected {
    int64_t tick; // ticks since the part's start in its first loop
    Key key;
};

struct Row {
    const char* wait;
    int bpm;
    size_t matched = 0, unmatched = 0;
    Figures error{}; // of |sent - ideal|, microseconds
    double driftUs = 0;
    // The error with its straight-line trend removed: the jitter of single
    // messages apart from the drift, and the trend itself.
    double residualP99Us = 0;
    double slopeUsPerMin = 0;
    double cpuPercent = 0;
};


inline void sleepSeconds(double s)
{
    timespec t{static_cast<time_t>(s), static_cast<long>((s - std::floor(s)) * 1e9)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &t, &t) != 0) {
    }
}

inline int mainPart(const CStyle& style)
{
    for (int p = 1; p < style.partCount(); ++p)
        if (style.parts[static_cast<size_t>(p)].name == "Main A") return p;
    int type = kPartMain, level1 = 0, level2 = 0;
    return style.findPart(type, level1, level2);
}

// The messages the player sends for `loops` passes through the part, as the
// transformation and the send path produce them for a chord that stays.
inline std::vector<Expected> expectedMessages(const CStyle& style, int part, int64_t partTicks, int loops, const Chord& chord,
                                       const TransformSettings& settings, BassMemory bass, int bankMsb, int bankLsb)
{
    std::vector<Expected> out;
    CRandom random(1); // velocity only: not part of the match
    const StylePart& p = style.parts[static_cast<size_t>(part)];
    for (int loop = 0; loop < loops; ++loop) {
        for (int r = style.events[static_cast<size_t>(p.startevent)].next; r >= kFirstEvent;
             r = style.events[static_cast<size_t>(r)].next) {
            const MidiEvent& m = style.events[static_cast<size_t>(r)];
            if (m.stat == kStatMarker) break;
            StyleEvent e{m.stat, m.db1, m.db2, m.onoff};
            if (!transformEvent(style, e, chord, part, settings, bass, random) || !isChannelMessage(e.stat)) continue;
            const int64_t tick = loop * partTicks + (m.ticks - p.offsettime);
            if (isProgramChange(e.stat) && settings.styleBankSelect == 0) {
                out.push_back({tick, keyOf(controllerStatus(channelOf(e.stat)), kCtlBankMsb, bankMsb)});
                out.push_back({tick, keyOf(controllerStatus(channelOf(e.stat)), kCtlBankLsb, bankLsb)});
            }
            const Key k = keyOf(e.stat, e.db1, e.db2);
            if (k.kind != 0) out.push_back({tick, k});
        }
    }
    return out;
}

// Plays the engine's current style, its Main A over C at `bpm`, from the
// start for `seconds` while `during` takes that time on this thread; the
// engine's port captures (the simulated synth). The player is stopped after.
inline Row timeStyle(CKvSeq* engine, int bpm, double seconds, const std::function<void(double)>& during)
{
    Row row{"", bpm};
    engine->setSetting(&PlayState::blockTempo, 1); // the style's tempo events leave the tempo alone
    engine->seedRandom(7);
    CStyle& style = *engine->currentStyle();
    const int part = mainPart(style);
    engine->selectPart(part);
    engine->setTempo(bpm);
    const StylePart& p = style.parts[static_cast<size_t>(part)];
    const int64_t partTicks = style.barBeatToTicks(style.barOfTicks(p.offsettime) + p.bars, 1, 0) - p.offsettime;
    const BassMemory bass = engine->bassMemory;
    const TransformSettings settings = transformSettings(*engine);
    engine->port->capture.clear();

    const double cpuBefore = cpuSeconds();
    engine->setChord(0, 0, -1); // C major: the player starts
    const Chord chord = engine->get(engine->play.currentChord);
    during(seconds);
    const int64_t stoppedUs = engine->clock->nowUs();
    const double cpu = cpuSeconds() - cpuBefore;
    engine->requestStop();
    while (engine->isStylePlaying()) sleepSeconds(0.01);

    const int tpb = style.ticksPerBeat;
    const int loops = static_cast<int>(seconds * bpm * tpb / 60.0 / static_cast<double>(partTicks)) + 2;
    const std::vector<Expected> expected =
        expectedMessages(style, part, partTicks, loops, chord, settings, bass,
                         engine->get(engine->defaults.bankMsb), engine->get(engine->defaults.bankLsb));
    const size_t window = expected.size() / static_cast<size_t>(loops) + 1;

    const std::vector<CapturedMessage> sent = engine->port->capture.take();
    const double usPerTick = 60e6 / (static_cast<double>(tpb) * bpm);
    std::vector<int64_t> errors;
    std::vector<double> atS, signedUs;
    double lastError = 0;
    bool first = true;
    int64_t t0 = 0, tick0 = 0;
    size_t next = 0;
    for (const CapturedMessage& m : sent) {
        if (m.timeUs > stoppedUs) break; // the stop's own note offs are no music
        if (m.channel() < 8) continue;
        const Key k = keyOf(m.status, m.d1, m.d2);
        if (k.kind == 0) continue;
        // Events the send path drops (a repeated controller value, a note
        // already sounding) are skipped, but never more than a loop ahead.
        size_t at = next;
        const size_t end = std::min(expected.size(), next + window);
        while (at < end && !(expected[at].key == k)) ++at;
        if (at >= end) {
            ++row.unmatched;
            continue;
        }
        if (first) t0 = m.timeUs, tick0 = expected[at].tick, first = false;
        const double ideal = static_cast<double>(t0) + static_cast<double>(expected[at].tick - tick0) * usPerTick;
        lastError = static_cast<double>(m.timeUs) - ideal;
        errors.push_back(static_cast<int64_t>(std::llround(std::fabs(lastError))));
        atS.push_back(static_cast<double>(m.timeUs - t0) / 1e6);
        signedUs.push_back(lastError);
        next = at + 1;
    }
    row.matched = errors.size();
    if (!errors.empty()) row.error = percentiles(errors);
    if (errors.size() > 2) {
        const double n = static_cast<double>(atS.size());
        double st = 0, se = 0, stt = 0, ste = 0;
        for (size_t i = 0; i < atS.size(); ++i)
            st += atS[i], se += signedUs[i], stt += atS[i] * atS[i], ste += atS[i] * signedUs[i];
        const double slope = (n * ste - st * se) / (n * stt - st * st);
        const double offset = (se - slope * st) / n;
        std::vector<int64_t> residuals;
        for (size_t i = 0; i < atS.size(); ++i)
            residuals.push_back(std::llround(std::fabs(signedUs[i] - offset - slope * atS[i])));
        row.residualP99Us = percentiles(residuals).p99;
        row.slopeUsPerMin = slope * 60;
    }
    row.driftUs = lastError;
    row.cpuPercent = cpu / seconds * 100.0;
    return row;
}

} // namespace styletiming
