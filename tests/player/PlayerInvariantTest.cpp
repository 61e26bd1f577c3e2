// Whatever a musician does to the running accompaniment (chords on any beat,
// part requests, style changes, tempo, pause, stop and start, mutes,
// humanisation), every note the player starts ends, no note off goes out
// for a silent note, and the accompaniment stays on channels 9-16.
#include "PlayerFixture.h"

#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "support/NoteEnds.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>

namespace {

using namespace playertest;

using PlayerInvariant = PlayerFixture<::testing::TestWithParam<std::string>>;

Bytes styleBytes(const std::string& name)
{
    const std::string file = testsupport::readFile(testsupport::corpusDir() + "/styles/" + name);
    return name == "fixture" ? fixtureStyle() : Bytes(file.begin(), file.end());
}

TEST_P(PlayerInvariant, EveryNoteStartedEndsWhateverTheMusicianDoes)
{
    const Bytes first = styleBytes(GetParam());
    if (first.empty()) GTEST_SKIP() << "no corpus here";
    const Bytes second = fixtureStyle(100);
    ASSERT_GE(load(first, "Styles/First.sty"), 0);
    std::mt19937 rng(20261207);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const int roots[] = {0, 2, 4, 5, 7, 9, 10, 11};
    const int types[] = {0, 1, 2, 8, 9, 10, 17, 29};
    bool useFirst = true;
    engine.setChord(0, 0, -1);
    for (int step = 0; step < 1000; ++step) {
        run(10 + pick(400));
        switch (pick(10)) {
        case 0:
        case 1:
        case 2: engine.setChord(roots[pick(8)], types[pick(8)], pick(4) == 0 ? roots[pick(8)] : -1); break;
        case 3: {
            const CStyle* s = engine.currentStyle();
            if (s && s->partCount() > 1) engine.requestPart(1 + pick(s->partCount() - 1));
            break;
        }
        case 4:
            useFirst = !useFirst;
            engine.loadStyle(-2, (useFirst ? first : second).data(), static_cast<int>((useFirst ? first : second).size()), "Styles/Next.sty");
            break;
        case 5: engine.setTempo(40 + pick(211)); break;
        case 6: engine.set(engine.play.paused, engine.get(engine.play.paused) ? 0 : 1); break;
        case 7:
            engine.set(engine.play.paused, 0);
            stop();
            engine.setChord(roots[pick(8)], 0, -1);
            break;
        case 8: {
            int32_t* mutes[] = {&engine.mixer.drumsOff, &engine.mixer.bassOff, &engine.mixer.otherOff};
            int32_t& mute = *mutes[pick(3)];
            engine.set(mute, engine.get(mute) ? 0 : 1);
            break;
        }
        default:
            engine.set(engine.mixer.velocityVariety, pick(11));
            engine.set(engine.mixer.pitchVariety, pick(11));
            engine.set(engine.mixer.bassVariety, pick(11));
            break;
        }
    }
    engine.set(engine.play.paused, 0);
    stop();
    const auto sent = engine.port->capture.take();
    int ons = 0;
    for (const auto& m : sent) ons += isNoteOn(m.status, m.d2);
    EXPECT_GT(ons, 300); // the accompaniment really played
    EXPECT_TRUE(testsupport::everyNoteOnEnds(sent, 0, true));
    EXPECT_TRUE(std::all_of(sent.begin(), sent.end(), [](const CapturedMessage& m) { return !m.sysex.empty() || m.channel() >= 8; }));
}

INSTANTIATE_TEST_SUITE_P(Styles, PlayerInvariant,
                         ::testing::Values("fixture", "JazzWaltzMed.S351.sst", "LingusFunk.S066.sty", "SambaCity213.s460.sty",
                                           "8Beat.T160.STY", "ModPickin!.T151.STY"),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                             std::string name = p.param.substr(0, p.param.find('.'));
                             std::erase_if(name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); });
                             return name;
                         });

} // namespace
