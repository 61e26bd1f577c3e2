#include "midi/CMidiCapture.h"

#include "base/CClock.h"
#include "base/MidiStatus.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

std::string CapturedMessage::text() const
{
    char b[40];
    if (!sysex.empty()) {
        std::string out;
        for (unsigned char c : sysex) {
            std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", c);
            out += b;
        }
        return out;
    }
    if (isNote(status))
        std::snprintf(b, sizeof b, "%c%d:%d/%d", isNoteOn(status, d2) ? '+' : '-', channel(), d1, d2);
    else
        std::snprintf(b, sizeof b, "%02X %d %d", status, d1, d2);
    return b;
}

void CMidiCapture::enable(bool enable)
{
    std::lock_guard<std::mutex> g(guard);
    if (enable && list.capacity() < 4096) list.reserve(4096);
    on.store(enable, std::memory_order_relaxed);
}

void CMidiCapture::deliverLocked() const
{
    if (queued.empty()) return;
    int64_t now = 0;
    if (clock) {
        now = clock->nowUs();
    } else {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        now = static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    }
    size_t due = 0;
    while (due < queued.size() && queued[due].timeUs <= now) ++due;
    if (due == 0) return;
    // What was sent directly meanwhile stands among them in time order.
    const long from = std::upper_bound(list.begin(), list.end(), queued.front().timeUs,
                                       [](int64_t t, const CapturedMessage& m) { return t < m.timeUs; }) -
                      list.begin();
    list.insert(list.begin() + from, std::make_move_iterator(queued.begin()), std::make_move_iterator(queued.begin() + static_cast<long>(due)));
    std::stable_sort(list.begin() + from, list.end(),
                     [](const CapturedMessage& a, const CapturedMessage& b) { return a.timeUs < b.timeUs; });
    queued.erase(queued.begin(), queued.begin() + static_cast<long>(due));
}

void CMidiCapture::record(CapturedMessage message)
{
    std::lock_guard<std::mutex> g(guard);
    deliverLocked();
    list.push_back(std::move(message));
}

void CMidiCapture::schedule(CapturedMessage message)
{
    std::lock_guard<std::mutex> g(guard);
    deliverLocked();
    // Stamps come in order; one stamped earlier than the last waits behind it.
    if (!queued.empty()) message.timeUs = std::max(message.timeUs, queued.back().timeUs);
    queued.push_back(std::move(message));
}

void CMidiCapture::withdraw(int64_t fromUs)
{
    std::lock_guard<std::mutex> g(guard);
    deliverLocked();
    while (!queued.empty() && queued.back().timeUs >= fromUs) queued.pop_back();
}

std::vector<CapturedMessage> CMidiCapture::messages() const
{
    std::lock_guard<std::mutex> g(guard);
    deliverLocked();
    return list;
}

std::vector<CapturedMessage> CMidiCapture::take()
{
    std::lock_guard<std::mutex> g(guard);
    deliverLocked();
    std::vector<CapturedMessage> out;
    out.swap(list);
    list.reserve(4096);
    return out;
}

void CMidiCapture::clear()
{
    std::lock_guard<std::mutex> g(guard);
    list.clear();
    queued.clear();
}

size_t CMidiCapture::size() const
{
    std::lock_guard<std::mutex> g(guard);
    deliverLocked();
    return list.size();
}
