#pragma once
// What the engine tells those interested (a display, a log): which kinds of
// its state changed. Posting costs an atomic or and, when the listener
// sleeps, one futex wake; the listener runs on a thread of its own with the
// kinds changed since its last call merged, and reads what it shows from the
// engine itself. However slow it is, no note waits for it.
#include <atomic>
#include <cstdint>
#include <pthread.h>

enum EngineChange : uint32_t {
    kChangeNone = 0,              // for a change no display shows
    kChangeChord = 1u << 0,       // a chord installed
    kChangePart = 1u << 1,        // a part selected
    kChangeStyle = 1u << 2,       // a style selected
    kChangePreset = 1u << 3,      // a preset selected
    kChangeTempo = 1u << 4,
    kChangeSetting = 1u << 5,     // a setting a display shows
    kChangeSongStarted = 1u << 6,
    kChangeSongEnded = 1u << 7,
    kChangePortLost = 1u << 8,    // a keyboard or the sound generator went
    kChangePortFound = 1u << 9,   // one was connected
    // Requests to a display rather than changes of state.
    kChangeOpenLoader = 1u << 10,   // show the loader to select a style
    kChangeLyricsScroll = 1u << 11, // scroll the lyrics one step (CLiveInput::lyricsScroll)
};

using ChangeListener = void (*)(void* context, uint32_t changes);

class CEngineEvents {
public:
    CEngineEvents() = default;
    CEngineEvents(const CEngineEvents&) = delete;
    CEngineEvents& operator=(const CEngineEvents&) = delete;
    ~CEngineEvents() { stop(); }

    // From any thread, the real-time ones included.
    void post(uint32_t changes);
    // Delivers to `listener` from now on, on a thread of its own; false when
    // the system gives no thread or one listens already.
    bool listen(ChangeListener listener, void* context);
    // Ends the delivery; what is still pending is delivered first.
    void stop();

private:
    static void* deliver(void* self);
    std::atomic<uint32_t> pending{0};
    std::atomic<uint32_t> posts{0}; // the delivery thread waits on it as a futex
    std::atomic<bool> sleeping{false};
    std::atomic<bool> stopping{false};
    ChangeListener listener = nullptr;
    void* context = nullptr;
    pthread_t thread{};
    bool running = false;
};
