#pragma once
// A small sequencer client used as the arranger's peer in tests and
// measurements: it plays the keyboard on one port and listens as the sound
// generator on another.
#include "midi/SeqPortInfo.h"

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>
#include <vector>

struct ProbeEvent {
    int type = 0;
    int channel = 0;
    int a = 0; // note / param / value
    int b = 0; // velocity / value
    std::string sysex;
    // When it arrived: read on receipt, or the moment the kernel delivered
    // it when the probe stamps arrivals (probeNowUs's clock either way).
    int64_t timeUs = 0;
    int sourceClient = -1;
    // One line: "noteon 0 60 100", "control 0 7 100", "program 0 5",
    // "pitchbend 0 0", "sysex F0 7E 7F 09 01 F7", ...
    std::string text() const;
};

// A port as the arranger lists it; the probe reads the list the same way.
using ProbePort = SeqPortInfo;

class SeqProbe {
public:
    SeqProbe() = default;
    ~SeqProbe();
    SeqProbe(const SeqProbe&) = delete;
    SeqProbe& operator=(const SeqProbe&) = delete;

    // Opens client `name` with port 0 `outName` (readable) and port 1 "in" (writable).
    bool open(const std::string& name = "vtn-probe", const std::string& outName = "out");
    bool isOpen() const { return seq != nullptr; }
    // Has the kernel stamp each event at its delivery to "in", so that its
    // time does not depend on when we get round to reading it.
    bool stampArrivals();
    int client() const { return clientId; }

    std::vector<ProbePort> ports();
    // First port whose full name contains `text`; false when none.
    bool findPort(const std::string& text, ProbePort& found);
    bool clientExists(const std::string& name);

    // Subscriptions between our ports and another port.
    bool connectOutTo(int client, int port);   // our "out" -> them
    bool connectInFrom(int client, int port);  // them -> our "in"

    // Sends on "out" to every subscriber, at once.
    bool send(const ProbeEvent& e);
    // Next event that arrives on "in"; false on time-out.
    bool receive(ProbeEvent& e, int timeoutMs);
    // Sends every channel event that arrives on "in" straight on from "out",
    // at the input thread's real-time priority where allowed; returns only
    // on a read error.
    int relay();
    // Parses "noteon 0 60 100" and the other forms of ProbeEvent::text.
    static bool parse(const std::string& text, ProbeEvent& e);

private:
    snd_seq_t* seq = nullptr;
    int clientId = -1;
    int64_t stampOriginUs = -1; // probeNowUs when the stamping queue started
};

int64_t probeNowUs();
