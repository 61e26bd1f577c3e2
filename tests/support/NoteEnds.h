#pragma once
// Reads back what left the port: every note on must be followed by a note
// off at the same channel and pitch. On the channels from `firstChannelCut`
// up, controller 123 or 120 ends the channel's notes too.
#include "base/MidiStatus.h"
#include "midi/CMidiCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace testsupport {

inline ::testing::AssertionResult everyNoteOnEnds(const std::vector<CapturedMessage>& sent, int firstChannelCut = 16)
{
    bool endedLater[16][128] = {};
    for (size_t i = sent.size(); i-- > 0;) {
        const CapturedMessage& m = sent[i];
        if (!m.sysex.empty()) continue;
        bool* channel = endedLater[m.channel()];
        if (isNoteOff(m.status, m.d2)) {
            channel[m.d1] = true;
        } else if (isNoteOn(m.status, m.d2)) {
            if (!channel[m.d1])
                return ::testing::AssertionFailure() << "message " << i << " of " << sent.size() << " never ends: " << m.text();
        } else if (m.channel() >= firstChannelCut && isController(m.status) &&
                   (m.d1 == kCtlAllNotesOff || m.d1 == kCtlAllSoundOff)) {
            std::fill(channel, channel + 128, true);
        }
    }
    return ::testing::AssertionSuccess();
}

} // namespace testsupport
