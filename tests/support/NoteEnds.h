#pragma once
// Replays what left the port: every note on must be followed by a note off
// at the same channel and pitch. On the channels from `firstChannelCut` up,
// controller 123 or 120 ends the channel's notes too. Strictly, each note on
// needs a note off of its own, and a note off for a silent note is a fault.
#include "base/MidiStatus.h"
#include "midi/CMidiCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace testsupport {

inline ::testing::AssertionResult everyNoteOnEnds(const std::vector<CapturedMessage>& sent, int firstChannelCut = 16,
                                                  bool strict = false)
{
    int sounding[16][128] = {};
    for (size_t i = 0; i < sent.size(); ++i) {
        const CapturedMessage& m = sent[i];
        if (!m.sysex.empty()) continue;
        int* channel = sounding[m.channel()];
        if (isNoteOn(m.status, m.d2)) {
            channel[m.d1] = strict ? channel[m.d1] + 1 : 1;
        } else if (isNoteOff(m.status, m.d2)) {
            if (strict && channel[m.d1] == 0)
                return ::testing::AssertionFailure() << "message " << i << " ends a silent note: " << m.text();
            channel[m.d1] = std::max(channel[m.d1] - 1, 0);
        } else if (m.channel() >= firstChannelCut && isController(m.status) &&
                   (m.d1 == kCtlAllNotesOff || m.d1 == kCtlAllSoundOff)) {
            std::fill(channel, channel + 128, 0);
        }
    }
    for (int c = 0; c < 16; ++c)
        for (int p = 0; p < 128; ++p)
            if (sounding[c][p]) return ::testing::AssertionFailure() << "channel index " << c << " pitch " << p << " never ends";
    return ::testing::AssertionSuccess();
}

} // namespace testsupport
