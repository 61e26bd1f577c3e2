#include "SeqProbe.h"

#include "midi/SeqPortList.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sstream>

int64_t probeNowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

namespace {
struct Kind {
    const char* name;
    int type;
    int fields; // data fields after the channel
};
const Kind kKinds[] = {
    {"noteon", SND_SEQ_EVENT_NOTEON, 2},     {"noteoff", SND_SEQ_EVENT_NOTEOFF, 2},
    {"keypress", SND_SEQ_EVENT_KEYPRESS, 2}, {"control", SND_SEQ_EVENT_CONTROLLER, 2},
    {"program", SND_SEQ_EVENT_PGMCHANGE, 1}, {"chanpress", SND_SEQ_EVENT_CHANPRESS, 1},
    {"pitchbend", SND_SEQ_EVENT_PITCHBEND, 1},
};
void quiet(const char*, int, const char*, int, const char*, ...) {}
} // namespace

std::string ProbeEvent::text() const
{
    char line[64];
    if (type == SND_SEQ_EVENT_SYSEX) {
        std::string s = "sysex";
        for (unsigned char c : sysex) {
            std::snprintf(line, sizeof line, " %02X", c);
            s += line;
        }
        return s;
    }
    for (const Kind& k : kKinds) {
        if (k.type != type) continue;
        if (k.fields == 2)
            std::snprintf(line, sizeof line, "%s %d %d %d", k.name, channel, a, b);
        else
            std::snprintf(line, sizeof line, "%s %d %d", k.name, channel, a);
        return line;
    }
    std::snprintf(line, sizeof line, "event %d", type);
    return line;
}

bool SeqProbe::parse(const std::string& text, ProbeEvent& e)
{
    std::istringstream in(text);
    std::string word;
    in >> word;
    e = ProbeEvent();
    if (word == "sysex") {
        e.type = SND_SEQ_EVENT_SYSEX;
        std::string hex;
        while (in >> hex) e.sysex.push_back(static_cast<char>(std::stoi(hex, nullptr, 16)));
        return !e.sysex.empty();
    }
    for (const Kind& k : kKinds) {
        if (word != k.name) continue;
        e.type = k.type;
        in >> e.channel >> e.a;
        if (k.fields == 2) in >> e.b;
        return !in.fail();
    }
    return false;
}

SeqProbe::~SeqProbe()
{
    if (seq) snd_seq_close(seq);
}

bool SeqProbe::open(const std::string& name, const std::string& outName)
{
    snd_lib_error_set_handler(quiet);
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
        seq = nullptr;
        return false;
    }
    snd_seq_set_client_name(seq, name.c_str());
    snd_seq_create_simple_port(seq, outName.c_str(), SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    snd_seq_create_simple_port(seq, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    clientId = snd_seq_client_id(seq);
    return true;
}

std::vector<ProbePort> SeqProbe::ports() { return listSeqPorts(seq); }

bool SeqProbe::findPort(const std::string& text, ProbePort& found)
{
    for (const ProbePort& p : ports()) {
        if (p.client == clientId) continue;
        if (p.fullName().find(text) != std::string::npos) {
            found = p;
            return true;
        }
    }
    return false;
}

bool SeqProbe::clientExists(const std::string& name)
{
    for (const ProbePort& p : ports())
        if (p.clientName == name) return true;
    return false;
}

bool SeqProbe::stampArrivals()
{
    if (!seq) return false;
    const int queue = snd_seq_alloc_queue(seq);
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    if (queue < 0 || snd_seq_get_port_info(seq, 1, info) < 0) return false;
    snd_seq_port_info_set_timestamping(info, 1);
    snd_seq_port_info_set_timestamp_real(info, 1);
    snd_seq_port_info_set_timestamp_queue(info, queue);
    if (snd_seq_set_port_info(seq, 1, info) < 0 || snd_seq_start_queue(seq, queue, nullptr) < 0 ||
        snd_seq_drain_output(seq) < 0)
        return false;
    stampOriginUs = probeNowUs();
    return true;
}

// A connection the other side has made already (an arranger that connects
// every keyboard it sees appear) is as good as ours.
bool SeqProbe::connectOutTo(int client, int port)
{
    if (!seq) return false;
    const int r = snd_seq_connect_to(seq, 0, client, port);
    return r >= 0 || r == -EBUSY;
}

bool SeqProbe::connectInFrom(int client, int port)
{
    if (!seq) return false;
    const int r = snd_seq_connect_from(seq, 1, client, port);
    return r >= 0 || r == -EBUSY;
}

bool SeqProbe::send(const ProbeEvent& e)
{
    if (!seq) return false;
    snd_seq_event_t ev{};
    snd_seq_ev_set_source(&ev, 0);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    ev.type = static_cast<snd_seq_event_type_t>(e.type);
    const auto ch = static_cast<unsigned char>(e.channel);
    switch (e.type) {
    case SND_SEQ_EVENT_NOTEON:
    case SND_SEQ_EVENT_NOTEOFF:
    case SND_SEQ_EVENT_KEYPRESS:
        ev.data.note.channel = ch;
        ev.data.note.note = static_cast<unsigned char>(e.a);
        ev.data.note.velocity = static_cast<unsigned char>(e.b);
        break;
    case SND_SEQ_EVENT_CONTROLLER:
        ev.data.control.channel = ch;
        ev.data.control.param = static_cast<unsigned>(e.a);
        ev.data.control.value = e.b;
        break;
    case SND_SEQ_EVENT_SYSEX:
        snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(e.sysex.size()), const_cast<char*>(e.sysex.data()));
        break;
    default:
        ev.data.control.channel = ch;
        ev.data.control.value = e.a;
        break;
    }
    if (snd_seq_event_output(seq, &ev) < 0) return false;
    return snd_seq_drain_output(seq) >= 0;
}

