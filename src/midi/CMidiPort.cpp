#include "midi/CMidiPort.h"

#include "base/CClock.h"
#include "base/CLockGuard.h"
#include "base/MessageSink.h"
#include "base/Text.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace {
// Longest SysEx text that is sent; a longer one is not sent at all.
constexpr size_t kMaxSysExText = 1500;

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Byte of the hex pair at position pos, -1 when the pair is incomplete or not hex.
int hexPair(std::string_view text, size_t pos)
{
    if (pos + 1 >= text.size()) return -1;
    const int hi = hexValue(text[pos]);
    const int lo = hexValue(text[pos + 1]);
    return (hi < 0 || lo < 0) ? -1 : hi * 16 + lo;
}
} // namespace

CMidiPort::CMidiPort()
{
    initSharedMutex(lock);
    pthread_mutex_init(&connectMutex, nullptr);
    for (HeldKeys& h : held) {
        h.client = h.port = -1;
        std::memset(h.keys, 0, sizeof h.keys);
        h.sustain = 0;
    }
    for (int i = 0; i < 20; ++i) {
        inputSlotConnected[i] = 0;
        inputSlotClient[i] = -1;
        inputSlotPort[i] = -1;
    }
    outputs.reserve(16);
}

CMidiPort::~CMidiPort()
{
    close();
    pthread_mutex_destroy(&connectMutex);
    pthread_mutex_destroy(&lock);
}

void CMidiPort::setHooks(MidiHandler input, MidiHandler record, void* context)
{
    inputHandler = input;
    recordHandler = record;
    hookContext = context;
}

void CMidiPort::simulatePorts(const std::vector<SeqPortInfo>& ports)
{
    CLockGuard hold(simulatedMutex);
    simulated = true;
    simulatedPorts = ports;
}

void CMidiPort::connectInput(int slot, int, std::string_view wanted)
{
    if (slot > 0) return;
    CLockGuard hold(connectMutex);
    wantedInput = std::string(wanted);
    inputWanted = true;
    std::vector<SeqPortInfo> ports;
    listPorts(ports);
    for (const InputChoice& c : chooseInputs(connectionState(), ports)) {
        const SeqPortInfo& p = c.port;
        seqConnectFrom(p.client, p.port);
        rememberInput(p.client, p.port);
        if (c.index < 20) {
            inputSlotConnected[c.index] = 1;
            inputSlotClient[c.index] = p.client;
            inputSlotPort[c.index] = p.port;
        }
        vtn::printLine("Midi In: " + p.fullName());
    }
}

ConnectionState CMidiPort::connectionState()
{
    ConnectionState s;
    s.self = clientId;
    s.inputWanted = inputWanted;
    s.wantedInput = wantedInput;
    s.outputWanted = outputWanted;
    s.wantedOutput = wantedOutput;
    s.outputMatches = outputMatches;
    for (const SeqAddress& a : connectedInputs)
        if (a.client >= 0) s.inputs.push_back(a);
    s.outputs.reserve(16); // one entry per channel at most: nothing is allocated under the send lock
    CLockGuard guard(lock);
    for (const OutputConnection& o : outputs)
        if (o.kind > 1) s.outputs.push_back({o.client, o.port});
    return s;
}

namespace {
// The full name of the port at client:port among `ports`, empty when gone.
std::string liveName(const std::vector<SeqPortInfo>& ports, int client, int port)
{
    for (const SeqPortInfo& p : ports)
        if (p.client == client && p.port == port) return p.fullName();
    return {};
}

void appendName(std::string& list, const std::string& name)
{
    if (name.empty() || list.find(name) != std::string::npos) return;
    if (!list.empty()) list += ", ";
    list += name;
}
} // namespace

std::string CMidiPort::connectedInputNames()
{
    std::vector<SeqPortInfo> ports;
    listPorts(ports);
    std::vector<SeqAddress> inputs;
    {
        CLockGuard hold(connectMutex);
        inputs.assign(std::begin(connectedInputs), std::end(connectedInputs));
    }
    std::string names;
    for (const SeqAddress& a : inputs)
        if (a.client >= 0) appendName(names, liveName(ports, a.client, a.port));
    return names.empty() ? "none" : names;
}

