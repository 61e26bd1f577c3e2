// The sequencer side of the port: the only place that speaks ALSA.
#include "midi/CMidiPort.h"

#include "base/CClock.h"
#include "base/CLockGuard.h"
#include "base/MessageSink.h"
#include "base/RealTime.h"
#include "midi/SeqPortList.h"

#include <alsa/asoundlib.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <unistd.h>

struct SeqHandle {
    snd_seq_t* seq = nullptr;
    pthread_t inputThread{};
    bool threadRunning = false;
    int queue = -1;             // the songs' queue, allocated when first started
    int64_t originUs = 0;       // the clock's reading at the queue's time 0
};

int64_t CMidiPort::captureTime() const
{
    if (clock) return clock->nowUs();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

namespace {
// The library's own diagnostics would land on the console between our lines;
// every failure that matters is reported in one line of our own instead.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

int clamp7(int v) { return v < 0 ? 0 : v > 127 ? 127 : v; }

// Only the system client announces; anyone else could fake a keyboard leaving.
void announce(CMidiPort* port, SeqAnnouncement what, const snd_seq_event_t* ev)
{
    if (ev->source.client == SND_SEQ_CLIENT_SYSTEM)
        port->announce(what, ev->data.addr.client, ev->data.addr.port);
}
} // namespace

int CMidiPort::open()
{
    if (seq) return 0;
    snd_lib_error_set_handler(quietAlsa);
    snd_seq_t* handle = nullptr;
    const int err = snd_seq_open(&handle, "default", SND_SEQ_OPEN_DUPLEX, 0);
    if (err < 0 || !handle) {
        // No sequencer (a container, a board without the module): the arranger
        // keeps running without MIDI.
        vtn::printLine(std::string("Cannot open sequencer - ") + snd_strerror(err));
        return 0;
    }
    seq = new SeqHandle();
    seq->seq = handle;
    snd_seq_set_client_name(handle, "VTN");
    snd_seq_create_simple_port(handle, "Veltrona MIDI Port",
                               SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_READ |
                                   SND_SEQ_PORT_CAP_SUBS_WRITE,
                               SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    clientId = snd_seq_client_id(handle);
    // Ports coming and going are announced here, on the input the input
    // thread already waits on: hot-plug costs no polling.
    snd_seq_connect_from(handle, 0, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    pthread_attr_t attributes;
    vtn::initThreadAttributes(attributes, vtn::kInputThreadStack);
    const int rc = pthread_create(&seq->inputThread, &attributes, midiInputThread, this);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        vtn::printText("ERROR; return code from pthread_create() is " + std::to_string(rc) + "\n");
        std::exit(-1);
    }
    seq->threadRunning = true;
    return 0;
}

bool CMidiPort::isOpen() const { return seq != nullptr; }

void CMidiPort::close()
{
    if (!seq) return;
    // End the input thread before the handle goes: a thread must never run
    // inside a closed client.
    if (seq->threadRunning) {
        // The input thread waits in its read: a message of our own to our
        // own port ends it. A flood of input can fill the port's pool and
        // lose the message, so it is sent again until the thread has ended.
        snd_seq_event_t quit{};
        quit.type = SND_SEQ_EVENT_USR0;
        snd_seq_ev_set_direct(&quit);
        snd_seq_ev_set_source(&quit, 0);
        snd_seq_ev_set_dest(&quit, static_cast<unsigned char>(clientId), 0);
        for (;;) {
            snd_seq_event_output_direct(seq->seq, &quit);
            timespec until{};
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_nsec += 100'000'000;
            if (until.tv_nsec >= 1'000'000'000) until.tv_sec += 1, until.tv_nsec -= 1'000'000'000;
            if (pthread_timedjoin_np(seq->inputThread, nullptr, &until) == 0) break;
        }
        seq->threadRunning = false;
    }
    snd_seq_delete_simple_port(seq->seq, 0);
    snd_seq_close(seq->seq);
    delete seq;
    seq = nullptr;
}

void CMidiPort::listPorts(std::vector<SeqPortInfo>& ports)
{
    ports.clear();
    {
        CLockGuard hold(simulatedMutex);
        if (simulated) {
            ports = simulatedPorts;
            return;
        }
    }
    if (!seq) return;
    // Neither the system client nor our own port is anything to connect.
    for (SeqPortInfo& p : listSeqPorts(seq->seq))
        if (p.client != 0 && p.client != clientId) ports.push_back(std::move(p));
}

void CMidiPort::seqConnectFrom(int client, int port)
{
    if (seq && !simulated) snd_seq_connect_from(seq->seq, 0, client, port);
}

void CMidiPort::seqConnectTo(int client, int port)
{
    if (seq && !simulated) snd_seq_connect_to(seq->seq, 0, client, port);
}

void CMidiPort::seqDisconnectFrom(int client, int port)
{
    if (seq && !simulated) snd_seq_disconnect_from(seq->seq, 0, client, port);
}

void CMidiPort::seqDisconnectTo(int client, int port)
{
    if (seq && !simulated) snd_seq_disconnect_to(seq->seq, 0, client, port);
}

namespace {
snd_seq_real_time_t realTime(int64_t us)
{
    us = std::max<int64_t>(us, 0);
    snd_seq_real_time_t t{};
    t.tv_sec = static_cast<unsigned>(us / 1000000);
    t.tv_nsec = static_cast<unsigned>(us % 1000000 * 1000);
    return t;
}

// How often the queue's timer ticks while a style or song plays.
constexpr unsigned kQueueTimerHz = 10000;

// The clock is mapped onto the queue's time from the best of a few readings,
// or the first that falls within so many microseconds of the clock's.
constexpr int kMapReadings = 8;
constexpr int64_t kMapWindowUs = 50;

// A queue's time as its status reports it, in microseconds.
int64_t queueTimeUs(const snd_seq_queue_status_t* status)
{
    const snd_seq_real_time_t* t = snd_seq_queue_status_get_real_time(status);
    return int64_t{t->tv_sec} * 1000000 + t->tv_nsec / 1000;
}
} // namespace

bool CMidiPort::startSeqQueue()
{
    // Running only while a song plays: its timer ticks no longer than needed.
    if (seq->queue < 0) {
        seq->queue = snd_seq_alloc_named_queue(seq->seq, "Veltrona songs");
        if (seq->queue < 0) return false;
        // Its timer ticks 1,000 times a second unless asked: a message waits
        // up to a millisecond for the tick after its stamp.
        snd_seq_queue_timer_t* timer = nullptr;
        snd_seq_queue_timer_alloca(&timer);
        if (snd_seq_get_queue_timer(seq->seq, seq->queue, timer) >= 0) {
            snd_seq_queue_timer_set_resolution(timer, kQueueTimerHz);
            snd_seq_set_queue_timer(seq->seq, seq->queue, timer);
        }
    }
    snd_seq_start_queue(seq->seq, seq->queue, nullptr);
    snd_seq_drain_output(seq->seq);
    // The queue's time may begin with its timer's first tick, a millisecond
    // or two after the start: the clock is mapped onto it once it runs.
    const int64_t giveUpUs = captureTime() + 50'000;
    for (;;) {
        const int64_t queueUs = mapSeqQueue();
        if (queueUs < 0) {
            snd_seq_free_queue(seq->seq, seq->queue);
            seq->queue = -1;
            return false;
        }
        if (queueUs > 0 || captureTime() > giveUpUs) return true;
        usleep(200);
    }
}

int64_t CMidiPort::mapSeqQueue()
{
    // From the reading that falls between the two closest readings of the
    // clock: a reading held up (a processor set aside for milliseconds)
    // would map the queue that much off, and every stamp after it.
    snd_seq_queue_status_t* status = nullptr;
    snd_seq_queue_status_alloca(&status);
    int64_t queueUs = -1, window = INT64_MAX;
    for (int i = 0; i < kMapReadings && window > kMapWindowUs; ++i) {
        const int64_t before = captureTime();
        if (snd_seq_get_queue_status(seq->seq, seq->queue, status) < 0) break;
        const int64_t after = captureTime();
        if (after - before >= window) continue;
        window = after - before;
        queueUs = queueTimeUs(status);
        seq->originUs = (before + after) / 2 - queueUs;
    }
    return queueUs;
}

int64_t CMidiPort::takeBackSeqQueue(int64_t fromUs)
{
    if (!seq || seq->queue < 0) return fromUs;
    // The queue's timer is held while its messages are removed: what it has
    // passed has left, the rest has not, and nothing leaves meanwhile. Its
    // time resumes where it stood, so the clock is mapped onto it again.
    snd_seq_stop_queue(seq->seq, seq->queue, nullptr);
    snd_seq_drain_output(seq->seq);
    snd_seq_queue_status_t* status = nullptr;
    snd_seq_queue_status_alloca(&status);
    int64_t passed = captureTime() + kTakeBackMarginUs;
    if (snd_seq_get_queue_status(seq->seq, seq->queue, status) >= 0) passed = queueTimeUs(status) + seq->originUs;
    const int64_t from = std::max(fromUs, passed + 1);
    removeQueued(from);
    snd_seq_continue_queue(seq->seq, seq->queue, nullptr);
    snd_seq_drain_output(seq->seq);
    mapSeqQueue();
    return from;
}

void CMidiPort::stopSeqQueue()
{
    removeQueued(0);
    snd_seq_stop_queue(seq->seq, seq->queue, nullptr);
    snd_seq_drain_output(seq->seq);
}

void CMidiPort::removeQueued(int64_t fromUs)
{
    capture.withdraw(fromUs);
    if (simulated || !seq || seq->queue < 0) return;
    snd_seq_remove_events_t* remove = nullptr;
    snd_seq_remove_events_alloca(&remove);
    snd_seq_remove_events_set_condition(remove, SND_SEQ_REMOVE_OUTPUT | SND_SEQ_REMOVE_TIME_AFTER);
    snd_seq_remove_events_set_queue(remove, seq->queue);
    snd_seq_timestamp_t at{};
    at.time = realTime(fromUs - seq->originUs);
    snd_seq_remove_events_set_time(remove, &at);
    snd_seq_remove_events(seq->seq, remove);
}

bool CMidiPort::seqQueueHolds()
{
    if (!seq || seq->queue < 0) return false;
    // A message is in the sequencer's hands, queued or being delivered, until
    // its cell returns to the client's pool: what the timer has just taken
    // out of the queue may still be on its way.
    snd_seq_client_pool_t* pool = nullptr;
    snd_seq_client_pool_alloca(&pool);
    if (snd_seq_get_client_pool(seq->seq, pool) < 0) return false;
    return snd_seq_client_pool_get_output_free(pool) < snd_seq_client_pool_get_output_pool(pool);
}

void CMidiPort::stampEvent(snd_seq_event_t& ev, int64_t dueUs) const
{
    if (dueUs >= 0 && seq && !simulated) {
        const snd_seq_real_time_t at = realTime(dueUs - seq->originUs);
        snd_seq_ev_schedule_real(&ev, static_cast<unsigned char>(seq->queue), 0, &at);
    } else {
        snd_seq_ev_set_direct(&ev);
    }
}

void CMidiPort::handOver(int status, int d1, int d2, const OutputConnection& to, int64_t dueUs)
{
    const int channel = channelOf(status);
    snd_seq_event_t ev{};
    stampEvent(ev, dueUs);
    ev.source.port = 0;
    ev.dest.client = static_cast<unsigned char>(to.client);
    ev.dest.port = static_cast<unsigned char>(to.port);
    int value = d2;
    switch (kindOf(status)) {
    case kNoteOff: ev.type = SND_SEQ_EVENT_NOTEOFF; break;
    case kNoteOn: ev.type = SND_SEQ_EVENT_NOTEON; break;
    case kKeyPressure: ev.type = SND_SEQ_EVENT_KEYPRESS; break;
    case kController: ev.type = SND_SEQ_EVENT_CONTROLLER; break;
    case kProgramChange: ev.type = SND_SEQ_EVENT_PGMCHANGE; ev.flags |= SND_SEQ_PRIORITY_HIGH; value = d1; break;
    case kChannelPressure: ev.type = SND_SEQ_EVENT_CHANPRESS; value = d1; break;
    default: ev.type = SND_SEQ_EVENT_PITCHBEND; value = d2 * 128 + d1 - 8192; break;
    }
    if (status < kController) {
        ev.data.note.channel = static_cast<unsigned char>(channel);
        ev.data.note.note = static_cast<unsigned char>(d1);
        ev.data.note.velocity = static_cast<unsigned char>(d2);
    } else {
        ev.data.control.channel = static_cast<unsigned char>(channel);
        if (kindOf(status) == kController) ev.data.control.param = static_cast<unsigned>(d1);
        ev.data.control.value = value;
    }
    if (capture.enabled()) {
        CapturedMessage m;
        m.timeUs = std::max(dueUs, captureTime()); // a queue delivers what comes late at once
        m.status = status;
        m.d1 = d1;
        m.d2 = d2;
        m.value = value;
        m.client = to.client;
        m.port = to.port;
        capture.recordAt(std::move(m), dueUs >= 0);
    }
    if (seq && !simulated) snd_seq_event_output_direct(seq->seq, &ev);
}

void CMidiPort::handOverSysEx(const uint8_t* bytes, size_t count, const OutputConnection& to, int64_t dueUs)
{
    if (capture.enabled()) {
        CapturedMessage m;
        m.timeUs = std::max(dueUs, captureTime()); // a queue delivers what comes late at once
        m.status = 0xF0;
        m.client = to.client;
        m.port = to.port;
        m.sysex.assign(reinterpret_cast<const char*>(bytes), count);
        capture.recordAt(std::move(m), dueUs >= 0);
    }
    if (!seq || simulated) return;
    snd_seq_event_t ev{};
    stampEvent(ev, dueUs);
    ev.source.port = 0;
    ev.dest.client = static_cast<unsigned char>(to.client);
    ev.dest.port = static_cast<unsigned char>(to.port);
    snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(count), const_cast<uint8_t*>(bytes));
    snd_seq_event_output_direct(seq->seq, &ev);
}

void* midiInputThread(void* arg)
{
    auto* port = static_cast<CMidiPort*>(arg);
    SeqHandle* h = port->seq;
    // A key press must not wait for the scheduler's next tick: run above the
    // ordinary threads where the system allows it (root, or an rtprio limit).
    sched_param priority{};
    priority.sched_priority = 60;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    // A blocking read, as a bare relay waits: one system call to wake on a
    // message, none to look for more.
    for (;;) {
        snd_seq_event_t* ev = nullptr;
        const int r = snd_seq_event_input(h->seq, &ev);
        if (r == -EAGAIN || r == -EINTR) continue;
        if (r == -ENOSPC) continue; // an input overrun loses events, not the keyboard
        if (r < 0 || !ev) return nullptr;
        if (ev->type == SND_SEQ_EVENT_USR0 && ev->source.client == port->clientId) return nullptr; // close()
        int status = -1, d1 = 0, d2 = 0;
        const auto& n = ev->data.note;
        const auto& c = ev->data.control;
        const int nch = n.channel & 0x0F, cch = c.channel & 0x0F;
        const int bend = c.value < -8192 ? -8192 : c.value > 8191 ? 8191 : c.value;
        switch (ev->type) {
        case SND_SEQ_EVENT_NOTEON: status = statusOf(kNoteOn, nch); d1 = n.note; d2 = n.velocity; break;
        case SND_SEQ_EVENT_NOTEOFF: status = statusOf(kNoteOff, nch); d1 = n.note; d2 = n.velocity; break;
        case SND_SEQ_EVENT_KEYPRESS: status = statusOf(kKeyPressure, nch); d1 = n.note; d2 = n.velocity; break;
        case SND_SEQ_EVENT_CONTROLLER: status = statusOf(kController, cch); d1 = static_cast<int>(c.param & 0x7F); d2 = clamp7(c.value); break;
        case SND_SEQ_EVENT_PGMCHANGE: status = statusOf(kProgramChange, cch); d1 = clamp7(c.value); break;
        case SND_SEQ_EVENT_CHANPRESS: status = statusOf(kChannelPressure, cch); d1 = clamp7(c.value); break;
        case SND_SEQ_EVENT_PITCHBEND:
            status = statusOf(kPitchBend, cch);
            d1 = (bend + 8192) % 128;
            d2 = (bend + 8192) / 128;
            break;
        case SND_SEQ_EVENT_PORT_START: announce(port, SeqAnnouncement::PortStart, ev); break;
        case SND_SEQ_EVENT_PORT_CHANGE: announce(port, SeqAnnouncement::PortChange, ev); break;
        case SND_SEQ_EVENT_PORT_EXIT: announce(port, SeqAnnouncement::PortExit, ev); break;
        case SND_SEQ_EVENT_CLIENT_CHANGE: announce(port, SeqAnnouncement::ClientChange, ev); break;
        case SND_SEQ_EVENT_CLIENT_EXIT: announce(port, SeqAnnouncement::ClientExit, ev); break;
        default: break;
        }
        if (isChannelMessage(status)) port->receiveInput(ev->source.client, ev->source.port, status, d1, d2);
    }
}
