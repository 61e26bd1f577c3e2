// Random keys, pedals and program changes against random trigger tables and
// menu trees, attention on in some rounds, while the accompaniment plays: the
// menu always stands on a set that exists, and once every key and pedal is
// let go and the accompaniment has stopped, every note has ended and nothing
// a held key switched on stays on.
#include "melody/CMelody.h"
#include "player/PlayerFixture.h"
#include "support/NoteEnds.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>

namespace {

class TriggerInvariant : public playertest::PlayerTest {
protected:
    std::mt19937 rng{20260314};
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    static constexpr int kControllers[] = {1, 11, 64, 66, 80, 81}; // never 120-127: those end notes themselves

    int randomCode()
    {
        const int kind = pick(0, 2);
        return kind == 0 ? kNoteCodeBase + pick(36, 60)
               : kind == 1 ? kControllerCodeBase + kControllers[pick(0, 5)] : kProgramCodeBase + pick(0, 3);
    }
    // Often a function that cuts sounding notes or lasts while its key is
    // held (attention, the Fill Ins); now and then a preset button.
    int randomFunction()
    {
        static constexpr int kSharp[] = {4, 31, 32, 33, 34, 35, 36, 47, 48, 62, 65, 69, 70};
        const int kind = pick(0, 5);
        return kind == 0 ? kPresetFunctionBase + pick(0, 5) : kind < 3 ? kSharp[pick(0, 12)] : pick(0, kFunctionCount - 1);
    }
    static std::string hexText(int status, int d1, int d2)
    {
        char text[12];
        return {text, static_cast<size_t>(std::snprintf(text, sizeof text, "%02X %02X %02X", status, d1, d2))};
    }

    void randomTables()
    {
        CLiveInput& in = live();
        std::fill(std::begin(in.triggerCodes), std::end(in.triggerCodes), 0);
        for (int n = pick(20, 60); n > 0; --n) {
            const int i = randomFunction(); // preset button b is both entry and function 100 + b
            in.triggerCodes[i] = randomCode();
            in.triggerChannels[i] = std::array{0, 1, 2, kAfterAttention}[static_cast<size_t>(pick(0, 3))];
        }
        in.indexTriggers();
        in.triggerSets.assign(static_cast<size_t>(pick(2, 5)), TriggerSet{});
        for (TriggerSet& set : in.triggerSets) {
            set.attribute = pick(0, 1);
            for (int k = 0; k <= 36; ++k) {
                TriggerEntry& e = set.entries[k];
                const int channel = pick(0, 3), pitch = pick(40, 90);
                e.type = pick(0, 7);
                switch (e.type) {
                case kEntryFunction: e.values[0] = randomFunction(); break;
                case kEntryPreset: e.values[0] = pick(0, 5); break;
                case kEntryChord: e.values[0] = pick(0, 11), e.values[1] = pick(0, 10), e.values[2] = pick(-1, 11); break;
                case kEntryNote: e.values[0] = pitch; break;
                case kEntryMidiText: // a note, ended by the release text
                    e.pressText = hexText(0x90 + channel, pitch, 100);
                    e.releaseText = hexText(0x80 + channel, pitch, 0);
                    break;
                case kEntryStyle: e.type = kEntryEmpty; break; // no registrations here
                case kEntrySubMenu: e.values[0] = pick(0, static_cast<int>(in.triggerSets.size()) - 1); break;
                default: break;
                }
            }
        }
        in.currentSet = 0;
        in.setStack.assign(1, 0);
        engine.set(engine.attention.attentionEnabled, pick(0, 2) > 0);
        engine.set(engine.attention.attentionChannel, pick(0, 2));
        engine.set(engine.attention.attentionTrigger, pick(0, 1) ? randomCode() : 0);
        engine.set(engine.areas.programChangeSelectsPreset, pick(0, 3) == 0);
    }
};

TEST_F(TriggerInvariant, NothingHangsAndTheMenuStaysValid)
{
    ASSERT_GE(load(playertest::busyStyle(160)), 0);
    engine.lock(); // the melody on channel indexes 0-5, the accompaniment on 9-11
    for (int p = 0; p < 4; ++p) {
        engine.presets[p].layers[0] = {1 + p, 0, -1, -1, -1, -1, -1, -1, -1, -1, p};
        engine.presets[p].layers[1] = {kLayerLeft, p - 1, -1, -1, -1, -1, -1, -1, -1, -1, 4};
        engine.presets[p].layers[2] = {p % 2 ? kLayerSplit : 0, 1, -1, -1, -1, -1, -1, -1, -1, -1, 5};
    }
    engine.unlock();
    engine.melody->selectPreset(0);
    int notes = 0;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        randomTables();
        engine.startStylePlayer();
        std::set<std::pair<int, int>> down;      // channel, key
        std::map<std::pair<int, int>, int> held; // channel, controller -> value
        for (int step = 0; step < 250; ++step) {
            const int action = pick(0, 99), channel = pick(0, 2);
            if (action < 35) {
                const int note = pick(36, 72);
                if (down.insert({channel, note}).second) press(note, pick(1, 127), channel);
            } else if (action < 65 && !down.empty()) {
                auto it = std::next(down.begin(), pick(0, static_cast<int>(down.size()) - 1));
                release(it->second, it->first, pick(0, 1) == 1);
                down.erase(it);
            } else if (action < 77) {
                const int cc = kControllers[pick(0, 5)], value = std::array{0, 127, pick(0, 127)}[static_cast<size_t>(pick(0, 2))];
                engine.processInput(controllerStatus(channel), cc, held[{channel, cc}] = value);
            } else if (action < 82) {
                engine.processInput(programStatus(channel), pick(0, 3), 0);
            } else if (engine.isStylePlaying()) {
                run(pick(1, 100));
            } else {
                engine.clock->advanceMs(pick(1, 100));
            }
            const int set = live().currentSet, sets = static_cast<int>(live().triggerSets.size());
            ASSERT_TRUE(set >= 0 && set < sets && !live().setStack.empty()) << "step " << step << ": set " << set;
        }
        for (const auto& [channel, note] : down) release(note, channel);
        for (const auto& [where, value] : held)
            if (value != 0) engine.processInput(controllerStatus(where.first), where.second, 0);
        stop();
        const auto sent = engine.port->capture.take();
        notes += static_cast<int>(std::count_if(sent.begin(), sent.end(), [](const CapturedMessage& m) { return isNoteOn(m.status, m.d2); }));
        // The group functions cut the accompaniment's channels with controllers;
        // every cut of the melody's (Silence, a transposition) sends note offs.
        ASSERT_TRUE(testsupport::everyNoteOnEnds(sent, 8));
        EXPECT_EQ(engine.melody->soundingCount(), 0);
        EXPECT_TRUE(live().heldChordKeys.empty());
        EXPECT_NE(live().attentionContext, 2);       // attention called by a key ends with it
        EXPECT_EQ(engine.get(engine.play.repeatFill), 0); // and so does a repeated fill
        engine.set(engine.play.paused, 0);
    }
    EXPECT_GT(notes, 1000);
}

} // namespace
