#include "midi/CMidiDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Records every noteOff the base asks for, in call order.
class RecordingDevice : public CMidiDevice {
public:
    void noteOff(int channel, int pitch, int velocity, int pNoteOn, int pitchOriginal) override
    {
        released.push_back({channel, pitch, velocity, pNoteOn, pitchOriginal});
    }
    std::vector<SoundingNote> released;
};

// Ends its notes the way a sending device does: tracking the note off under
// the mutex releaseAll already holds.
class SelfTrackingDevice : public RecordingDevice {
public:
    void noteOff(int channel, int pitch, int velocity, int pNoteOn, int pitchOriginal) override
    {
        RecordingDevice::noteOff(channel, pitch, velocity, pNoteOn, pitchOriginal);
        trackEvent(0x80 + channel, pitch, 0, 0, true, 0);
    }
};

bool sameNote(const SoundingNote& a, const SoundingNote& b)
{
    return std::tie(a.channel, a.pitch, a.velocity, a.pNoteOn, a.pitchOriginal) ==
           std::tie(b.channel, b.pitch, b.velocity, b.pNoteOn, b.pitchOriginal);
}

// ---- notes -----------------------------------------------------------------

TEST(MidiDeviceNotes, RepeatedNoteOnKeepsBothAndOffEndsTheOlder)
{
    RecordingDevice d;
    d.trackEvent(0x92, 60, 90, 11, false, 58);
    d.trackEvent(0x92, 60, 70, 22, false, 59);
    ASSERT_EQ(d.soundingCount(), 2);

    int pNoteOn = -5;
    EXPECT_EQ(d.acceptsEvent(0x92, 60, 100, &pNoteOn), 0);
    EXPECT_EQ(pNoteOn, 11); // the first entry from the front answers

    d.trackEvent(0x82, 60, 0);
    const auto left = d.soundingSnapshot();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(sameNote(left[0], {2, 60, 70, 22, 59}));
    EXPECT_EQ(d.acceptsEvent(0x92, 60, 100), 0);
    EXPECT_EQ(d.acceptsEvent(0x82, 60, 0, &pNoteOn), 1);
    EXPECT_EQ(pNoteOn, 22);

    d.trackEvent(0x82, 60, 0);
    EXPECT_EQ(d.soundingCount(), 0);
    EXPECT_EQ(d.acceptsEvent(0x92, 60, 100), 1);
}

struct NoteMessage {
    const char* what;
    int status, d1, d2;
    int acceptedWhenSilent, acceptedWhenSounding;
    int countAfterTrackOnSounding; // sounding list holds 0x93/64 before tracking
};

class MidiDeviceNoteClasses : public ::testing::TestWithParam<NoteMessage> {};

TEST_P(MidiDeviceNoteClasses, AcceptAndTrack)
{
    const NoteMessage& m = GetParam();
    RecordingDevice silent;
    EXPECT_EQ(silent.acceptsEvent(m.status, m.d1, m.d2), m.acceptedWhenSilent);

    RecordingDevice sounding;
    sounding.trackEvent(0x93, 64, 100);
    int pNoteOn = -5;
    EXPECT_EQ(sounding.acceptsEvent(m.status, m.d1, m.d2, &pNoteOn), m.acceptedWhenSounding);
    sounding.trackEvent(m.status, m.d1, m.d2);
    EXPECT_EQ(sounding.soundingCount(), m.countAfterTrackOnSounding);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MidiDeviceNoteClasses,
    ::testing::Values(NoteMessage{"NoteOnSameKey", 0x93, 64, 100, 1, 0, 2},
                      NoteMessage{"NoteOnVelocity0IsOff", 0x93, 64, 0, 0, 1, 0},
                      NoteMessage{"NoteOffWithVelocity", 0x83, 64, 64, 0, 1, 0},
                      NoteMessage{"NoteOffOtherChannel", 0x84, 64, 0, 0, 0, 1},
                      NoteMessage{"NoteOffOtherPitch", 0x83, 65, 0, 0, 0, 1},
                      NoteMessage{"NoteOnOtherChannel", 0x94, 64, 100, 1, 1, 2},
                      NoteMessage{"PolyPressureIgnored", 0xA3, 64, 10, 1, 1, 1},
                      NoteMessage{"PitchBendIgnored", 0xE3, 0, 64, 1, 1, 1},
                      NoteMessage{"OwnEventKindIgnored", -2, 64, 0, 1, 1, 1}),
    [](const auto& p) { return std::string(p.param.what); });

