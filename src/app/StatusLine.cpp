// The one line a musician reads off a board without a display.
#include "app/CApplication.h"

#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "sequence/CMidiSequence.h"

#include <string>

std::string CApplication::statusLine()
{
    CKvSeq& e = *engine;
    const std::string part = e.currentPartName();
    e.lock();
    const bool styleRuns = e.play.playingStyle != nullptr;
    const std::string song = e.play.playingSong ? e.play.playingSong->name : std::string();
    std::string style = e.styleName;
    const int tempo = e.play.tempo;
    const std::string chord = e.play.currentChord.root >= 0 ? e.play.currentChord.symbol : "none";
    const int preset = e.play.presetIndex;
    const std::string presetName = preset >= 0 && preset < kPresetCount ? e.presets[preset].name : std::string();
    const bool recording = e.recordState.recording != 0;
    const int split = e.areas.splitKey;
    e.unlock();

    // The file's name, without the folder it came from.
    style.erase(0, style.rfind('/') + 1);
    std::string line = "Status: ";
    if (!song.empty()) {
        line += "song " + song + " playing";
    } else {
        line += "style " + (style.empty() ? std::string("none") : style);
        if (!part.empty()) line += " " + part;
        line += styleRuns ? " playing" : " stopped";
    }
    line += ", tempo " + std::to_string(tempo);
    line += ", chord " + chord;
    line += ", preset " + (presetName.empty() ? std::string("none") : presetName);
    line += recording ? ", recording on" : ", recording off";
    // As config.txt's "split:" writes it: the first key of the right hand, plus one.
    line += split >= 0 ? ", split " + std::to_string(split + 1) : std::string(", split off");
    if (e.port) line += ", in: " + e.port->connectedInputNames() + ", out: " + e.port->connectedOutputNames();
    return line;
}
