#include "midi/CMidiCapture.h"

#include "base/MidiStatus.h"

#include <cstdio>

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

void CMidiCapture::record(CapturedMessage message)
{
    std::lock_guard<std::mutex> g(guard);
    list.push_back(std::move(message));
}

std::vector<CapturedMessage> CMidiCapture::messages() const
{
    std::lock_guard<std::mutex> g(guard);
    return list;
}

std::vector<CapturedMessage> CMidiCapture::take()
{
    std::lock_guard<std::mutex> g(guard);
    std::vector<CapturedMessage> out;
    out.swap(list);
    list.reserve(4096);
    return out;
}

void CMidiCapture::clear()
{
    std::lock_guard<std::mutex> g(guard);
    list.clear();
}

size_t CMidiCapture::size() const
{
    std::lock_guard<std::mutex> g(guard);
    return list.size();
}
