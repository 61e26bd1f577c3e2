#include "app/SongDisplay.h"

#include "sequence/CMidiSequence.h"

#include <algorithm>

namespace {
// Bounds for a hostile file: a song of 10,000 bars plays for hours, and a
// display shows no more lines than a long song sings.
constexpr int kMaxBars = 10000;
constexpr size_t kMaxLines = 4000;
constexpr size_t kMaxLineBytes = 240;
} // namespace

void SongDisplay::barBeat(int64_t ticks, int& bar, int& beat) const
{
    bar = beat = 0;
    if (barStarts.empty()) return;
    const auto after = std::upper_bound(barStarts.begin(), barStarts.end(), ticks);
    const size_t index = after == barStarts.begin() ? 0 : static_cast<size_t>(after - barStarts.begin()) - 1;
    bar = static_cast<int>(index) + 1;
    const int64_t into = std::max<int64_t>(0, ticks - barStarts[index]);
    beat = static_cast<int>(std::min<int64_t>(into / std::max(1, quarterTicks) + 1, 64));
}

int SongDisplay::lineAt(int64_t ticks) const
{
    const auto after = std::upper_bound(lines.begin(), lines.end(), ticks,
                                        [](int64_t t, const Line& line) { return t < line.ticks; });
    return static_cast<int>(after - lines.begin()) - 1;
}

SongDisplay songDisplayOf(CMidiSequence& song)
{
    SongDisplay d;
    d.name = song.name;
    d.quarterTicks = std::max(1, song.ticksPerBeat);

    int32_t last = 0;
    bool hasLyrics = false;
    const int limit = song.eventCount();
    int walked = 0;
    for (int r = song.events[kMainList].next; r >= kFirstEvent && r < limit && walked < limit; r = song.events[r].next, ++walked) {
        last = std::max(last, song.events[r].ticks);
        hasLyrics = hasLyrics || song.events[r].stat == kStatLyric;
    }
    for (int bar = 1; bar <= kMaxBars; ++bar) {
        const int32_t start = song.barBeatToTicks(bar, 1, 0);
        if (!d.barStarts.empty() && start <= d.barStarts.back()) break;
        d.barStarts.push_back(start);
        if (start > last) break;
    }

    const int wanted = hasLyrics ? kStatLyric : kStatText;
    bool open = false;
    walked = 0;
    for (int r = song.events[kMainList].next; r >= kFirstEvent && r < limit && walked < limit; r = song.events[r].next, ++walked) {
        const MidiEvent& e = song.events[r];
        if (e.stat != wanted) continue;
        std::string_view text = e.string;
        // A karaoke file's header: "@T" title, "@L" language and so on.
        if (!hasLyrics && !text.empty() && text[0] == '@') continue;
        if (!text.empty() && (text[0] == '/' || text[0] == '\\')) {
            open = false;
            text.remove_prefix(1);
        }
        bool closes = false;
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
            text.remove_suffix(1);
            closes = true;
        }
        if (!open) {
            if (d.lines.size() >= kMaxLines) break;
            d.lines.push_back({e.ticks, std::string()});
            open = true;
        }
        std::string& line = d.lines.back().text;
        line.append(text.substr(0, kMaxLineBytes - std::min(kMaxLineBytes, line.size())));
        if (closes) open = false;
    }
    return d;
}
