#pragma once
// The arranger's one door to the MIDI world: one sequencer client with one
// port, connected from the keyboard ports and to the chosen sound generator.
// Everything the arranger plays leaves through send().
#include "base/CMidiDevice.h"
#include "midi/CMidiCapture.h"
#include "midi/ConnectionPolicy.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <string>
#include <string_view>
#include <vector>

class CClock;
struct SeqHandle; // the sequencer side keeps its own state behind this
typedef struct snd_seq_event snd_seq_event_t;

struct OutputConnection {
    int32_t kind = 0;  // output port number: 0 "None", 1 "kvSynth", n >= 2 the (n-2)-th writable port
    std::string name;
    int32_t client = 0;
    int32_t port = 0;
};

struct ChannelRoute {
    int32_t portNumber = 0;
    int32_t connection = 0; // index into outputs
};

// How the port reaches the rest of the system without knowing it: plain
// function pointers and a context, installed by the owner before open().
// `input` gets every message played on a connected keyboard, decoded to a raw
// message; `record` gets what the port sends on its own account (the note
// offs of releaseAll, the held notes of recordHeldNotes) for the recording.
using MidiHandler = void (*)(void* context, int status, int d1, int d2);
using PortHandler = void (*)(void* context);

class CMidiPort : public CMidiDevice {
public:
    CMidiPort();
    ~CMidiPort() override;

    void setHooks(MidiHandler input, MidiHandler record, void* context);
    // Called (with the hooks' context) once the output is connected again to a
    // sound generator that came back: it knows nothing of what was set up.
    void setOutputReturnHook(PortHandler returned) { outputReturnHandler = returned; }
    // Called (with the hooks' context) when hot-plug connected a port
    // (found) or a connected one went; on the input thread.
    void setConnectionHook(void (*changed)(void* context, bool found)) { connectionHandler = changed; }
    // Time stamps of the capture come from this clock (the monotonic clock when none).
    void setClock(CClock* c)
    {
        clock = c;
        capture.setClock(c);
    }

    int open();
    // Connects every readable port whose lower-case full name contains `wanted`
    // (the last keyboard port when none does); an empty text takes every
    // keyboard port but not the output, Midi Through or our own client (see
    // ConnectionPolicy.h). A port that appears later and matches is connected
    // too (see announce).
    void connectInput(int slot, int flag, std::string_view wanted);
    // Sends to the last writable port whose lower-case full name contains `wanted`.
    // When none did, or that port goes, the next matching port that appears
    // becomes the output. With the empty input text, an input connection from
    // the new output is undone: it would echo what is played.
    void connectOutput(std::string_view wanted);
    // Hot-plug: a port or client that appeared, changed or went. A new port
    // matching the wanted input is connected; one matching the wanted output
    // replaces a lost or fallback output, and the return hook runs. A lost
    // keyboard's held keys are released through the input hook; the notes
    // sent to a lost output are forgotten, not ended. On the input thread.
    void announce(SeqAnnouncement what, int client, int port);
    // A channel message from the port (client, port) to the input hook, its
    // held keys remembered for announce. On the input thread.
    void receiveInput(int client, int port, int status, int d1, int d2);
    void disconnectOutputs();
    void outputPortName(int& number, std::string& name);
    // `dueUs` >= 0 (the clock's microseconds) hands the message to the
    // queue, stamped with that moment; the sequencer delivers it then.
    void send(int status, int d1, int d2, int64_t dueUs = -1);
    void sendTracked(int status, int d1, int d2, int64_t dueUs = -1);
    void noteOff(int channel, int pitch, int velocity, int pNoteOn, int pitchOriginal) override;
    // Takes back what is queued first, so that nothing queued sounds after it.
    void allNotesOff();

    // The queue: a song is sent a few milliseconds ahead, each message
    // stamped with its moment, so the sequencer times it as a player of
    // files does. startQueue before the first such message (false: there is
    // no queue, send at the moment instead), stopQueue after the last.
    bool startQueue();
    void stopQueue();
    // Takes back what is queued for `fromUs` or later, but never what the
    // queue has delivered. With `untilDelivered`, waits until what is kept
    // has been delivered, so that what is sent next at once comes after it;
    // whoever only queues after it need not wait. Any thread. Whoever queued
    // what was taken back learns of it through takenBackFrom; until then,
    // what is queued for a stamp taken back is withdrawn as well.
    void takeBack(int64_t fromUs, bool untilDelivered = true);
    // The earliest stamp taken back since the last call, -1 when nothing was.
    int64_t takenBackFrom();
    // How far ahead of the clock a take-back starts if the queue's time
    // cannot be read.
    static constexpr int64_t kTakeBackMarginUs = 1000;
    // A queued message is surely delivered this long after its stamp (the
    // queue's timer ticks every millisecond or faster).
    static constexpr int64_t kDeliveredUs = 3000;
    // The longest a take-back waits for what it kept to be delivered.
    static constexpr int64_t kDeliveryWaitUs = 40'000;
    void sendSysExText(std::string_view text, int64_t dueUs = -1);
    void sendMidiText(std::string_view text);
    void recordHeldNotes();
    void setChannelPort(int channel, int portNumber);
    int channelPort(int channel);
    int getInputChannel() const { return inputChannel; }

    // Full names of the ports connected now, joined by ", "; "none" when
    // there is none (a keyboard unplugged, a sound generator gone).
    std::string connectedInputNames();
    std::string connectedOutputNames();

