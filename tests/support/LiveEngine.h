#pragma once
// An engine in live mode with a simulated output port, its clock manual and
// the capture on, for tests that play keys into processInput.
#include "chords/Chord.h"
#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "midi/CMidiPort.h"
#include "LiveEngineSetup.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// MIDI note number of a name such as "C4" (60), "Bb3" (58) or "F#2" (42).
inline int key(std::string_view name)
{
    size_t digits = 1;
    if (name.size() > 1 && (name[1] == '#' || name[1] == 'b')) digits = 2;
    const int pc = parseNoteName(name.substr(0, digits));
    const int octave = std::stoi(std::string(name.substr(digits)));
    return pc + 12 * (octave + 1);
}

template <typename Base = ::testing::Test>
class LiveEngineFixture : public Base {
protected:
    void SetUp() override
    {
        startLiveEngine(engine, true);
        engine.clock->setManual(1'000'000'000); // far from 0, so a chord "500 ms ago" is real time
    }
    void TearDown() override
    {
        engine.set(engine.play.playingStyle, nullptr);
        engine.shutdown();
    }

    void press(int note, int velocity = 100, int channel = 0) { engine.processInput(0x90 + channel, note, velocity); }
    // A release as a note off, or as a note on with velocity 0.
    void release(int note, int channel = 0, bool zeroVelocity = false)
    {
        engine.processInput((zeroVelocity ? 0x90 : 0x80) + channel, note, zeroVelocity ? 0 : 64);
    }
    void pressAll(const std::vector<std::string>& names)
    {
        for (const std::string& n : names) press(key(n));
    }
    void releaseAll(const std::vector<std::string>& names)
    {
        for (const std::string& n : names) release(key(n));
    }

    CLiveInput& live() { return *engine.liveInput; }
    std::string current() { return engine.get(engine.play.currentChord).symbol; }
    std::string accomp() { return engine.get(engine.play.accompChord).symbol; }
    std::vector<CapturedMessage> sent() { return engine.port->capture.take(); }
    std::vector<std::string> sentTexts()
    {
        std::vector<std::string> t;
        for (const CapturedMessage& m : sent()) t.push_back(m.text());
        return t;
    }

    CKvSeq engine;
};

using LiveEngineTest = LiveEngineFixture<>;

} // namespace testsupport