std::string CMidiPort::connectedOutputNames()
{
    std::vector<SeqPortInfo> ports;
    listPorts(ports);
    std::vector<std::pair<int, int>> targets;
    {
        CLockGuard guard(lock);
        for (const OutputConnection& o : outputs)
            if (o.kind > 1) targets.emplace_back(o.client, o.port);
    }
    std::string names;
    for (const auto& [client, port] : targets) appendName(names, liveName(ports, client, port));
    return names.empty() ? "none" : names;
}

void CMidiPort::disconnectOutputs()
{
    CLockGuard guard(lock);
    while (!outputs.empty()) {
        const OutputConnection& e = outputs.back();
        if (e.kind > 1) seqDisconnectTo(e.client, e.port);
        outputs.pop_back();
    }
}

void CMidiPort::outputPortName(int& number, std::string& name)
{
    if (number == 0) {
        name = "None";
        return;
    }
    if (number == 1) {
        name = "kvSynth";
        return;
    }
    std::vector<SeqPortInfo> ports;
    listPorts(ports);
    int n = 2;
    for (const SeqPortInfo& p : ports) {
        if (!p.writable()) continue;
        if (n == number) {
            name = p.portName;
            return;
        }
        ++n;
    }
    number = -1;
}

void CMidiPort::connectOutput(std::string_view wanted)
{
    CLockGuard hold(connectMutex);
    connectOutputLocked(wanted);
}

void CMidiPort::connectOutputLocked(std::string_view wanted, bool hold)
{
    const std::string text(wanted); // `wanted` may be wantedOutput itself
    wantedOutput = text;
    outputWanted = true;
    disconnectOutputs();
    std::vector<SeqPortInfo> ports;
    listPorts(ports);
    const OutputChoice choice = chooseOutput(ports, text);
    const std::vector<SeqPortInfo>& writable = choice.writable;
    const int chosen = choice.chosen;
    for (size_t i : choice.matching) vtn::printLine("Midi Out: " + writable[i].fullName());
    outputMatches = choice.matches();
    if (!outputMatches) vtn::printLine("Midi Out: " + (writable.empty() ? std::string() : writable.back().fullName()));

    // Build the new list first, then install it under the send lock so that
    // a message sent meanwhile by another thread never sees a half-built list.
    std::vector<OutputConnection> built;
    ChannelRoute routes[16];
    for (int c = 0; c < 16; ++c) {
        routes[c].portNumber = chosen + 2;
        int earlier = -1;
        for (int e = 0; e < c; ++e)
            if (routes[e].portNumber == routes[c].portNumber) earlier = e;
        if (earlier >= 0) {
            routes[c].connection = routes[earlier].connection;
            continue;
        }
        int n = routes[c].portNumber;
        std::string name;
        outputPortName(n, name);
        OutputConnection entry;
        if (n < 0) {
            entry = {0, "", 0, 0};
        } else if (n <= 1) {
            entry = {n, name, 0, 0};
        } else {
            const SeqPortInfo& w = writable[static_cast<size_t>(n - 2)];
            entry = {n, name, w.client, w.port};
            seqConnectTo(w.client, w.port);
        }
        built.push_back(entry);
        routes[c].connection = static_cast<int>(built.size()) - 1;
    }
    {
        CLockGuard guard(lock);
        outputs = std::move(built);
        std::copy(std::begin(routes), std::end(routes), channelRoutes);
        outputHeld = hold;
        outputHolder = pthread_self();
    }
    dropLoopedInputs();
}

void CMidiPort::dropLoopedInputs()
{
    // The held keys of a dropped source stay: they belong to the input
    // thread, and this may run on the console's.
    for (const SeqAddress& a : inputsToDrop(connectionState())) {
        seqDisconnectFrom(a.client, a.port);
        forgetInputs({HotPlugEvent::Left, a});
    }
}

void CMidiPort::releaseOutput()
{
    CLockGuard guard(lock);
    outputHeld = false;
}

bool CMidiPort::inputConnected(int client, int port) const
{
    for (const SeqAddress& a : connectedInputs)
        if (a.client == client && a.port == port) return true;
    return false;
}

void CMidiPort::rememberInput(int client, int port)
{
    if (inputConnected(client, port)) return;
    for (SeqAddress& a : connectedInputs) {
        if (a.client < 0) {
            a = {client, port};
            return;
        }
    }
}

