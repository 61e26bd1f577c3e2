#include "base/CMidiDevice.h"

#include "base/CLockGuard.h"
#include "base/MessageSink.h"

#include <algorithm>
#include <cstdio>

namespace {
// Room for the notes one device may sound at once; the list grows beyond it
// only in extreme cases, so sending normally never allocates.
constexpr size_t kInitialNoteCapacity = 256;
} // namespace

CMidiDevice::CMidiDevice()
{
    soundingNotes.reserve(kInitialNoteCapacity);
    if (initSharedMutex(deviceMutex) != 0) {
        vtn::printText("MutexInit failed");
    }
    forgetAll();
    resetControllers();
}

CMidiDevice::~CMidiDevice() { pthread_mutex_destroy(&deviceMutex); }

int CMidiDevice::controllerSlot(int controller)
{
    for (int i = 0; i < 9; ++i)
        if (kRememberedControllers[i] == controller) return i;
    return -1;
}

int CMidiDevice::findSounding(int channel, int pitch) const
{
    for (size_t i = 0; i < soundingNotes.size(); ++i)
        if (soundingNotes[i].channel == channel && soundingNotes[i].pitch == pitch) return static_cast<int>(i);
    return -1;
}

void CMidiDevice::trackNoteLocked(int status, int d1, int d2, int pNoteOn, int pitchOriginal, NoteTrackUndo* undo)
{
    const int c = ((status % 16) + 16) % 16;
    if (isNoteOn(status, d2)) {
        if (undo) *undo = {static_cast<int32_t>(soundingNotes.size()), true, {c, d1, d2, pNoteOn, pitchOriginal}};
        soundingNotes.push_back({c, d1, d2, pNoteOn, pitchOriginal});
    } else if (isNoteOff(status, d2)) {
        const int i = findSounding(c, d1);
        if (i < 0) return;
        if (undo) *undo = {i, false, soundingNotes[static_cast<size_t>(i)]};
        soundingNotes.erase(soundingNotes.begin() + i);
    }
}

void CMidiDevice::trackEvent(int status, int d1, int d2, int pNoteOn, bool alreadyLocked, int pitchOriginal)
{
    if (!alreadyLocked) pthread_mutex_lock(&deviceMutex);
    const int c = ((status % 16) + 16) % 16;
    if (isNote(status)) {
        trackNoteLocked(status, d1, d2, pNoteOn, pitchOriginal, nullptr);
    } else if (isProgramChange(status)) {
        programs[c] = d1;
        programBankMsb[c] = controllers[0][c];
        programBankLsb[c] = controllers[6][c];
    } else if (isController(status)) {
        const int slot = controllerSlot(d1);
        if (slot >= 0) controllers[slot][c] = d2;
    }
    if (!alreadyLocked) pthread_mutex_unlock(&deviceMutex);
}

NoteTrackUndo CMidiDevice::trackNote(int status, int d1, int d2, int pNoteOn)
{
    CLockGuard lock(deviceMutex);
    NoteTrackUndo undo;
    trackNoteLocked(status, d1, d2, pNoteOn, 0, &undo);
    return undo;
}

void CMidiDevice::undoTrackNote(const NoteTrackUndo& undo)
{
    if (undo.index < 0) return;
    CLockGuard lock(deviceMutex);
    if (undo.added) {
        // Undone newest first, the note added stands where it was put.
        const auto same = [&](const SoundingNote& n) { return n.channel == undo.note.channel && n.pitch == undo.note.pitch; };
        size_t at = static_cast<size_t>(undo.index);
        if (at >= soundingNotes.size() || !same(soundingNotes[at])) {
            const auto last = std::find_if(soundingNotes.rbegin(), soundingNotes.rend(), same);
            if (last == soundingNotes.rend()) return;
            at = static_cast<size_t>(soundingNotes.rend() - last - 1);
        }
        soundingNotes.erase(soundingNotes.begin() + static_cast<long>(at));
        return;
    }
    const size_t at = std::min(static_cast<size_t>(undo.index), soundingNotes.size());
    soundingNotes.insert(soundingNotes.begin() + static_cast<long>(at), undo.note);
}

int CMidiDevice::acceptsEvent(int status, int d1, int d2, int* pNoteOn)
{
    CLockGuard lock(deviceMutex);
    const int c = ((status % 16) + 16) % 16;
    if (isNote(status)) {
        const int i = findSounding(c, d1);
        if (i >= 0 && pNoteOn) *pNoteOn = soundingNotes[static_cast<size_t>(i)].pNoteOn;
        return isNoteOn(status, d2) ? (i < 0 ? 1 : 0) : (i >= 0 ? 1 : 0);
    }
    if (isProgramChange(status)) {
        if (programs[c] == d1 && programBankMsb[c] == controllers[0][c] && programBankLsb[c] == controllers[6][c]) {
            // A repeated program: let the next bank select through again.
            controllers[0][c] = -1;
            controllers[6][c] = -1;
            return 0;
        }
        return 1;
    }
    if (isController(status)) {
        const int slot = controllerSlot(d1);
        return (slot >= 0 && controllers[slot][c] == d2) ? 0 : 1;
    }
    return 1;
}

void CMidiDevice::releaseAll()
{
    CLockGuard lock(deviceMutex);
    while (!soundingNotes.empty()) {
        const SoundingNote n = soundingNotes.back();
        const size_t before = soundingNotes.size();
        noteOff(n.channel, n.pitch, n.velocity, n.pNoteOn, n.pitchOriginal);
        // An override that already took the note off the list (tracking with
        // the already-locked flag) must not make us drop another one.
        if (soundingNotes.size() == before) soundingNotes.pop_back();
    }
}

void CMidiDevice::forgetAll()
{
    CLockGuard lock(deviceMutex);
    soundingNotes.clear();
}

void CMidiDevice::forgetChannel(int channel)
{
    CLockGuard lock(deviceMutex);
    std::erase_if(soundingNotes, [channel](const SoundingNote& n) { return n.channel == channel; });
}

void CMidiDevice::resetControllers()
{
    CLockGuard lock(deviceMutex);
    for (int c = 0; c < 16; ++c) {
        programs[c] = programBankMsb[c] = programBankLsb[c] = -1;
        for (auto& row : controllers) row[c] = -1;
    }
}

int CMidiDevice::programOf(int channel)
{
    if (channel < 0 || channel > 15) return -1;
    CLockGuard lock(deviceMutex);
    return programs[channel];
}

int CMidiDevice::controllerOf(int channel, int controller)
{
    const int slot = controllerSlot(controller);
    if (slot < 0 || channel < 0 || channel > 15) return 0;
    CLockGuard lock(deviceMutex);
    return controllers[slot][channel];
}

void CMidiDevice::rememberController(int channel, int controller, int value)
{
    const int slot = controllerSlot(controller);
    if (slot < 0 || channel < 0 || channel > 15) return;
    CLockGuard lock(deviceMutex);
    controllers[slot][channel] = value;
}

std::vector<SoundingNote> CMidiDevice::soundingSnapshot()
{
    CLockGuard lock(deviceMutex);
    return soundingNotes;
}

int CMidiDevice::soundingCount()
{
    CLockGuard lock(deviceMutex);
    return static_cast<int>(soundingNotes.size());
}
