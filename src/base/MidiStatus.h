#pragma once
// Named MIDI statuses and the controller numbers the arranger uses. A status
// byte carries its kind in the high four bits and the channel (0-15) in the
// low four; every message is built and classified through these.

// Kinds of channel message.
constexpr int kNoteOff = 0x80;
constexpr int kNoteOn = 0x90;
constexpr int kKeyPressure = 0xA0;
constexpr int kController = 0xB0;
constexpr int kProgramChange = 0xC0;
constexpr int kChannelPressure = 0xD0;
constexpr int kPitchBend = 0xE0;
constexpr int kSystemMessage = 0xF0;

// Controllers.
constexpr int kCtlBankMsb = 0;
constexpr int kCtlModulation = 1;
constexpr int kCtlPortamentoTime = 5;
constexpr int kCtlVolume = 7;
constexpr int kCtlPan = 10;
constexpr int kCtlExpression = 11;
constexpr int kCtlBankLsb = 32;
constexpr int kCtlSustain = 64;
constexpr int kCtlReverb = 91;
constexpr int kCtlChorus = 93;
constexpr int kCtlAllSoundOff = 120;
constexpr int kCtlResetControllers = 121;
constexpr int kCtlAllNotesOff = 123;

// Pitch-bend centre as data bytes (LSB, MSB).
constexpr int kPitchBendCentreMsb = 64;

// The status of a message kind on a channel (taken mod 16).
constexpr int statusOf(int kind, int channel) { return kind | (channel & 0x0F); }
constexpr int noteOnStatus(int channel) { return statusOf(kNoteOn, channel); }
constexpr int noteOffStatus(int channel) { return statusOf(kNoteOff, channel); }
constexpr int controllerStatus(int channel) { return statusOf(kController, channel); }
constexpr int programStatus(int channel) { return statusOf(kProgramChange, channel); }
constexpr int pitchBendStatus(int channel) { return statusOf(kPitchBend, channel); }

constexpr int kindOf(int status) { return status & 0xF0; }
constexpr int channelOf(int status) { return status & 0x0F; }
// A status the output can send: a channel message, not a system message or
// one of the arranger's own event kinds.
constexpr bool isChannelMessage(int status) { return status >= kNoteOff && status < kSystemMessage; }

// Every channel message but program change and channel pressure has a second data byte.
constexpr bool hasTwoDataBytes(int status) { return status < kProgramChange || status >= kPitchBend; }

constexpr bool isNoteOn(int status, int d2) { return kindOf(status) == kNoteOn && status <= 0x9F && d2 > 0; }
constexpr bool isNoteOff(int status, int d2)
{
    return (status >= kNoteOff && status <= 0x8F) || (status >= kNoteOn && status <= 0x9F && d2 < 1);
}
constexpr bool isNote(int status) { return status >= kNoteOff && status <= 0x9F; }
constexpr bool isController(int status) { return status >= kController && status <= 0xBF; }
constexpr bool isProgramChange(int status) { return status >= kProgramChange && status <= 0xCF; }

// A level (a volume or a velocity, 0-127) at a percentage of itself: up to
// 100 % it scales toward 0; above, it closes in on 127 instead of clipping at
// once (200 % reaches 127). The one formula of every volume percentage.
inline int levelAtPercent(int level, int percent)
{
    const int scaled = percent <= 99 ? level * percent / 100 : level + (percent - 100) * (127 - level) / 100;
    return scaled < 0 ? 0 : scaled > 127 ? 127 : scaled;
}
