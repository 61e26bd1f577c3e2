// Triggers: matching codes and channel conditions, the debounce of
// controllers, attention and the keyboard menu, and that no key, pedal or
// menu entry bound to a function leaves anything hanging.
#include "support/LiveEngine.h"

#include "melody/CMelody.h"

#include <gtest/gtest.h>

namespace {

using testsupport::LiveEngineTest;

class Triggers : public LiveEngineTest {
protected:
    void SetUp() override
    {
        LiveEngineTest::SetUp();
        engine.presets[0].layers[0].type = 1;
        engine.melody->selectPreset(0);
        engine.port->capture.clear();
    }
    void bind(int entry, int code, int channel = 0)
    {
        live().setTrigger(entry, code, channel);
    }
    static TriggerEntry entry(int type, int value)
    {
        TriggerEntry e;
        e.type = type;
        e.values[0] = value;
        return e;
    }
    void later(int ms) { engine.clock->advanceTo(engine.clock->nowUs() + ms * 1000); }
    int tempo() { return engine.get(engine.play.tempo); }
    // Note ons not yet ended on the output.
    int sounding()
    {
        for (const CapturedMessage& m : engine.port->capture.take())
            if (isNote(m.status)) openNotes += isNoteOn(m.status, m.d2) ? 1 : -1;
        return openNotes;
    }
    int openNotes = 0;
};

TEST_F(Triggers, CodesChannelsAndTheDebounceOfControllers)
{
    bind(29, 64 + 129);      // controller 64: Tempo up
    bind(30, 5 + 257);       // program 5: Tempo down
    bind(31, 61, 2);         // note 60 on channel 2 only: Transposition up ...
    bind(29 + 100, 61);      // ... a later entry, any channel: preset button 29
    engine.processInput(0xB0, 64, 127);
    later(50);
    engine.processInput(0xB0, 64, 127); // a bounce
    later(60);
    engine.processInput(0xB0, 64, 0); // the pedal let go only re-arms
    EXPECT_EQ(tempo(), 125);
    later(200);
    engine.processInput(0xB0, 64, 127);
    engine.processInput(0xC0, 5, 0);
    engine.processInput(0xC0, 5, 0); // program changes are never dropped
    EXPECT_EQ(tempo(), 120);
    engine.processInput(0x90, 60, 100);
    engine.processInput(0x80, 60, 0);
    engine.processInput(0x91, 60, 100);
    engine.processInput(0x81, 60, 0);
    EXPECT_EQ(std::make_pair(engine.get(engine.play.presetIndex), engine.get(engine.play.transposition)), std::make_pair(29, 1));
    EXPECT_EQ(sounding(), 0) << "taken keys never reach the melody";

    engine.set(engine.areas.programChangeSelectsPreset, 1);
    engine.processInput(0xC0, 5, 0);
    EXPECT_EQ(std::make_pair(tempo(), engine.get(engine.play.presetIndex)), std::make_pair(120, 5));
}

TEST_F(Triggers, AfterAttentionAndAReleaseThatFollowsItsPress)
{
    bind(62, 37);        // note 36: the attention function
    bind(70, 73, 17);    // note 72, after attention only: Fill In B held
    engine.processInput(0x90, 72, 90); // no attention: an ordinary key
    EXPECT_EQ(sounding(), 1);
    engine.processInput(0x90, 36, 90);
    EXPECT_EQ(live().attentionContext, 2);
    engine.processInput(0x80, 72, 0); // released as it was pressed: to the melody
    EXPECT_EQ(sounding(), 0);
    engine.processInput(0x90, 72, 90);
    EXPECT_EQ(engine.get(engine.play.repeatFill), 1);
    engine.processInput(0x80, 36, 0);
    EXPECT_EQ(live().attentionContext, 0);
    engine.processInput(0x80, 72, 0); // the fill key lets go of its fill
    EXPECT_EQ(engine.get(engine.play.repeatFill), 0);
    EXPECT_EQ(sounding(), 0);

    // A controller-started attention lasts until the next function.
    bind(62, 20 + 129);
    bind(29, 61, 17);
    engine.processInput(0xB0, 20, 127);
    engine.processInput(0x90, 60, 90);
    engine.processInput(0x90, 60, 90);
    EXPECT_EQ(tempo(), 125);
    EXPECT_EQ(live().attentionContext, 0);
}

TEST_F(Triggers, PedalsTakenOverNeverHoldTheSoundGenerator)
{
    bind(29, 64 + 129, 17); // sustain: Tempo up, after attention
    bind(62, 37);
    engine.processInput(0xB0, 64, 127); // passes: the synth holds its notes
    engine.processInput(0xB0, 11, 20);  // expression down, passed
    engine.processInput(0x90, 36, 90);
    bind(28, 11 + 129);
    engine.port->capture.clear();
    engine.processInput(0xB0, 64, 0); // taken now: the synth must still let go
    engine.processInput(0xB0, 11, 0);
    std::vector<std::string> sent;
    for (const CapturedMessage& m : engine.port->capture.take()) sent.push_back(m.text());
    EXPECT_EQ(sent, (std::vector<std::string>{"B0 64 0", "B0 11 127"}));
}

TEST_F(Triggers, AttentionMenusAndKeyCommands)
{
    CLiveInput& in = live();
    in.triggerSets.resize(3);
    in.triggerSets[0].entries[24] = entry(kEntrySubMenu, 1);  // note 60 opens set 1
    in.triggerSets[1].attribute = 1;
    in.triggerSets[1].entries[24] = entry(kEntrySubMenu, 2);  // ... which opens set 2
    in.triggerSets[2].attribute = 1;
    in.triggerSets[2].entries[26] = entry(kEntryNote, 67);    // note 62 plays G4
    in.triggerSets[2].entries[28] = entry(kEntryFunction, 29); // note 64: Tempo up
    engine.set(engine.attention.attentionEnabled, 1);
    engine.set(engine.attention.attentionChannel, 0);
    engine.set(engine.attention.attentionTrigger, 0); // no attention key: every key from 36 up is a menu key

    engine.processInput(0x90, 30, 90); // below the menu: nothing, its release goes on
    engine.processInput(0x80, 30, 0);
    engine.processInput(0x90, 60, 90);
    engine.processInput(0x90, 60, 90);
    EXPECT_EQ(std::make_pair(in.currentSet, in.setStack.size()), std::make_pair(2, size_t{3}));
    engine.processInput(0x90, 62, 90);
    EXPECT_EQ(in.currentSet, 0) << "an autoreturn entry climbs over every autoreturn menu";
    EXPECT_EQ(sounding(), 1);
    engine.processInput(0x80, 62, 0); // the menu's note ends with its key
    EXPECT_EQ(sounding(), 0);

    // With an attention key, the menu is there while it is held, however short.
    engine.set(engine.attention.attentionTrigger, 49); // note 48
    engine.set(engine.attention.attentionActive, 0);
    engine.processInput(0x90, 64, 90);
    EXPECT_EQ(sounding(), 1) << "attention off: an ordinary key";
    engine.processInput(0x80, 64, 0);
    engine.processInput(0x90, 48, 90);
    later(20);
    engine.processInput(0x80, 48, 0);
    EXPECT_EQ(engine.get(engine.attention.attentionActive), 0);
    later(200);
    engine.processInput(0x90, 48, 90);
    in.currentSet = 2;
    in.setStack = {0, 1, 2};
    engine.processInput(0x90, 64, 90);
    EXPECT_EQ(tempo(), 125);
    EXPECT_EQ(in.executeFunction(kFnExitMenu, 1), 1);
    EXPECT_EQ(in.currentSet, 0);
}

} // namespace