TEST(MidiDeviceNotes, ForgetAllSendsNothingAndRefusesLaterOffs)
{
    RecordingDevice d;
    d.trackEvent(0x90, 60, 100);
    d.trackEvent(0x91, 62, 100);
    d.forgetAll();
    EXPECT_TRUE(d.released.empty());
    EXPECT_EQ(d.soundingCount(), 0);
    EXPECT_EQ(d.acceptsEvent(0x80, 60, 0), 0);
    EXPECT_EQ(d.acceptsEvent(0x91, 62, 0), 0);
    EXPECT_EQ(d.acceptsEvent(0x90, 60, 100), 1);
}

// ---- releaseAll --------------------------------------------------------------

TEST(MidiDeviceRelease, EndsNotesNewestFirstWithTheirRecords)
{
    RecordingDevice d;
    d.trackEvent(0x90, 60, 100, 1, false, 48); // A
    d.trackEvent(0x95, 64, 80, 2, false, 52);  // B
    d.trackEvent(0x90, 60, 70, 3, false, 49);  // C: same key as A
    d.releaseAll();
    ASSERT_EQ(d.released.size(), 3u);
    EXPECT_TRUE(sameNote(d.released[0], {0, 60, 70, 3, 49}));
    EXPECT_TRUE(sameNote(d.released[1], {5, 64, 80, 2, 52}));
    EXPECT_TRUE(sameNote(d.released[2], {0, 60, 100, 1, 48}));
    EXPECT_EQ(d.soundingCount(), 0);

    d.released.clear();
    d.releaseAll();
    EXPECT_TRUE(d.released.empty());
}

TEST(MidiDeviceRelease, OverrideTrackingItsOwnNoteOffEndsEachNoteOnce)
{
    SelfTrackingDevice d;
    d.trackEvent(0x90, 60, 100, 1, false, 0);
    d.trackEvent(0x90, 64, 100, 2, false, 0);
    d.trackEvent(0x90, 67, 100, 3, false, 0);
    d.releaseAll();
    ASSERT_EQ(d.released.size(), 3u);
    EXPECT_EQ(d.released[0].pitch, 67);
    EXPECT_EQ(d.released[1].pitch, 64);
    EXPECT_EQ(d.released[2].pitch, 60);
    EXPECT_EQ(d.soundingCount(), 0);
}

// ---- programs and controllers ------------------------------------------------

class MidiDeviceRememberedController : public ::testing::TestWithParam<int> {};

TEST_P(MidiDeviceRememberedController, RepeatsAreRefusedPerChannel)
{
    const int cc = GetParam();
    RecordingDevice d;
    EXPECT_EQ(d.controllerOf(3, cc), -1);
    EXPECT_EQ(d.acceptsEvent(0xB3, cc, 100), 1);
    d.trackEvent(0xB3, cc, 100);
    EXPECT_EQ(d.controllerOf(3, cc), 100);
    EXPECT_EQ(d.acceptsEvent(0xB3, cc, 100), 0);
    EXPECT_EQ(d.acceptsEvent(0xB3, cc, 101), 1);
    EXPECT_EQ(d.acceptsEvent(0xB4, cc, 100), 1); // other channel has its own memory
    EXPECT_EQ(d.controllerOf(4, cc), -1);

    d.resetControllers();
    EXPECT_EQ(d.controllerOf(3, cc), -1);
    EXPECT_EQ(d.acceptsEvent(0xB3, cc, 100), 1);
}

INSTANTIATE_TEST_SUITE_P(Nine, MidiDeviceRememberedController, ::testing::Values(0, 1, 5, 7, 10, 11, 32, 91, 93));

class MidiDeviceOtherController : public ::testing::TestWithParam<int> {};

TEST_P(MidiDeviceOtherController, AlwaysAcceptedNeverRemembered)
{
    const int cc = GetParam();
    RecordingDevice d;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(d.acceptsEvent(0xB0, cc, 127), 1);
        d.trackEvent(0xB0, cc, 127);
    }
    EXPECT_EQ(d.controllerOf(0, cc), 0);
    // Nothing leaked into the remembered slots.
    for (int remembered : CMidiDevice::kRememberedControllers) EXPECT_EQ(d.controllerOf(0, remembered), -1);
}

INSTANTIATE_TEST_SUITE_P(Others, MidiDeviceOtherController, ::testing::Values(64, 2, 6, 33, 120, 121, 123, 127, 200, -1));