void CMidiPort::forgetInputs(const HotPlugEvent& left)
{
    for (SeqAddress& a : connectedInputs)
        if (left.covers(a)) a = {};
    for (int i = 0; i < 20; ++i) {
        if (inputSlotConnected[i] && left.covers({inputSlotClient[i], inputSlotPort[i]})) {
            inputSlotConnected[i] = 0;
            inputSlotClient[i] = inputSlotPort[i] = -1;
        }
    }
}

bool CMidiPort::dropPort(const HotPlugEvent& left)
{
    forgetInputs(left);
    bool lost = false;
    CLockGuard guard(lock);
    for (OutputConnection& e : outputs) {
        if (e.kind > 1 && left.covers({e.client, e.port})) {
            e.kind = 0; // nothing more is sent to whoever gets the address next
            lost = true;
        }
    }
    if (lost) outputMatches = false;
    return lost;
}

void CMidiPort::receiveInput(int client, int port, int status, int d1, int d2)
{
    const bool on = isNoteOn(status, d2);
    const bool off = isNoteOff(status, d2);
    const bool pedal = isController(status) && d1 == kCtlSustain;
    if ((on || off || pedal) && d1 >= 0 && d1 < 128) {
        HeldKeys* entry = nullptr;
        HeldKeys* unused = nullptr;
        for (HeldKeys& h : held) {
            if (h.client == client && h.port == port) {
                entry = &h;
                break;
            }
            if (!unused && h.client < 0) unused = &h;
        }
        const bool down = on || (pedal && d2 >= 64);
        if (!entry && down && unused) {
            entry = unused;
            entry->client = client;
            entry->port = port;
        }
        if (entry) {
            const int c = channelOf(status);
            const uint16_t channelBit = static_cast<uint16_t>(1u << c);
            if (pedal) {
                const unsigned pedals = down ? entry->sustain | channelBit : entry->sustain & ~channelBit;
                entry->sustain = static_cast<uint16_t>(pedals);
            } else {
                uint64_t& word = entry->keys[c][d1 / 64];
                const uint64_t bit = uint64_t{1} << (d1 % 64);
                word = down ? word | bit : word & ~bit;
            }
            bool any = entry->sustain != 0;
            for (const auto& row : entry->keys) any = any || row[0] || row[1];
            if (!any) entry->client = entry->port = -1; // room for the next source
        }
    }
    deliverInput(status, d1, d2);
}

void CMidiPort::releaseHeldKeys(int client, int port)
{
    for (HeldKeys& h : held) {
        if (h.client != client || (port >= 0 && h.port != port)) continue;
        const HeldKeys was = h;
        std::memset(h.keys, 0, sizeof h.keys);
        h.sustain = 0;
        h.client = h.port = -1;
        for (int c = 0; c < 16; ++c) {
            for (int note = 0; note < 128; ++note)
                if (was.keys[c][note / 64] & (uint64_t{1} << (note % 64))) deliverInput(noteOffStatus(c), note, 0);
            if (was.sustain & (1u << c)) deliverInput(controllerStatus(c), kCtlSustain, 0);
        }
    }
}

void CMidiPort::announce(SeqAnnouncement what, int client, int port)
{
    const HotPlugEvent event = hotPlugEvent(clientId, what, client, port);
    if (event.kind == HotPlugEvent::Ignored) return; // the system and ourselves
    if (event.kind == HotPlugEvent::Left) {
        // Keys that can no longer be released count as released now.
        releaseHeldKeys(event.gone.client, event.gone.port);
        bool lost = false, wasInput = false;
        {
            CLockGuard hold(connectMutex);
            for (const SeqAddress& a : connectedInputs) wasInput = wasInput || (a.client >= 0 && event.covers(a));
            lost = dropPort(event);
        }
        if (lost) {
            // Its notes died with it; note offs would only reach whoever
            // gets the address next. What comes back starts from defaults.
            forgetAll();
            resetControllers();
        }
        if ((lost || wasInput) && connectionHandler) connectionHandler(hookContext, false);
        return;
    }
    // A driver may name its port after creating it, a client itself after
    // opening: each change is looked at again.
    std::vector<SeqPortInfo> ports;
    listPorts(ports);
    bool returned = false, found = false;
    {
        CLockGuard hold(connectMutex);
        const ArrivalPlan plan = arrivalPlan(connectionState(), ports, what, client, port);
        found = plan.takeOutput || !plan.inputs.empty();
        for (size_t i = 0; i <= plan.inputs.size(); ++i) {
            if (plan.takeOutput && i == plan.outputAfter) {
                connectOutputLocked(wantedOutput, true);
                returned = true;
            }
            if (i == plan.inputs.size()) break;
            const SeqPortInfo& p = plan.inputs[i];
            seqConnectFrom(p.client, p.port);
            rememberInput(p.client, p.port);
            vtn::printLine("Midi In: " + p.fullName());
        }
    }
    if (found && connectionHandler) connectionHandler(hookContext, true);
    if (!returned) return;
    if (outputReturnHandler) outputReturnHandler(hookContext);
    releaseOutput();
}

