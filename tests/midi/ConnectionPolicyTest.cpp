// The connection rules over fixed port lists: what midiin: and midiout:
// connect, what an output change undoes, what an announcement connects or
// forgets. Above all the arranger must never hear what it plays.
#include "midi/ConnectionPolicy.h"

#include <gtest/gtest.h>

namespace {

constexpr unsigned kReadable = 0x20 | 0x01;
constexpr unsigned kWritable = 0x40 | 0x02;
constexpr int kSelf = 128;

const SeqPortInfo kThrough{14, 0, "Midi Through", "Midi Through Port-0", kReadable | kWritable};
const SeqPortInfo kKeys{20, 0, "USB Keyboard", "USB Keyboard MIDI 1", kReadable};
const SeqPortInfo kVirtual{24, 0, "Virtual Raw MIDI 1-0", "VirMIDI 1-0", kReadable | kWritable}; // echoes what it gets
const SeqPortInfo kOwn{kSelf, 0, "VTN", "Veltrona MIDI Port", kReadable | kWritable};
const SeqPortInfo kSynth{129, 0, "FLUID Synth (123)", "Synth input port (123:0)", kWritable};
const std::vector<SeqPortInfo> kPorts = {kThrough, kKeys, kVirtual, kOwn, kSynth};

std::string text(const SeqAddress& a) { return std::to_string(a.client) + ":" + std::to_string(a.port); }

ConnectionState wanting(const std::string& input, const std::string& output)
{
    ConnectionState s;
    s.self = kSelf;
    s.inputWanted = s.outputWanted = true;
    s.wantedInput = input;
    s.wantedOutput = output;
    return s;
}

// The settings file connects the output first, then the input.
TEST(ConnectionPolicy, StartUpConnectsKeyboardsButNeverTheOutputMidiThroughOrItself)
{
    const std::vector<SeqPortInfo> throughOnly = {kThrough, kOwn, kSynth};
    const struct {
        const std::vector<SeqPortInfo>* ports;
        const char *input, *output, *want;
    } rows[] = {
        {&kPorts, "", "synth", "out 129:0 in 20:0@1 24:0@2"},
        {&kPorts, "", "virmidi", "out 24:0 in 20:0@1"},           // the port it plays to echoes
        {&kPorts, "", "through", "out 14:0 in 20:0@1 24:0@2"},
        {&kPorts, "through", "synth", "out 129:0 in 14:0@0"},     // named, so taken
        {&kPorts, "veltrona", "synth", "out 129:0 in 24:0@2"},    // never itself: the last keyboard instead
        {&kPorts, "no such", "virmidi", "out 24:0 in 20:0@1"},    // nor the output as the fallback
        {&kPorts, "no such", "no such", "fallback out 129:0 in 24:0@2"},
        {&throughOnly, "", "synth", "out 129:0 in"},
    };
    for (const auto& r : rows) {
        ConnectionState s = wanting(r.input, r.output);
        const OutputChoice out = chooseOutput(*r.ports, r.output);
        s.outputs = {out.address()};
        std::string got = std::string(out.matches() ? "" : "fallback ") + "out " + text(out.address()) + " in";
        for (const InputChoice& c : chooseInputs(s, *r.ports)) got += " " + text({c.port.client, c.port.port}) + "@" + std::to_string(c.index);
        EXPECT_EQ(got, r.want) << "midiin: " << r.input << ", midiout: " << r.output;
    }
}

// A later output change undoes what the empty text took from the new output.
TEST(ConnectionPolicy, AnOutputThatIsAlsoAnInputStopsBeingOneUnderTheEmptyText)
{
    const struct {
        const char* input;
        std::vector<SeqAddress> inputs, outputs;
        const char* want;
    } rows[] = {
        {"", {{20, 0}, {24, 0}}, {{24, 0}}, "24:0 "},
        {"virtual", {{24, 0}}, {{24, 0}}, ""},
        {"", {{20, 0}, {24, 0}}, {{129, 0}}, ""},
    };
    for (const auto& r : rows) {
        ConnectionState s = wanting(r.input, "");
        s.inputs = r.inputs;
        s.outputs = r.outputs;
        std::string got;
        for (const SeqAddress& a : inputsToDrop(s)) got += text(a) + " ";
        EXPECT_EQ(got, r.want) << "midiin: " << r.input;
    }
}

// What each announcement connects ("output": the output is taken at that
// point), forgets, or whether it is ignored.
TEST(ConnectionPolicy, AnnouncementsConnectAndForget)
{
    const SeqPortInfo keysSynthKeys{30, 0, "Keys Synth", "Keys", kReadable};
    const SeqPortInfo keysSynthSound{30, 1, "Keys Synth", "Sound", kWritable};
    const SeqPortInfo echoSynth{31, 0, "Echo Synth", "Port", kReadable | kWritable};
    const SeqPortInfo secondKeys{20, 1, "USB Keyboard", "USB Keyboard MIDI 2", kReadable};
    const std::vector<SeqPortInfo> synthLost = {kThrough, kKeys, secondKeys, kVirtual, kOwn, keysSynthKeys, keysSynthSound};
    const std::vector<SeqPortInfo> echoBack = {kThrough, kKeys, kVirtual, kOwn, echoSynth};
    using A = SeqAnnouncement;
    const std::vector<SeqAddress> keys = {{20, 0}, {20, 1}, {24, 0}};
    const struct {
        const char* input;
        bool outputMatches;
        std::vector<SeqAddress> inputs;
        const std::vector<SeqPortInfo>* ports;
        A what;
        int client, port;
        const char* want;
    } rows[] = {
        {"", true, {}, &kPorts, A::PortStart, 20, 0, "connect 20:0"},
        {"", true, {{20, 0}}, &kPorts, A::PortChange, 20, 0, "connect"},      // once only
        {"", true, {}, &kPorts, A::PortStart, 14, 0, "connect"},              // Midi Through
        {"through", true, {}, &kPorts, A::PortStart, 14, 0, "connect 14:0"},
        {"", true, {}, &synthLost, A::ClientChange, 20, 0, "connect 20:0 20:1"},
        {"", false, {}, &synthLost, A::ClientChange, 30, 0, "connect 30:0 output"},
        {"", false, {}, &echoBack, A::PortStart, 31, 0, "connect output"}, // the new output is no keyboard
        {"echo", false, {}, &echoBack, A::PortStart, 31, 0, "connect 31:0 output"},
        {"", true, {}, &kPorts, A::PortStart, kSelf, 0, "ignored"},
        {"", true, keys, &kPorts, A::ClientExit, 0, 1, "ignored"},
        {"", true, keys, &kPorts, A::ClientExit, 20, 0, "forget 20:0 20:1"},
        {"", true, keys, &kPorts, A::PortExit, 20, 1, "forget 20:1"},
        {"", true, keys, &kPorts, A::PortExit, 129, 0, "forget 129:0"},      // the output
    };
    for (const auto& r : rows) {
        ConnectionState s = wanting(r.input, "synth");
        s.outputMatches = r.outputMatches;
        s.inputs = r.inputs;
        s.outputs = {{129, 0}};
        const std::string at = std::to_string(static_cast<int>(r.what)) + " " + std::to_string(r.client);
        const HotPlugEvent e = hotPlugEvent(kSelf, r.what, r.client, r.port);
        std::string got = e.kind == HotPlugEvent::Ignored ? "ignored" : e.kind == HotPlugEvent::Left ? "forget" : "connect";
        if (e.kind == HotPlugEvent::Left) {
            for (const auto* list : {&s.inputs, &s.outputs})
                for (const SeqAddress& a : *list)
                    if (e.covers(a)) got += " " + text(a);
        } else if (e.kind == HotPlugEvent::Arrived) {
            const ArrivalPlan plan = arrivalPlan(s, *r.ports, r.what, r.client, r.port);
            for (size_t i = 0; i <= plan.inputs.size(); ++i) {
                if (plan.takeOutput && i == plan.outputAfter) got += " output";
                if (i < plan.inputs.size()) got += " " + text({plan.inputs[i].client, plan.inputs[i].port});
            }
        }
        EXPECT_EQ(got, r.want) << at;
    }
}

} // namespace
