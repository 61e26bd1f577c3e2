// The song player on the manual clock: time moves exactly to each wake-up of
// the player thread, so every message leaves at its ideal time.
#include "PlayerFixture.h"
#include "support/TestSupport.h"

#include "base/MidiStatus.h"
#include "sequence/CMidiSequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr int kTpb = 480;
constexpr int kBar = 4 * kTpb;

// A song built event by event in list 0, in 4/4 at 480 ticks per beat.
struct Song {
    std::unique_ptr<CMidiSequence> seq = std::make_unique<CMidiSequence>();
    explicit Song(int bpm = 120)
    {
        seq->ticksPerBeat = kTpb;
        seq->tempo = bpm;
        seq->name = "Song.mid";
    }
    Song& add(int tick, int stat, int d1, int d2)
    {
        const int at = seq->findAfter(tick, 0);
        seq->insertEvent(at, tick, stat, d1, d2, {}, 0, 0);
        return *this;
    }
    Song& note(int tick, int channel, int pitch, int length = 240)
    {
        add(tick, noteOnStatus(channel), pitch, 100);
        return add(tick + length, noteOffStatus(channel), pitch, 0);
    }
    // A note at every beat of `bars` bars, on channel index 1 at the first
    // beat and 0 at the others; its pitch is 60 + the bar number, so each
    // message tells where it came from.
    static Song bars(int bars, int bpm = 120)
    {
        Song s(bpm);
        for (int b = 0; b < bars; ++b)
            for (int beat = 0; beat < 4; ++beat) s.note(b * kBar + beat * kTpb, beat == 0 ? 1 : 0, 61 + b);
        return s;
    }
};

class SongPlayer : public playertest::PlayerTest {
protected:
    void start(Song& s, int startBar = 0, int endBar = 0, int loop = 0, int record = 0, int click = 0)
    {
        engine.set(engine.songState.playMode, 1);
        origin = engine.clock->nowUs();
        EXPECT_EQ(engine.startSongPlayer(s.seq.get(), startBar, endBar, loop, record, click), 0);
    }
    int64_t origin = 0;
};

// Tempo events on the way and while playing; text and the arranger's own
// events never leave the port; SysEx does.
TEST_F(SongPlayer, PlaysEveryMessageInTimeFollowingTheTempoAndEndsByItself)
{
    Song s = Song::bars(3);
    s.add(kBar, kStatTempo, 60, 0);
    s.add(kBar, kStatMarker, 0, 0).add(kBar, kStatChord, 0, 0).add(kBar, kStatLyric, 0, 0);
    const int sysex = s.seq->insertEvent(s.seq->findAfter(2 * kBar, 0), 2 * kBar, kStatSysEx, 0, 0, "F0 7E 7F 09 01 F7", 0, 0);
    ASSERT_GE(sysex, kFirstEvent);
    start(s);
    run(20000);
    EXPECT_FALSE(engine.isPlaying());
    const std::vector<CapturedMessage> out = sent();
    std::vector<std::tuple<int64_t, int>> got;
    for (const CapturedMessage& m : out)
        if (isNoteOn(m.status, m.d2) || m.status == 0xF0) got.emplace_back((m.timeUs - origin) / 1000, m.status == 0xF0 ? 0 : m.d1);
    // Bar 1 at 120 BPM, bars 2 and 3 at 60; the SysEx at the start of bar 3.
    const std::vector<std::tuple<int64_t, int>> want = {{0, 61},    {500, 61},  {1000, 61}, {1500, 61}, {2000, 62}, {3000, 62},
                                                        {4000, 62}, {5000, 62}, {6000, 63}, {6000, 0},  {7000, 63}, {8000, 63},
                                                        {9000, 63}};
    EXPECT_EQ(got, want);
    for (const CapturedMessage& m : out) EXPECT_TRUE(m.status >= 0x80) << m.text();
    EXPECT_EQ(std::make_tuple(engine.get(engine.songState.playMode), engine.get(engine.play.tempo), engine.port->soundingCount()),
              std::make_tuple(0, 60, 0));
}

