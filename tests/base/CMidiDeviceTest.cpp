#include "base/CMidiDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string text(const SoundingNote& n)
{
    return std::to_string(n.channel) + " " + std::to_string(n.pitch) + " " + std::to_string(n.velocity) + " " +
           std::to_string(n.pNoteOn) + " " + std::to_string(n.pitchOriginal);
}

// Records every noteOff the base asks for, in call order; with selfTracking
// it also tracks the note off under the mutex releaseAll already holds, as a
// sending device does.
class RecordingDevice : public CMidiDevice {
public:
    explicit RecordingDevice(bool tracksOwnOffs = false) : selfTracking(tracksOwnOffs) {}
    void noteOff(int channel, int pitch, int velocity, int pNoteOn, int pitchOriginal) override
    {
        released.push_back(text({channel, pitch, velocity, pNoteOn, pitchOriginal}));
        if (selfTracking) trackEvent(0x80 + channel, pitch, 0, 0, true, 0);
    }
    bool selfTracking;
    std::vector<std::string> released;
};

TEST(MidiDeviceNotes, RepeatedNoteOnKeepsBothOffEndsTheOlderForgetAllSendsNothing)
{
    RecordingDevice d;
    d.trackEvent(0x92, 60, 90, 11, false, 58);
    d.trackEvent(0x92, 60, 70, 22, false, 59);
    int pNoteOn = -5;
    EXPECT_EQ(d.acceptsEvent(0x92, 60, 100, &pNoteOn), 0);
    EXPECT_EQ(pNoteOn, 11); // the first entry from the front answers
    d.trackEvent(0x82, 60, 0);
    ASSERT_EQ(d.soundingCount(), 1);
    EXPECT_EQ(text(d.soundingSnapshot()[0]), "2 60 70 22 59");
    EXPECT_EQ(d.acceptsEvent(0x92, 60, 100), 0);
    EXPECT_EQ(d.acceptsEvent(0x82, 60, 0, &pNoteOn), 1);
    EXPECT_EQ(pNoteOn, 22);
    d.trackEvent(0x82, 60, 0);
    EXPECT_EQ(d.soundingCount() * 10 + d.acceptsEvent(0x92, 60, 100), 1);
    // forgetAll sends nothing, and later note offs of forgotten notes are refused.
    d.trackEvent(0x90, 60, 100);
    d.trackEvent(0x91, 62, 100);
    d.forgetAll();
    EXPECT_EQ(d.released.size() + d.soundingCount() + d.acceptsEvent(0x80, 60, 0) + d.acceptsEvent(0x91, 62, 0), 0u);
}

// With note 0x93/64 sounding or not: accepted?, and how many notes sound
// after tracking the message.
TEST(MidiDeviceNotes, AcceptAndTrackByMessageClass)
{
    const int cases[][6] = {
        // status, d1, d2, accepted when silent, accepted when sounding, count after tracking
        {0x93, 64, 100, 1, 0, 2}, {0x93, 64, 0, 0, 1, 0}, {0x83, 64, 64, 0, 1, 0}, {0x84, 64, 0, 0, 0, 1},
        {0x83, 65, 0, 0, 0, 1},   {0x94, 64, 100, 1, 1, 2}, {0xA3, 64, 10, 1, 1, 1}, {-2, 64, 0, 1, 1, 1},
    };
    for (const auto& [status, d1, d2, silent, sounding, count] : cases) {
        RecordingDevice quiet, d;
        d.trackEvent(0x93, 64, 100);
        const int accepted = d.acceptsEvent(status, d1, d2);
        d.trackEvent(status, d1, d2);
        EXPECT_EQ((std::vector<int>{quiet.acceptsEvent(status, d1, d2), accepted, d.soundingCount()}),
                  (std::vector<int>{silent, sounding, count})) << std::hex << status << " " << d1 << " " << d2;
    }
}

TEST(MidiDeviceNotes, ReleaseAllEndsNotesNewestFirstEachOnce)
{
    for (bool selfTracking : {false, true}) {
        RecordingDevice d(selfTracking);
        d.trackEvent(0x90, 60, 100, 1, false, 48);
        d.trackEvent(0x95, 64, 80, 2, false, 52);
        const int third = selfTracking ? 67 : 60; // the plain device gets the first note's key again
        d.trackEvent(0x90, third, 70, 3, false, 49);
        d.releaseAll();
        const std::string newest = "0 " + std::to_string(third) + " 70 3 49";
        EXPECT_EQ(d.released, (std::vector<std::string>{newest, "5 64 80 2 52", "0 60 100 1 48"}));
        EXPECT_EQ(d.soundingCount(), 0);
        d.released.clear();
        d.releaseAll();
        EXPECT_TRUE(d.released.empty());
    }
}