void CMidiPort::setChannelPort(int channel, int portNumber)
{
    if (channel < 0 || channel > 15) return;
    CLockGuard guard(lock);
    channelRoutes[channel].portNumber = portNumber;
}

int CMidiPort::channelPort(int channel)
{
    if (channel < 0 || channel > 15) return 0;
    CLockGuard guard(lock);
    return channelRoutes[channel].portNumber;
}

void CMidiPort::send(int status, int d1, int d2, int64_t dueUs)
{
    // System messages (0xF0-0xFF) and the arranger's own event kinds make no
    // channel message; they are dropped rather than sent as empty events.
    if (!isChannelMessage(status)) return;
    CLockGuard guard(lock);
    if (outputHeld && !pthread_equal(outputHolder, pthread_self())) return;
    const int connection = channelRoutes[status & 0x0F].connection;
    if (connection < 0 || connection >= static_cast<int>(outputs.size())) return;
    const OutputConnection& entry = outputs[static_cast<size_t>(connection)];
    if (entry.kind <= 1) return;
    dueUs = queueStamp(dueUs);
    if (dueUs == kWithdrawn) return;
    handOver(status, std::clamp(d1, 0, 127), std::clamp(d2, 0, 127), entry, dueUs);
}

void CMidiPort::sendTracked(int status, int d1, int d2, int64_t dueUs)
{
    if (status < kNoteOff) return;
    // Remembered and sent as one step: a cut on another thread (all notes
    // off, a group silenced) comes wholly before or after, never between a
    // note entering the memory and leaving for the synth.
    CLockGuard guard(deviceMutex);
    trackEvent(status, d1, d2, 0, true, 0);
    send(status, d1, d2, dueUs);
}

void CMidiPort::noteOff(int channel, int pitch, int, int, int)
{
    const int status = noteOffStatus(channel);
    if (recordHandler) recordHandler(hookContext, status, pitch, 0);
    send(status, pitch, 0);
}

void CMidiPort::allNotesOff()
{
    // A queued note that began after the cut would sound on.
    takeBack(0);
    releaseAll();
    for (int c = 0; c < 16; ++c) {
        send(controllerStatus(c), kCtlAllNotesOff, 0);
        send(controllerStatus(c), kCtlAllSoundOff, 0);
        send(pitchBendStatus(c), 0, kPitchBendCentreMsb);
    }
}

int64_t CMidiPort::queueStamp(int64_t dueUs)
{
    if (!queueRunning || dueUs < 0) return -1;
    // Taken back before it was sent: whoever queued it has not looked yet,
    // and will play again all that was taken back, this as well.
    if (takenBackUs >= 0 && dueUs >= takenBackUs) return kWithdrawn;
    // A message already due is queued too, to leave at the timer's next
    // tick: sent at once it could overtake one the queue still holds (a
    // processor set aside holds the queue's deliveries for milliseconds).
    queuedUntilUs = std::max(queuedUntilUs, dueUs);
    return dueUs;
}

bool CMidiPort::startQueue()
{
    CLockGuard guard(lock);
    // The sequencer's queue keeps real time: it cannot follow a manual clock.
    if (!simulated && (!seq || (clock && clock->isManual()))) return false;
    if (!simulated && !startSeqQueue()) return false;
    queueRunning = true;
    queuedUntilUs = -1;
    takenBackUs = -1;
    tookBack.store(false);
    return true;
}

void CMidiPort::stopQueue()
{
    CLockGuard guard(lock);
    if (!queueRunning) return;
    if (!simulated) stopSeqQueue();
    queueRunning = false;
}