TEST(MidiDevicePrograms, RepeatedProgramIsRefusedAndReopensBankSelect)
{
    RecordingDevice d;
    EXPECT_EQ(d.programOf(2), -1);
    d.trackEvent(0xB3, 0, 1);
    d.trackEvent(0xC3, 40, 0);
    d.trackEvent(0xB2, 0, 1);   // bank MSB
    d.trackEvent(0xB2, 32, 5);  // bank LSB
    EXPECT_EQ(d.acceptsEvent(0xC2, 40, 0), 1);
    d.trackEvent(0xC2, 40, 0);
    EXPECT_EQ(d.programOf(2), 40);

    // The same bank again would be refused before the repeated program...
    EXPECT_EQ(d.acceptsEvent(0xB2, 0, 1), 0);
    EXPECT_EQ(d.acceptsEvent(0xB2, 32, 5), 0);
    EXPECT_EQ(d.acceptsEvent(0xC2, 41, 0), 1);
    EXPECT_EQ(d.acceptsEvent(0xC2, 40, 0), 0);
    // ...and is let through after it, whatever its values.
    EXPECT_EQ(d.controllerOf(2, 0), -1);
    EXPECT_EQ(d.controllerOf(2, 32), -1);
    EXPECT_EQ(d.acceptsEvent(0xB2, 0, 1), 1);
    EXPECT_EQ(d.acceptsEvent(0xB2, 32, 5), 1);
    EXPECT_EQ(d.acceptsEvent(0xB2, 0, 0), 1);
    EXPECT_EQ(d.programOf(2), 40);
    // The same program on another channel keeps that channel's bank memory.
    EXPECT_EQ(d.acceptsEvent(0xB3, 0, 1), 0);
}

TEST(MidiDevicePrograms, BankChangedSinceProgramLetsTheProgramThrough)
{
    RecordingDevice d;
    d.trackEvent(0xC7, 10, 0);
    EXPECT_EQ(d.acceptsEvent(0xC7, 10, 0), 0);
    d.trackEvent(0xB7, 0, 3);
    EXPECT_EQ(d.acceptsEvent(0xC7, 10, 0), 1);
    d.trackEvent(0xC7, 10, 0);
    d.trackEvent(0xB7, 32, 1);
    EXPECT_EQ(d.acceptsEvent(0xC7, 10, 0), 1);
    d.trackEvent(0xC7, 10, 0);
    EXPECT_EQ(d.acceptsEvent(0xC7, 10, 0), 0);

    d.resetControllers();
    EXPECT_EQ(d.programOf(7), -1);
    EXPECT_EQ(d.acceptsEvent(0xC7, 10, 0), 1);
}

// ---- threads -----------------------------------------------------------------

// One thread plays through the device as a sender does (ask, send, track)
// while another asks and reads concurrently; run under ThreadSanitizer.
TEST(MidiDeviceThreads, TrackingAndAcceptingOnOneDevice)
{
    RecordingDevice d;
    constexpr int kRounds = 20000;
    std::atomic<bool> go{false};
    int played = 0;

    std::thread sender([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i) {
            const int pitch = 36 + i % 48;
            if (d.acceptsEvent(0x90, pitch, 100)) {
                d.trackEvent(0x90, pitch, 100, i, false, pitch);
                ++played;
            }
            d.trackEvent(0xB0, 7, i % 128);
            if (d.acceptsEvent(0x80, pitch, 0)) d.trackEvent(0x80, pitch, 0);
        }
    });
    std::thread other([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i) {
            const int pitch = 36 + i % 48;
            int p = 0;
            if (d.acceptsEvent(0x91, pitch, 90, &p)) d.trackEvent(0x91, pitch, 90);
            (void)d.acceptsEvent(0xB0, 7, 64);
            (void)d.acceptsEvent(0x80, pitch, 0, &p);
            (void)d.controllerOf(0, 7);
            (void)d.soundingSnapshot();
            if (d.acceptsEvent(0x81, pitch, 0)) d.trackEvent(0x81, pitch, 0);
        }
    });
    go = true;
    sender.join();
    other.join();

    EXPECT_EQ(played, kRounds);
    EXPECT_EQ(d.soundingCount(), 0);
    EXPECT_EQ(d.controllerOf(0, 7), (kRounds - 1) % 128);
    d.releaseAll();
    EXPECT_TRUE(d.released.empty());
}

} // namespace
