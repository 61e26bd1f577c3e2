// libFuzzer target for the style reader: read the input as a style file,
// then use it as the players and functions do. What is loaded must stay in
// range whatever the input: a channel plays on -1..15, parts never measure
// less than nothing, and a walk through any part reaches its end.
#include "base/MessageSink.h"
#include "sequence/CStyle.h"

#include <climits>
#include <cstddef>
#include <cstdint>

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > static_cast<size_t>(INT_MAX)) return 0;
    const int n = static_cast<int>(size);
    vtn::setMessageStream(nullptr);
    CStyle style;
    const int r = style.readStyle(data, n, {});
    check(r == 0 || (r >= 14 && r <= n));
    check(style.partCount() >= 1 && style.partCount() <= 17);
    check(style.averageVolume >= 1 && style.averageVelocity >= 1);

    for (int k = 0; k < style.partCount(); ++k) {
        const StylePart& p = style.parts[static_cast<size_t>(k)];
        check(p.bars >= 0 && p.offsettime >= 0);
        for (const PartChannel& c : p.channels) check(c.dest >= -1 && c.dest <= 15 && c.ntt >= 0 && c.ntt <= 5);
        check(k == 0 || (p.startevent >= kFirstEvent && p.startevent < style.eventCount()));
        int steps = 0;
        for (int e = style.events[p.startevent].next; e >= kFirstEvent; e = style.events[e].next) {
            if (style.partEndsAfter(k, e)) break;
            check(++steps <= style.eventCount());
        }
        for (int d = 0; d < 16; ++d) check(style.channelClass(k, d) >= 0 && style.channelClass(k, d) <= 3);
        int type = p.type, level1 = p.level1, level2 = p.level2;
        const int found = style.findPart(type, level1, level2);
        check(found >= 0 && found < style.partCount());
    }
    return 0;
}