void CMidiPort::takeBack(int64_t fromUs, bool untilDelivered)
{
    const bool manual = clock && clock->isManual();
    int64_t keptUntil = -1;
    {
        CLockGuard guard(lock);
        if (!queueRunning || queuedUntilUs < std::max<int64_t>(fromUs, captureTime() - kDeliveredUs)) return;
        // What the capture holds at the clock's now has been delivered.
        const int64_t from = simulated ? std::max(fromUs, captureTime() + 1) : takeBackSeqQueue(fromUs);
        if (simulated) removeQueued(from);
        if (queuedUntilUs >= from) {
            takenBackUs = takenBackUs < 0 ? from : std::min(takenBackUs, from);
            tookBack.store(true, std::memory_order_release);
            queuedUntilUs = from - 1;
        }
        keptUntil = queuedUntilUs;
    }
    if (manual || !untilDelivered || keptUntil < 0) return;
    // Until the queue has delivered what it kept and what its timer had
    // taken out before it was held, so that what is sent next comes after.
    // A processor set aside (a virtual one) may hold that for milliseconds.
    const int64_t giveUpUs = std::max(keptUntil, captureTime()) + kDeliveryWaitUs;
    for (;;) {
        {
            CLockGuard guard(lock);
            if (simulated ? captureTime() > keptUntil : !seqQueueHolds()) return;
        }
        if (captureTime() > giveUpUs) return;
        if (clock) clock->sleepUs(100);
        else usleep(100);
    }
}

int64_t CMidiPort::takenBackFrom()
{
    if (!tookBack.load(std::memory_order_acquire)) return -1;
    CLockGuard guard(lock);
    const int64_t from = takenBackUs;
    takenBackUs = -1;
    tookBack.store(false, std::memory_order_relaxed);
    return from;
}

void CMidiPort::recordHeldNotes()
{
    if (!recordHandler) return;
    for (const SoundingNote& n : soundingSnapshot()) recordHandler(hookContext, noteOnStatus(n.channel), n.pitch, n.velocity);
}

void CMidiPort::sendSysExText(std::string_view text, int64_t dueUs)
{
    const std::string_view t = vtn::trimView(text);
    if (t.empty() || t.size() > kMaxSysExText) return;
    uint8_t bytes[kMaxSysExText / 3 + 1];
    const size_t count = t.size() / 3 + 1;
    for (size_t i = 0; i < count; ++i) {
        const int b = hexPair(t, i * 3);
        if (b < 0) return; // a damaged text is not sent at all
        bytes[i] = static_cast<uint8_t>(b);
    }
    CLockGuard guard(lock);
    if (outputHeld && !pthread_equal(outputHolder, pthread_self())) return;
    dueUs = queueStamp(dueUs);
    if (dueUs == kWithdrawn) return;
    for (const OutputConnection& entry : outputs)
        if (entry.kind > 1) handOverSysEx(bytes, count, entry, dueUs);
}

void CMidiPort::sendMidiText(std::string_view text)
{
    int status = 0, d1 = -1, d2 = -1;
    char sysex[kMaxSysExText + 4];
    size_t sysexLength = 0;
    bool inSysex = false;
    auto flush = [&] {
        if (status != 0) send(status, d1 < 0 ? 0 : d1, d2 < 0 ? 0 : d2);
    };
    for (size_t pos = 0; pos + 1 < text.size(); pos += 3) {
        const int b = hexPair(text, pos);
        if (b < 0) break; // the text ends at the first damaged pair
        if (b != 0xF0 && !inSysex) {
            if (b & 0x80) {
                flush();
                status = b;
                d1 = d2 = -1;
            } else if (d1 < 0) {
                d1 = b;
            } else if (d2 < 0) {
                d2 = b;
            }
            continue;
        }
        if (b == 0xF0) {
            flush();
            status = 0;
        }
        const size_t take = std::min<size_t>(3, text.size() - pos);
        if (sysexLength + take <= kMaxSysExText + 3) {
            std::memcpy(sysex + sysexLength, text.data() + pos, take);
            sysexLength += take;
        }
        if (b == 0xF7) {
            sendSysExText(std::string_view(sysex, sysexLength));
            sysexLength = 0;
            inSysex = false;
        } else {
            inSysex = true;
        }
    }
    flush();
}
