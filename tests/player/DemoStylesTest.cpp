// The demo styles of demo/style-sources/: each description builds into a style with
// the parts a player reaches for, and over chords of every family each part's
// chord instruments sound only tones of the chord and the bass its root (or
// the bass note of a slash chord).
#include "PlayerFixture.h"
#include "StyleDescription.h"

#include "base/MidiStatus.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

using playertest::PlayerTest;

// Triads, sevenths, five-note chords (whose tension stands in for the fifth),
// suspended, diminished, augmented and slash chords, on roots both sides of
// the high key.
constexpr const char* kChords[] = {"C",     "Am7",  "F#m7b5", "Bb7(9)", "Ebdim7",     "G7sus4", "Abaug",
                                   "Dm7(11)", "E7(b9)", "C/E", "F/G",   "Dbmaj7(9)", "B1+2+5"};

TEST_F(PlayerTest, DemoStylesSoundChordTonesAndTheRoot)
{
    for (const char* name : {"DemoPop", "DemoWaltz"}) {
        SCOPED_TRACE(name);
        const std::string desc = testsupport::readFile(std::string(VTN_SOURCE_DIR) + "/demo/style-sources/" + name + ".json");
        stylewriter::Bytes file;
        std::string why;
        ASSERT_TRUE(stylewriter::buildStyleFromDescription(desc, file, why)) << why;
        ASSERT_GE(load(file), 0);
        const CStyle& style = *engine.currentStyle();
        const int64_t barMs = 60000 * style.numerator / style.tempo;

        // Four chords a part, in turn, so that the parts together play every chord.
        size_t next = 0;
        for (const char* partName : {"Intro A", "Main A", "Fill In AA", "Main B", "Fill In BB", "Ending A"}) {
            SCOPED_TRACE(partName);
            const int p = part(partName);
            ASSERT_GT(p, 0);
            engine.selectPart(p);
            int notes = 0;
            for (int k = 0; k < 4; ++k) {
                const char* symbol = kChords[next++ % std::size(kChords)];
                Chord chord;
                parseChordSymbol(chord, symbol);
                engine.setChord(chord.root, chord.type, chord.bass);
                run(barMs);
                for (const CapturedMessage& m : engine.port->capture.take()) {
                    if (!isNoteOn(m.status, m.d2) || m.channel() == 9) continue;
                    const int pc = m.d1 % 12;
                    // The set-up part carries every channel's destination and table.
                    const PartChannel* ch = nullptr;
                    for (const PartChannel& c : style.parts[0].channels)
                        if (c.dest == m.channel()) ch = &c;
                    ASSERT_NE(ch, nullptr) << "channel " << m.channel() + 1;
                    ++notes;
                    if (ch->ntt == 3) {
                        EXPECT_EQ(pc, chord.bass >= 0 ? chord.bass : chord.root) << symbol << ": bass pitch " << m.d1;
                        continue;
                    }
                    bool tone = false;
                    for (const int interval : chord.intervals) tone = tone || (interval >= 0 && (chord.root + interval) % 12 == pc);
                    EXPECT_TRUE(tone) << symbol << ": channel " << m.channel() + 1 << " pitch " << m.d1;
                }
            }
            EXPECT_GT(notes, 0);
            stop();
            engine.port->capture.clear();
        }
    }
}

} // namespace
