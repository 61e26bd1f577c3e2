#include "midi/CMidiCapture.h"

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
