#pragma once
// Which ports the arranger connects from and sends to, decided over a list of
// the sequencer's ports: no sequencer, no locks, no output. CMidiPort makes
// the connections these decisions name, under its own locks.
//
// The input rule keeps the arranger from hearing itself. An empty midiin:
// text takes every keyboard port, which leaves out the port the arranger
// sends to, every port of the kernel's "Midi Through" client and the
// arranger's own client: any of them can hand the accompaniment straight back
// as chords and trigger keys. A text that names a port takes what it names,
// Midi Through included, but never the arranger's own client.
#include "midi/SeqPortInfo.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// What the sequencer's announce port (client 0, port 1) tells of other clients.
enum class SeqAnnouncement { PortStart, PortChange, PortExit, ClientChange, ClientExit };

struct SeqAddress {
    int client = -1; // -1: no port
    int port = -1;
    bool operator==(const SeqAddress&) const = default;
};

// What the port has been asked for and what it is connected to now.
struct ConnectionState {
    int self = -1;                   // the arranger's own client
    bool inputWanted = false;        // a midiin: text was given
    std::string wantedInput;
    bool outputWanted = false;       // a midiout: text was given
    std::string wantedOutput;
    bool outputMatches = false;      // the output matched wantedOutput and is still there
    std::vector<SeqAddress> inputs;  // the ports connected from
    std::vector<SeqAddress> outputs; // the ports sent to
};

// True when `p` is a port the arranger may take input from for the wanted text.
bool takesInput(const ConnectionState& s, const SeqPortInfo& p);

// A readable port to connect, with its number among the readable ports.
struct InputChoice {
    SeqPortInfo port;
    int index = -1;
};
// The ports midiin: connects: every one takesInput accepts; when none, the
// last keyboard port (what the empty text would take), so a text that
// matches nothing never connects a port that echoes the output either.
std::vector<InputChoice> chooseInputs(const ConnectionState& s, const std::vector<SeqPortInfo>& ports);

struct OutputChoice {
    std::vector<SeqPortInfo> writable; // output port numbers 2, 3, ... in this order
    std::vector<size_t> matching;      // the writable ports whose name contains the text
    int chosen = -1;                   // into writable: the last match, else the last port; -1 none
    bool matches() const { return !matching.empty(); }
    SeqAddress address() const;
};
// The port midiout: sends to: the last writable port whose lower-case full
// name contains `wanted`, else the last writable port.
OutputChoice chooseOutput(const std::vector<SeqPortInfo>& ports, std::string_view wanted);

// Input connections to undo once the output has changed: with the empty text,
// a keyboard port that has become the output would echo it back.
std::vector<SeqAddress> inputsToDrop(const ConnectionState& s);

// What one announcement means for the port.
struct HotPlugEvent {
    enum Kind { Ignored, Left, Arrived };
    Kind kind = Ignored;
    SeqAddress gone; // Left: the port that went, port -1 for a whole client
    // True when the connection at `a` went with it and is to be forgotten.
    bool covers(const SeqAddress& a) const { return a.client == gone.client && (gone.port < 0 || a.port == gone.port); }
};
// The system client's and the arranger's own announcements are ignored.
HotPlugEvent hotPlugEvent(int self, SeqAnnouncement what, int client, int port);

// What a port that appeared or changed (every port of the client for a
// ClientChange) connects: the inputs it matches that are not connected yet,
// and whether it takes over a lost or fallback output. The output is decided
// first, so the empty text does not take the port that becomes the output.
struct ArrivalPlan {
    std::vector<SeqPortInfo> inputs;
    bool takeOutput = false;
    size_t outputAfter = 0; // the output is taken after inputs[0, outputAfter)
};
ArrivalPlan arrivalPlan(const ConnectionState& s, const std::vector<SeqPortInfo>& ports, SeqAnnouncement what,
                        int client, int port);