// Which bars sound, in order, for ranges, loops and a start bar moved while
// looping; a pass begins with the tempo in force at its start bar.
TEST_F(SongPlayer, RangesPlayOnceOrLoopFromTheirStartBar)
{
    struct Case {
        const char* what;
        int startBar, endBar, loop;
        int64_t changeMs; // when to move the start bar or switch the loop off; 0 = never
        int moveStartTo, loopOff;
        int64_t runMs;
        std::vector<int> bars;
        int startAfter, endAfter;
    };
    // Bar 1 lasts 2 s (120 BPM), every later bar 1 s (240 BPM from bar 2).
    const Case cases[] = {
        {"start bar 3 with the tempo before it", 3, 0, 0, 0, 0, 0, 10000, {3, 4, 5, 6}, 3, 0},
        {"range looped", 2, 4, 1, 0, 0, 0, 6500, {2, 3, 4, 2, 3, 4, 2}, 2, 4},
        {"start moved while looping", 2, 4, 1, 1000, 4, 0, 5500, {2, 3, 4, 4, 4, 4}, 4, 4},
        {"range passed once without loop is dropped", 0, 4, 0, 0, 0, 0, 10000, {1, 2, 3, 4, 5, 6}, 0, 0},
        {"end before start loops the start bar", 3, 2, 1, 0, 0, 0, 2500, {3, 3, 3}, 3, 2},
        {"loop switched off inside the range plays on", 2, 2, 1, 1500, 0, 1, 10000, {2, 2, 3, 4, 5, 6}, 0, 0},
        {"loop switched off as the range ends plays on", 2, 2, 1, 940, 0, 1, 10000, {2, 3, 4, 5, 6}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Song s = Song::bars(6);
        s.add(kBar, kStatTempo, 240, 0).add(0, programStatus(1), 33, 0).add(10, controllerStatus(1), kCtlVolume, 90);
        start(s, c.startBar, c.endBar, c.loop);
        if (c.changeMs) {
            run(c.changeMs);
            if (c.moveStartTo) engine.set(engine.songState.songStartBar, c.moveStartTo);
            if (c.loopOff) engine.set(engine.songState.songLoop, 0);
            run(c.runMs - c.changeMs);
        } else {
            run(c.runMs);
        }
        std::vector<int> bars; // the first beat of each bar is on channel index 1
        std::string before;    // what is sent before the first note
        for (const CapturedMessage& m : sent()) {
            if (isNoteOn(m.status, m.d2) && m.channel() == 1) bars.push_back(m.d1 - 60);
            if (bars.empty() && !isNote(m.status)) before += m.text() + ";";
        }
        EXPECT_EQ(bars, c.bars);
        // The voice and volume set in bar 1 sound from any later start bar.
        EXPECT_EQ(before, c.startBar > 1 ? "C1 33 0;B1 7 90;" : "");
        EXPECT_EQ(std::make_tuple(engine.get(engine.songState.songStartBar), engine.get(engine.songState.songEndBar)),
                  std::make_tuple(c.startAfter, c.endAfter));
        stop();
        sent();
    }
}

// The mixer groups on a song: the bar loop, the switches and the volume rule,
// with the bass channel following a program change to a bass program.
TEST_F(SongPlayer, MixerGroupsFilterAndScaleTheSong)
{
    struct Case {
        const char* what;
        int barLoop, drumsOff, bassOff, otherOff, accomp, bass;
        std::vector<int> channels; // channels whose notes sound; a group switched off keeps its controllers
        int bassVolume, otherVolume; // controller 7 sent on channels 3 and 0
    };
    const Case cases[] = {
        {"all on", 0, 0, 0, 0, 100, 100, {0, 3, 9}, 100, 100},
        {"bar loop: drums and bass only", 1, 0, 0, 0, 100, 100, {3, 9}, 100, 100},
        {"drums off", 0, 1, 0, 0, 100, 100, {0, 3}, 100, 100},
        {"bass off follows the program change", 0, 0, 1, 0, 100, 100, {0, 9}, 100, 100},
        {"other off", 0, 0, 0, 1, 100, 100, {3, 9}, 100, 100},
        {"bass at half, accompaniment at 150", 0, 0, 0, 0, 150, 50, {0, 3, 9}, 75, 113},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Song s;
        s.add(0, 0xC3, 33, 0).add(0, 0xB3, kCtlVolume, 100).add(0, 0xB0, kCtlVolume, 100);
        for (int ch : {0, 3, 9}) s.note(kTpb, ch, 60);
        engine.set(engine.mixer.drumsOff, c.drumsOff);
        engine.set(engine.mixer.bassOff, c.bassOff);
        engine.set(engine.mixer.otherOff, c.otherOff);
        engine.set(engine.mixer.accompVolume, c.accomp);
        engine.set(engine.mixer.bassVolume, c.bass);
        start(s);
        if (c.barLoop) engine.set(engine.songState.barLoop, 1);
        run(3000);
        std::vector<int> channels;
        int volume[16];
        std::fill(std::begin(volume), std::end(volume), -1);
        for (const CapturedMessage& m : sent()) {
            if (isNoteOn(m.status, m.d2)) channels.push_back(m.channel());
            if (isController(m.status) && m.d1 == kCtlVolume) volume[m.channel()] = m.d2;
        }
        std::sort(channels.begin(), channels.end());
        EXPECT_EQ(channels, c.channels);
        EXPECT_EQ(std::make_tuple(volume[3], volume[0]), std::make_tuple(c.bassVolume, c.otherVolume));
        // Later volume changes start from the song's own level.
        EXPECT_EQ(engine.port->controllerOf(3, kCtlVolume), 100);
        EXPECT_EQ(engine.get(engine.songState.songBassChannel), 3);
        stop();
    }
}

// Recording over a song: the musician's notes and the song's land in one
// file stamped in the song's ticks, every note with its note off; the click
// sounds on every beat until the musician stops, each click ended, and is
// not recorded.
TEST_F(SongPlayer, RecordingOverASongKeepsTheSongAndTheMusicianWithAClick)
{
    struct Saved {
        std::vector<uint8_t> file;
    } saved;
    engine.hooks.saveRecording = [](void* context, CMidiSequence* rec) {
        auto* out = static_cast<Saved*>(context);
        out->file.resize(static_cast<size_t>(rec->writeMidiFile("VeltronaLive", SequenceOptions())));
        rec->copyOut(out->file.data());
    };
    engine.hooks.context = &saved;
    Song s = Song::bars(1);
    start(s, 0, 0, 0, 1, 1);
    run(250);
    engine.sendEvent(noteOnStatus(0), 72, 90); // played on the keyboard
    run(500);
    engine.sendEvent(noteOffStatus(0), 72, 0);
    engine.sendEvent(noteOnStatus(0), 74, 90); // still held when the musician stops
    run(3000);
    EXPECT_TRUE(engine.isPlaying()) << "recording goes on after the song's end";
    EXPECT_EQ(engine.requestStop(), 1);
    run(10);
    ASSERT_FALSE(engine.isPlaying());

    std::vector<std::tuple<int64_t, int>> clicks; // (ms, pitch) of each click note on
    int clickOffs = 0;
    for (const CapturedMessage& m : sent()) {
        if (m.channel() != 9) continue;
        if (isNoteOn(m.status, m.d2)) clicks.emplace_back((m.timeUs - origin) / 1000, m.d1);
        else if (isNote(m.status)) ++clickOffs;
    }
    const std::vector<std::tuple<int64_t, int>> beats = {{0, 77},    {500, 60},  {1000, 60}, {1500, 60},
                                                         {2000, 77}, {2500, 60}, {3000, 60}, {3500, 60}};
    EXPECT_EQ(clicks, beats);
    EXPECT_EQ(clickOffs, static_cast<int>(clicks.size()));

    ASSERT_FALSE(saved.file.empty());
    CMidiSequence back;
    ASSERT_GT(back.readMidiFile(saved.file.data(), 0, static_cast<int>(saved.file.size()), SequenceOptions()), 0);
    EXPECT_EQ(back.ticksPerBeat, kTpb);
    std::vector<std::tuple<int, int, int>> notes; // (tick, channel, pitch) of note ons
    for (int r = back.events[kMainList].next; r >= kFirstEvent; r = back.events[static_cast<size_t>(r)].next) {
        const MidiEvent& e = back.events[static_cast<size_t>(r)];
        if (!isNoteOn(e.stat, e.db2)) continue;
        notes.emplace_back(e.ticks, e.stat & 15, e.db1);
        EXPECT_GT(e.onoff, 0) << "note without its note off at " << e.ticks;
    }
    const std::vector<std::tuple<int, int, int>> want = {{0, 1, 61}, {240, 0, 72}, {480, 0, 61}, {720, 0, 74}, {960, 0, 61},
                                                         {1440, 0, 61}};
    EXPECT_EQ(notes, want);

    testsupport::TempDir dir;
    dir.write("take.mid", std::string(saved.file.begin(), saved.file.end()));
    std::string out(1 << 16, '\0');
    std::FILE* p = popen(("/usr/bin/python3 '" VTN_SOURCE_DIR "/tools/smf_reference.py' '" + dir.file("take.mid") + "' 2>/dev/null").c_str(), "r");
    out.resize(p ? std::fread(out.data(), 1, out.size(), p) : 0);
    if (p) pclose(p);
    if (out.empty()) return; // no mido here
    EXPECT_NE(out.find("\"channelNoteCount\": [5, 1, 0"), std::string::npos) << out.substr(0, 400);
}

// A song and the accompaniment never play at once: chords do not start the
// style while a song is loaded, and Start/Stop stops whichever plays.
TEST_F(SongPlayer, SongAndAccompanimentNeverPlayAtOnce)
{
    const playertest::Bytes style = playertest::fixtureStyle();
    ASSERT_GE(engine.loadStyle(-2, style.data(), static_cast<int>(style.size()), "Styles/Fixture.sty"), 0);
    auto fn = [&](int id) { return engine.liveInput->callFunction(id, 1); };
    Song s = Song::bars(2);
    CMidiSequence* song = s.seq.release();
    engine.installSequence(kSongId, song);
    engine.set(engine.songState.playMode, 1);

    Chord c;
    parseChordSymbol(c, "C");
    engine.setFreeChord(c);
    engine.setChord(0, 0, -1);
    EXPECT_FALSE(engine.isPlaying());
    fn(4); // the loaded song starts
    run(100);
    EXPECT_EQ(std::make_tuple(engine.isSongPlaying(), engine.isStylePlaying()), std::make_tuple(1, 0));
    engine.setFreeChord(c);
    run(100);
    EXPECT_EQ(engine.isStylePlaying(), 0);
    fn(4);
    run(100);
    EXPECT_FALSE(engine.isPlaying());
    EXPECT_EQ(engine.port->soundingCount(), 0);
    // A style loaded while the song plays leaves it playing, and Start/Stop stops it.
    engine.set(engine.songState.playMode, 1);
    fn(4);
    ASSERT_GE(engine.loadStyle(-2, style.data(), static_cast<int>(style.size()), "Styles/Fixture.sty"), 0);
    run(100);
    EXPECT_EQ(std::make_tuple(engine.get(engine.songState.playMode), engine.isSongPlaying()), std::make_tuple(0, 1));
    fn(4);
    run(100);
    EXPECT_FALSE(engine.isPlaying());

    // A song asked for while the accompaniment plays does not start.
    engine.setChord(0, 0, -1);
    run(100);
    ASSERT_EQ(engine.isStylePlaying(), 1);
    engine.set(engine.songState.playMode, 1);
    EXPECT_EQ(engine.startSongPlayer(song, 0, 0, 0, 0, 0), 1);
    fn(4); // stops the accompaniment
    run(100);
    EXPECT_FALSE(engine.isPlaying());
}

} // namespace