bool SeqProbe::receive(ProbeEvent& e, int timeoutMs)
{
    if (!seq) return false;
    const int64_t end = probeNowUs() + static_cast<int64_t>(timeoutMs) * 1000;
    for (;;) {
        if (snd_seq_event_input_pending(seq, 1) <= 0) {
            const int64_t left = end - probeNowUs();
            if (left <= 0) return false;
            pollfd fds[4];
            const int n = snd_seq_poll_descriptors(seq, fds, 4, POLLIN);
            if (poll(fds, static_cast<nfds_t>(n), static_cast<int>(left / 1000) + 1) <= 0) continue;
        }
        snd_seq_event_t* ev = nullptr;
        if (snd_seq_event_input(seq, &ev) < 0 || !ev) continue;
        const int64_t now = probeNowUs();
        if (ev->type == SND_SEQ_EVENT_PORT_SUBSCRIBED || ev->type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED ||
            ev->type == SND_SEQ_EVENT_CLIENT_START || ev->type == SND_SEQ_EVENT_CLIENT_EXIT ||
            ev->type == SND_SEQ_EVENT_PORT_START || ev->type == SND_SEQ_EVENT_PORT_EXIT ||
            ev->type == SND_SEQ_EVENT_PORT_CHANGE || ev->type == SND_SEQ_EVENT_CLIENT_CHANGE)
            continue;
        e = ProbeEvent();
        e.type = ev->type;
        e.timeUs = now;
        if (stampOriginUs >= 0 && snd_seq_ev_is_real(ev))
            e.timeUs = stampOriginUs + int64_t{ev->time.time.tv_sec} * 1000000 + ev->time.time.tv_nsec / 1000;
        e.sourceClient = ev->source.client;
        switch (ev->type) {
        case SND_SEQ_EVENT_NOTEON:
        case SND_SEQ_EVENT_NOTEOFF:
        case SND_SEQ_EVENT_KEYPRESS:
            e.channel = ev->data.note.channel;
            e.a = ev->data.note.note;
            e.b = ev->data.note.velocity;
            break;
        case SND_SEQ_EVENT_CONTROLLER:
            e.channel = ev->data.control.channel;
            e.a = static_cast<int>(ev->data.control.param);
            e.b = ev->data.control.value;
            break;
        case SND_SEQ_EVENT_SYSEX:
            e.sysex.assign(static_cast<const char*>(ev->data.ext.ptr), ev->data.ext.len);
            break;
        default:
            e.channel = ev->data.control.channel;
            e.a = ev->data.control.value;
            break;
        }
        return true;
    }
}

int SeqProbe::relay()
{
    if (!seq) return 1;
    // As the arranger's input thread asks for itself, so both are measured alike.
    sched_param priority{};
    priority.sched_priority = 60;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    for (;;) {
        snd_seq_event_t* ev = nullptr;
        const int r = snd_seq_event_input(seq, &ev);
        if (r == -ENOSPC || r == -EAGAIN) continue;
        if (r < 0 || !ev) return 1;
        if (ev->type < SND_SEQ_EVENT_NOTE || ev->type > SND_SEQ_EVENT_PITCHBEND) continue; // announcements
        snd_seq_ev_set_source(ev, 0);
        snd_seq_ev_set_subs(ev);
        snd_seq_ev_set_direct(ev);
        snd_seq_event_output_direct(seq, ev);
    }
}
