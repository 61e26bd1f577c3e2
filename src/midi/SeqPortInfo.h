#pragma once
// One port of the sequencer as the enumeration sees it. Plain data without
// ALSA, so the connection rules and their tests can use it too.
#include <string>

struct SeqPortInfo {
    int client = 0;
    int port = 0;
    std::string clientName;
    std::string portName;
    unsigned capability = 0;
    unsigned type = 0; // the sequencer's port type bits (MIDI generic, application, ...)
    bool readable() const { return capability & 0x20; }  // may be subscribed for reading
    bool writable() const { return capability & 0x40; }  // may be subscribed for writing
    std::string fullName() const { return clientName + " " + portName; }
};