// A song is queued a few milliseconds ahead. Whatever takes back what is
// queued (a stop, a pause, a group switched off, a cut of every note for a
// transposition) leaves no note hanging or doubled, loses none that should
// sound, keeps the recording to what sounded, and the song goes on in time.
TEST_F(SongPlayer, WhatIsQueuedIsTakenBackWithoutAHangingOrDoubledNote)
{
    enum Action { kStop, kPause, kDrumsOff, kTranspose };
    struct Case {
        const char* what;
        Action action;
        int record;
        int notes, drumNotes; // note ons sent in all; -1: fewer than the song has
    };
    const Case cases[] = {
        {"stop", kStop, 0, -1, -1},
        {"pause and resume", kPause, 0, 960, 320},
        {"pause and resume while recorded over", kPause, 1, 960, 320},
        {"drums switched off", kDrumsOff, 0, -1, -1},
        {"transposed: every note cut", kTranspose, 0, 960, 320},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A note every 2 ticks (about 2 ms), overlapping the next; every third on the drums.
        Song s;
        for (int i = 0; i < 960; ++i) s.note(2 * i, i % 3 == 2 ? 9 : i % 3, 40 + i % 40, 3);
        int recorded = -1;
        engine.hooks.saveRecording = [](void* context, CMidiSequence* rec) {
            int n = 0;
            for (int r = rec->events[kMainList].next; r >= kFirstEvent; r = rec->events[static_cast<size_t>(r)].next)
                n += isNoteOn(rec->events[static_cast<size_t>(r)].stat, rec->events[static_cast<size_t>(r)].db2);
            *static_cast<int*>(context) = n;
        };
        engine.hooks.context = &recorded;
        start(s, 0, 0, 0, c.record);
        run(1000);
        const int64_t at = now();
        switch (c.action) {
        case kStop: engine.requestStop(); break;
        case kPause:
            engine.togglePause();
            run(300);
            engine.togglePause();
            break;
        case kDrumsOff:
            engine.set(engine.mixer.drumsOff, 1);
            engine.wakePlayer();
            break;
        case kTranspose: engine.changeTransposition(2, true); break;
        }
        run(5000);
        stop();
        engine.set(engine.mixer.drumsOff, 0);
        engine.setTransposition(0);

        // A cut ends every note by all notes off; the end's (after the last note on) does not count.
        const std::vector<CapturedMessage> out = sent();
        size_t last = 0;
        for (size_t i = 0; i < out.size(); ++i)
            if (isNoteOn(out[i].status, out[i].d2)) last = i;
        bool sounding[16][128] = {};
        int notes = 0, drumNotes = 0, late = 0;
        int64_t lastOn = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            const CapturedMessage& m = out[i];
            if (isController(m.status) && m.d1 == kCtlAllNotesOff && i < last) std::fill(std::begin(sounding[m.channel()]), std::end(sounding[m.channel()]), false);
            if (!isNote(m.status)) continue;
            bool& on = sounding[m.channel()][m.d1];
            if (isNoteOn(m.status, m.d2)) {
                EXPECT_FALSE(on) << "doubled " << m.text() << " at " << (m.timeUs - origin) / 1000;
                ++notes;
                drumNotes += m.channel() == 9;
                lastOn = m.timeUs - origin;
                const bool silenced = c.action == kStop || (c.action == kDrumsOff && m.channel() == 9) || (c.action == kPause && m.timeUs < at + 300'000);
                late += m.timeUs > at && silenced;
            }
            on = isNoteOn(m.status, m.d2);
        }
        for (auto& channel : sounding)
            for (bool on : channel) EXPECT_FALSE(on) << "a note hangs";
        EXPECT_EQ(late, 0) << "note ons after they were taken back";
        if (c.notes >= 0) {
            EXPECT_EQ(std::make_tuple(notes, drumNotes), std::make_tuple(c.notes, c.drumNotes));
            // The last note (tick 1918) in time, after the pause if there was one.
            EXPECT_NEAR(static_cast<double>(lastOn) / 1000, 1918 * 500.0 / kTpb + (c.action == kPause ? 300 : 0), 0.01);
        } else {
            EXPECT_LT(notes, 960);
        }
        if (c.record) {
            EXPECT_EQ(recorded, notes) << "the recording holds what sounded, once";
        }
    }
}
