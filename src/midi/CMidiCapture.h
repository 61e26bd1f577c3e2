#pragma once
// In-process record of every message that leaves the port, in order, with a
// monotonic time stamp. Off by default; when off it costs one relaxed load.
// A message handed to the sequencer's queue for a later moment is kept aside
// and joins the record once the clock has reached that moment; taken back
// before it, it never does.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct CapturedMessage {
    int64_t timeUs = 0;   // engine clock (monotonic, or the manual clock in tests)
    int status = 0;       // 0x80-0xEF for channel messages, 0xF0 for SysEx
    int d1 = 0;           // after clamping
    int d2 = 0;
    int value = 0;        // the sequencer's value: pitch-bend value, controller value, ...
    int client = 0;       // destination
    int port = 0;
    std::string sysex;    // SysEx bytes as sent
    int channel() const { return status & 0x0F; }
    // One short line for a reader: "+0:60/100" a note on on channel index 0,
    // "-0:60/0" a note off, "B2 7 127" any other message, SysEx as its bytes.
    std::string text() const;
};

class CClock;

class CMidiCapture {
public:
    // The clock that decides when a queued message has been delivered (the
    // monotonic clock when none).
    void setClock(const CClock* c) { clock = c; }
    void enable(bool on);
    bool enabled() const { return on.load(std::memory_order_relaxed); }
    void record(CapturedMessage message);
    // A message queued for its time stamp, delivered when the clock reaches it.
    void schedule(CapturedMessage message);
    // One or the other, as the message was sent at once or queued.
    void recordAt(CapturedMessage message, bool ahead) { ahead ? schedule(std::move(message)) : record(std::move(message)); }
    // Drops the queued messages stamped at `fromUs` or later.
    void withdraw(int64_t fromUs);
    std::vector<CapturedMessage> messages() const;
    std::vector<CapturedMessage> take(); // returns and clears
    void clear();
    size_t size() const;

private:
    // Moves the queued messages whose moment has come to the record; guard held.
    void deliverLocked() const;

    std::atomic<bool> on{false};
    const CClock* clock = nullptr;
    mutable std::mutex guard;
    mutable std::vector<CapturedMessage> list;
    mutable std::vector<CapturedMessage> queued; // in order of their stamps
};