    // True while the sequencer client is open.
    bool isOpen() const;
    // Stops the input thread and closes the client; the destructor does it too.
    void close();

    // Diagnostics: every message handed to the sequencer, in order.
    CMidiCapture capture;

    // Replaces the sequencer's port list by a fixed one: enumeration,
    // connections and output then involve no sequencer at all. For checks on
    // machines without one, and for the tests.
    void simulatePorts(const std::vector<SeqPortInfo>& ports);

    int32_t inputSlotConnected[20];
    int32_t inputSlotClient[20];
    int32_t inputSlotPort[20];
    int32_t clientId = -1;
    pthread_mutex_t lock;
    std::vector<OutputConnection> outputs;
    int32_t inputChannel = 0;
    int32_t defaultPortNumber = 0; // the settings file's output port for every channel
    ChannelRoute channelRoutes[16];

private:
    friend void* midiInputThread(void* arg);

    void listPorts(std::vector<SeqPortInfo>& ports);
    // The hand-over to the sequencer; called with lock held.
    void handOver(int status, int d1, int d2, const OutputConnection& to, int64_t dueUs);
    // The stamp a message due at `dueUs` leaves with, -1 at once,
    // kWithdrawn not at all; lock held.
    int64_t queueStamp(int64_t dueUs);
    static constexpr int64_t kWithdrawn = -2;
    // Direct, or on the queue for `dueUs` (>= 0).
    void stampEvent(snd_seq_event_t& ev, int64_t dueUs) const;
    // The queue's side in the sequencer; lock held.
    bool startSeqQueue();
    void stopSeqQueue();
    void removeQueued(int64_t fromUs);
    // Whether the sequencer still holds messages queued or on their way; lock held.
    bool seqQueueHolds();
    // Maps the clock onto the queue's time; the queue's time, -1 if unread.
    int64_t mapSeqQueue();
    // Removes what is queued for fromUs or later that the queue has not
    // passed; the earliest stamp that can have been removed. Lock held.
    int64_t takeBackSeqQueue(int64_t fromUs);
    void handOverSysEx(const uint8_t* bytes, size_t count, const OutputConnection& to, int64_t dueUs);
    void seqConnectFrom(int client, int port);
    void seqConnectTo(int client, int port);
    void seqDisconnectTo(int client, int port);
    void seqDisconnectFrom(int client, int port);
    // `hold`: the new output takes only this thread's messages until
    // releaseOutput, so the set-up reaches a returning synth before anything else.
    void connectOutputLocked(std::string_view wanted, bool hold = false);
    void releaseOutput();
    // What the connection rules decide on; connectMutex held.
    ConnectionState connectionState();
    // Undoes the input connections the new output made unwanted; connectMutex held.
    void dropLoopedInputs();
    // The input connections made, for "not twice"; connectMutex held.
    bool inputConnected(int client, int port) const;
    void rememberInput(int client, int port);
    // Forgets what was connected from and to a port or client that went;
    // true when it was the output. connectMutex held.
    bool dropPort(const HotPlugEvent& left);
    void forgetInputs(const HotPlugEvent& left);
    void releaseHeldKeys(int client, int port);

    // A raw message to the input hook; called on the input thread.
    void deliverInput(int status, int d1, int d2) const
    {
        if (inputHandler) inputHandler(hookContext, status, d1, d2);
    }
    int64_t captureTime() const;

    MidiHandler inputHandler = nullptr;
    MidiHandler recordHandler = nullptr;
    void* hookContext = nullptr;
    CClock* clock = nullptr;
    SeqHandle* seq = nullptr;
    // A display lists the ports on a thread of its own while a test
    // changes the simulated ones.
    pthread_mutex_t simulatedMutex = PTHREAD_MUTEX_INITIALIZER;
    bool simulated = false;
    std::vector<SeqPortInfo> simulatedPorts;

    // The queue, under lock: running, the latest stamp handed to it, and
    // the earliest stamp taken back since takenBackFrom last looked.
    bool queueRunning = false;
    int64_t queuedUntilUs = -1;
    int64_t takenBackUs = -1;
    std::atomic<bool> tookBack{false};

    PortHandler outputReturnHandler = nullptr;
    void (*connectionHandler)(void* context, bool found) = nullptr;
    // Set while a returning output is being set up; other threads' messages
    // are dropped then (the synth never heard their notes). Under lock.
    bool outputHeld = false;
    pthread_t outputHolder{};
    // Makes each connection change one step: the console's midiin:/midiout:
    // against the input thread's hot-plug. Taken before lock, never under it.
    pthread_mutex_t connectMutex;
    std::string wantedInput;
    std::string wantedOutput;
    bool inputWanted = false;
    bool outputWanted = false;
    bool outputMatches = false; // the output is a port that matched wantedOutput and is still there
    SeqAddress connectedInputs[64];
    static constexpr int kMaxSources = 16; // keyboards played at once
    // Keys and sustain pedals held per source; only the input thread touches
    // it, so a key costs no lock and no allocation.
    struct HeldKeys {
        int client = -1;
        int port = -1;
        uint64_t keys[16][2];
        uint16_t sustain;
    };
    HeldKeys held[kMaxSources];
};

// Body of the MIDI input thread: turns sequencer events into raw messages for
// the input hook.
void* midiInputThread(void* arg);
