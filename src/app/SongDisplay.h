#pragma once
// What a display shows of the song that plays: where its bars begin and its
// lyrics by line. Taken from the song as it starts, so that following it
// later needs nothing of the song itself, which its player walks meanwhile.
#include <cstdint>
#include <string>
#include <vector>

class CMidiSequence;

struct SongDisplay {
    struct Line {
        int32_t ticks = 0; // where its first syllable falls
        std::string text;
    };
    std::string name;
    int32_t quarterTicks = 480;
    std::vector<int32_t> barStarts; // bar 1 first
    std::vector<Line> lines;

    // Bar and beat (from 1) at `ticks`; 0 and 0 when the song has no bars.
    void barBeat(int64_t ticks, int& bar, int& beat) const;
    // The line sung at `ticks`: the last one begun; -1 before the first.
    int lineAt(int64_t ticks) const;
};

// Bars up to the song's last event, and lines from its lyric events (or,
// in a karaoke file without them, its text events): a syllable beginning
// with "/" or "\" opens a line, one ending with a line break closes it.
SongDisplay songDisplayOf(CMidiSequence& song);