// The nine remembered controllers refuse repeats per channel; every other
// controller (sustain 64 among them) is always accepted and never remembered.
TEST(MidiDeviceControllers, OnlyTheNineRememberedRefuseRepeats)
{
    for (int cc = -1; cc <= 128; ++cc) {
        const int* const end = std::end(CMidiDevice::kRememberedControllers);
        const bool remembered = std::find(CMidiDevice::kRememberedControllers, end, cc) != end;
        RecordingDevice d;
        EXPECT_EQ(d.controllerOf(3, cc), remembered ? -1 : 0) << cc;
        d.trackEvent(0xB3, cc, 100);
        EXPECT_EQ(d.controllerOf(3, cc), remembered ? 100 : 0) << cc;
        for (int other : CMidiDevice::kRememberedControllers)
            EXPECT_TRUE(other == cc || d.controllerOf(3, other) == -1) << cc << " leaked into " << other;
        EXPECT_EQ(d.acceptsEvent(0xB3, cc, 100), remembered ? 0 : 1) << cc;
        EXPECT_EQ(d.acceptsEvent(0xB3, cc, 101) + d.acceptsEvent(0xB4, cc, 100), 2) << cc;
        d.resetControllers();
        EXPECT_EQ(d.acceptsEvent(0xB3, cc, 100), 1) << cc;
    }
}

TEST(MidiDevicePrograms, RepeatedProgramIsRefusedAndReopensBankSelect)
{
    RecordingDevice d;
    EXPECT_EQ(d.programOf(2), -1);
    d.trackEvent(0xB3, 0, 1);
    d.trackEvent(0xC3, 40, 0);
    d.trackEvent(0xB2, 0, 1); // bank MSB and LSB, then the program
    d.trackEvent(0xB2, 32, 5);
    d.trackEvent(0xC2, 40, 0);
    EXPECT_EQ(d.programOf(2), 40);
    // The same bank again is refused before the repeated program, and let
    // through after it whatever its values; other channels keep their memory.
    EXPECT_EQ(d.acceptsEvent(0xB2, 0, 1) + d.acceptsEvent(0xB2, 32, 5) + d.acceptsEvent(0xC2, 40, 0), 0);
    EXPECT_EQ(d.acceptsEvent(0xC2, 41, 0), 1);
    EXPECT_EQ(d.controllerOf(2, 0) + d.controllerOf(2, 32), -2);
    EXPECT_EQ(d.acceptsEvent(0xB2, 0, 1) + d.acceptsEvent(0xB2, 32, 5) + d.acceptsEvent(0xB2, 0, 0), 3);
    EXPECT_EQ(d.acceptsEvent(0xB3, 0, 1), 0);
    // A bank changed since the program lets the same program through again.
    d.trackEvent(0xC7, 10, 0);
    for (int bankSelect : {0, 32}) {
        d.trackEvent(0xB7, bankSelect, 3);
        EXPECT_EQ(d.acceptsEvent(0xC7, 10, 0), 1) << bankSelect;
        d.trackEvent(0xC7, 10, 0);
    }
    EXPECT_EQ(d.acceptsEvent(0xC7, 10, 0), 0);
    d.resetControllers();
    EXPECT_EQ(d.programOf(7), -1);
    EXPECT_EQ(d.acceptsEvent(0xC7, 10, 0), 1);
}

// One thread plays through the device as a sender does (ask, send, track)
// while another asks and reads concurrently; run under ThreadSanitizer.
TEST(MidiDeviceThreads, TrackingAndAcceptingOnOneDevice)
{
    RecordingDevice d;
    constexpr int kRounds = 20000;
    std::atomic<bool> go{false};
    int played = 0;
    auto run = [&](bool sender) {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0, p = 0; i < kRounds; ++i) {
            const int pitch = 36 + i % 48, ch = sender ? 0 : 1;
            if (d.acceptsEvent(0x90 + ch, pitch, 100, &p)) {
                d.trackEvent(0x90 + ch, pitch, 100, i, false, pitch);
                if (sender) ++played;
            }
            if (sender) d.trackEvent(0xB0, 7, i % 128);
            (void)d.acceptsEvent(0xB0, 7, 64);
            (void)d.controllerOf(0, 7);
            (void)d.soundingSnapshot();
            if (d.acceptsEvent(0x80 + ch, pitch, 0)) d.trackEvent(0x80 + ch, pitch, 0);
        }
    };
    std::thread sender(run, true), other(run, false);
    go = true;
    sender.join();
    other.join();
    EXPECT_EQ(played, kRounds);
    EXPECT_EQ(d.soundingCount(), 0);
    EXPECT_EQ(d.controllerOf(0, 7), (kRounds - 1) % 128);
}

} // namespace
