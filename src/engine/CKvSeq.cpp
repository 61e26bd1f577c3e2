#include "engine/CKvSeq.h"

#include "base/MessageSink.h"
#include "base/RealTime.h"
#include "engine/CSettingsStore.h"
#include "midi/CMidiPort.h"
#include "sequence/CMidiSequence.h"
#include "sequence/CStyle.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {
// Recording runs on the players' path: room for this many events is made when
// a recording starts, and the players make more in the gaps between notes,
// so that recording never allocates while a note waits. Kept small: every
// recording stays in memory for playing back, locked where memory is.
constexpr size_t kRecordReserve = 4096;

int clamp127(int v) { return std::clamp(v, 0, 127); }

// The port's hooks: what is played on the keyboard, and what the port sends
// on its own account while a performance is recorded.
void keyboardInput(void* context, int status, int d1, int d2)
{
    auto* engine = static_cast<CKvSeq*>(context);
    if (engine->liveInput && engine->parts.routeKeyboard)
        engine->parts.routeKeyboard(engine->liveInput, status, d1, d2);
    else if (!engine->get(engine->play.inputSuspended))
        engine->sendEvent(status, d1, d2);
}

void recordPortEvent(void* context, int status, int d1, int d2)
{
    auto* engine = static_cast<CKvSeq*>(context);
    if (engine->get(engine->play.inputMode) == kLiveMode && engine->isRecordingPerformance())
        engine->recordEvent(status, d1, d2, 0, {});
}

// A sound generator that came back (restarted, replugged) has forgotten the
// style's set-up and the preset: the next note must sound as before. A
// playing style player sends the set-up itself before its next event (the
// set-up's transformation is its own state); a song keeps its instruments.
// Nothing while input is suspended: a settings file being read, or shut-down.
void outputReturned(void* context)
{
    auto* engine = static_cast<CKvSeq*>(context);
    if (engine->get(engine->play.inputSuspended)) return;
    if (engine->isStylePlaying())
        engine->set(engine->play.setupResend, 1);
    else if (!engine->isSongPlaying())
        engine->sendStyleSetup();
    if (engine->melody && engine->parts.selectPreset)
        engine->parts.selectPreset(engine->melody, engine->get(engine->play.presetIndex));
}

// The first preset named `name`, -1 when none is.
int presetNamed(const void* context, std::string_view name)
{
    const auto* engine = static_cast<const CKvSeq*>(context);
    int found = -1;
    engine->lock();
    for (int p = 0; p < kPresetCount && found < 0; ++p)
        if (engine->presets[p].name == name) found = p;
    engine->unlock();
    return found;
}
} // namespace

CKvSeq::CKvSeq()
{
    if (initSharedMutex(engineMutex) != 0) vtn::printText("MutexInit failed");
    pthread_mutex_init(&playerStartMutex, nullptr);
    initSharedMutex(sendGate);
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    random.seed(static_cast<uint32_t>(std::time(nullptr)));
    harmonyEngine = this;
    createStyleSlot(0);
    createStyleSlot(1);
}

CKvSeq::~CKvSeq()
{
    if (port) port->close();
    releaseOwned();
    joinPlayer();
    delete clock;
    pthread_mutex_destroy(&sendGate);
    pthread_mutex_destroy(&playerStartMutex);
    pthread_mutex_destroy(&engineMutex);
}

void CKvSeq::init(int)
{
    clock = new CClock();
    port = new CMidiPort();
    port->setClock(clock);
    port->setHooks(keyboardInput, recordPortEvent, this);
    port->setOutputReturnHook(outputReturned);
    port->setConnectionHook(
        [](void* context, bool found) { static_cast<CKvSeq*>(context)->events.post(found ? kChangePortFound : kChangePortLost); });
    // What the input thread reaches (the live input and the melody, made by
    // whoever built the engine) exists before it starts.
    settingsStore = new CSettingsStore();
    port->open();
}

void CKvSeq::shutdown()
{
    set(play.inputSuspended, 1);
    if (isPlaying()) {
        set(play.stopRequest, 1);
        wakePlayer();
        while (isPlaying()) clock->sleepMs(10);
    }
    joinPlayer();
    // Leave the sound generator silent, whatever was still held.
    if (port) port->allNotesOff();
    // The input thread must have ended before anything it reaches goes away.
    if (port) port->close();
    releaseOwned();
}

void CKvSeq::releaseOwned()
{
    // The listener reads the engine: it ends before anything goes.
    events.stop();
    lock();
    recordSequence = nullptr;
    play.playingSong = nullptr;
    play.playingStyle = nullptr;
    unlock();
    for (int id = 0; id < kSequenceCount; ++id) {
        if (id == kStyleSlotBase || id == kStyleSlotBase + 1) continue; // the style slots go below
        delete sequences[id];
        sequences[id] = nullptr;
    }
    delete retiredStyle;
    retiredStyle = nullptr;
    for (int slot = 0; slot < 2; ++slot) {
        delete styles[slot];
        styles[slot] = nullptr;
        sequences[kStyleSlotBase + slot] = nullptr;
    }
    delete port;
    port = nullptr;
    // After the port: the input thread that calls into them has ended.
    if (parts.release) parts.release(*this);
    liveInput = nullptr;
    melody = nullptr;
    delete settingsStore;
    settingsStore = nullptr;
}

int CKvSeq::isPlaying() const
{
    lock();
    const int r = (play.playingSong || play.playingStyle) ? 1 : 0;
    unlock();
    return r;
}

int CKvSeq::isSongPlaying() const { return get(play.playingSong) ? 1 : 0; }

CMidiSequence* CKvSeq::loadedSong() const
{
    CLockGuard guard(engineMutex);
    return play.playingSong ? play.playingSong : sequences[kSongId];
}
int CKvSeq::isStylePlaying() const { return get(play.playingStyle) ? 1 : 0; }

bool CKvSeq::isRecordingPerformance() const
{
    CLockGuard guard(engineMutex);
    return recordingPerformanceLocked();
}

bool CKvSeq::recordingPerformanceLocked() const
{
    return (play.playingStyle && recordState.recording) || (play.playingSong && songState.songRecord >= 1 && recordSequence);
}

InputView CKvSeq::inputView() const
{
    InputView v;
    CLockGuard guard(engineMutex);
    v.inputSuspended = play.inputSuspended;
    v.inputMode = play.inputMode;
    v.chordFixation = play.chordFixation;
    v.leftVoicesOff = mixer.leftVoicesOff;
    v.areas = areas;
    v.attention = attention;
    return v;
}

MelodyView CKvSeq::melodyView(bool pinRecordTime)
{
    MelodyView v;
    CLockGuard guard(engineMutex);
    v.chord = play.currentChord;
    // A song brings its own music, and the whole-keyboard methods leave no
    // hand free to set the chord apart from the melody.
    v.harmonyAllowed = play.currentChord.root >= 0 && songState.playMode == 0 && areas.chordMethod < 4;
    v.harmonyVolume = mixer.harmonyVolume;
    v.recordsMelody = play.playingStyle && recordState.recording && areas.chordMethod < 4;
    v.pinned = pinRecordTime && recordingPerformanceLocked();
    if (v.pinned) play.recordTime = positionNowLocked();
    return v;
}

void CKvSeq::unpinRecordTime() { set(play.recordTime, -1); }

void CKvSeq::setPlayPosition(int64_t position, int64_t limit, int64_t unitsPerMinute)
{
    const int64_t now = clock->nowUs();
    CLockGuard guard(engineMutex);
    play.songPosition = position;
    play.positionAnchorUs = now;
    play.positionLimit = std::max(position, limit);
    play.positionRate = std::max<int64_t>(0, unitsPerMinute);
}

int64_t CKvSeq::playPosition() const
{
    CLockGuard guard(engineMutex);
    return positionNowLocked();
}

int64_t CKvSeq::positionNowLocked() const
{
    if (play.positionRate == 0) return play.songPosition;
    const int64_t elapsedUs = std::max<int64_t>(0, clock->nowUs() - play.positionAnchorUs);
    // Whole minutes and the rest apart, so no product can overflow.
    constexpr int64_t kMinuteUs = 60'000'000;
    const int64_t moved = elapsedUs / kMinuteUs * play.positionRate + elapsedUs % kMinuteUs * play.positionRate / kMinuteUs;
    return moved >= play.positionLimit - play.songPosition ? play.positionLimit : play.songPosition + moved;
}

void CKvSeq::markChanged(uint32_t changes)
{
    set(stateChanged, 1);
    events.post(changes);
}

void CKvSeq::wakePlayer()
{
    if (clock) clock->wake();
}

int CKvSeq::togglePause()
{
    const int now = update(play.paused, [](uint8_t p) { return p ? 0 : 1; });
    wakePlayer();
    return now;
}

int CKvSeq::requestStop()
{
    lock();
    if (play.playingSong || play.playingStyle) play.stopRequest = 1;
    const int save = (play.playingSong && songState.songRecord >= 1 && recordSequence && recordSequence->events[0].next >= kFirstEvent) ? 1 : 0;
    unlock();
    wakePlayer();
    return save;
}

void CKvSeq::sleepMs(int ms) { clock->sleepMs(ms); }

int CKvSeq::pendingRequest() const
{
    lock();
    const int r = play.fillRequest >= 1 ? play.fillRequest : play.partRequest;
    unlock();
    return r;
}

CStyle* CKvSeq::currentStyle() const
{
    lock();
    CStyle* s = styles[currentStyleSlot & 1];
    unlock();
    return s;
}

void CKvSeq::requestPart(int part)
{
    CStyle* style = currentStyle();
    const int type = style ? style->partType(part) : -1;
    if (type == kPartFillIn)
        set(play.fillRequest, part);
    else
        set(play.partRequest, part);
    wakePlayer();
}

void CKvSeq::selectPart(int part)
{
    if (part == 0 && get(play.inputMode) != 2) return;
    CStyle* style = currentStyle();
    const int type = style ? style->partType(part) : -1;
    lock();
    play.currentPart = part;
    if (type == kPartFillIn) {
        play.fillRequest = 0;
    } else {
        play.partRequest = 0;
        if (type == kPartMain) play.returnPart = part;
    }
    // A request made under another style may sit in the other field; once
    // its part is selected it is done, or the player would switch to it for ever.
    if (play.partRequest == part) play.partRequest = 0;
    if (play.fillRequest == part) play.fillRequest = 0;
    unlock();
    wakePlayer();
    events.post(kChangePart);
}

std::string CKvSeq::currentPartName() const
{
    lock();
    std::string name;
    const CStyle* style = styles[currentStyleSlot & 1];
    if (style && play.currentPart >= 0 && play.currentPart < style->partCount())
        name = style->parts[static_cast<size_t>(play.currentPart)].name;
    unlock();
    return name;
}

void CKvSeq::presetName(int index, std::string& buffer) const
{
    buffer.clear();
    if (index < 0 || index >= kPresetCount) return;
    lock();
    buffer = presets[index].name;
    unlock();
}

void CKvSeq::setTempo(int bpm)
{
    bpm = settingRow(&PlayState::tempo)->clamp(bpm);
    set(play.tempo, bpm);
    wakePlayer();
    markChanged(kChangeTempo);
    if (isRecordingPerformance()) recordEvent(kStatTempo, bpm, 0, 0, {});
}

void CKvSeq::stepTempo(int delta)
{
    lock();
    play.tempo = settingRow(&PlayState::tempo)->clamp(int64_t{play.tempo} + delta);
    play.userTempo = play.tempo;
    const int bpm = play.tempo;
    unlock();
    wakePlayer();
    markChanged(kChangeTempo);
    if (isRecordingPerformance()) recordEvent(kStatTempo, bpm, 0, 0, {});
}

void CKvSeq::setUserTempo(int bpm) { setSetting(&PlayState::userTempo, bpm, kChangeNone); }
void CKvSeq::setTransposition(int semitones) { setSetting(&PlayState::transposition, semitones, kChangeNone); }

void CKvSeq::changeTransposition(int value, bool relative)
{
    // Once the flag is up no sender is between reading the old transposition
    // and sending with it: each sends under the gate. The flag counts the
    // changes under way (a function and a registration may overlap), so
    // the senders wait until the last of them has changed the value.
    pthread_mutex_lock(&sendGate);
    update(play.transpositionBusy, [](uint8_t busy) { return busy + 1; });
    pthread_mutex_unlock(&sendGate);
    if (port) port->allNotesOff();
    // A step goes on past the row's range (only a set value is clamped).
    const SettingRow<PlayState>& row = *settingRow(&PlayState::transposition);
    update(play.transposition, [&](int32_t t) { return relative ? t + value : row.clamp(value); });
    markChanged();
    update(play.transpositionBusy, [](uint8_t busy) { return busy - 1; });
}
void CKvSeq::setTranspositionBusy(int busy) { set(play.transpositionBusy, busy ? 1 : 0); }
void CKvSeq::setPresetIndex(int index) { setSetting(&PlayState::presetIndex, index, kChangeNone); }
void CKvSeq::enterLiveMode() { setSetting(&PlayState::inputMode, kLiveMode, kChangeNone); }
void CKvSeq::suspendInput(bool suspended) { set(play.inputSuspended, suspended ? 1 : 0); }
void CKvSeq::setCurrentChord(const Chord& chord) { set(play.currentChord, chord); }

void CKvSeq::prepareStyleStart(bool keepChord)
{
    Chord none;
    parseChordSymbol(none, "");
    CLockGuard guard(engineMutex);
    if (!keepChord) play.currentChord = none;
    play.accompChord = play.currentChord;
}

int CKvSeq::toggleChordFixation()
{
    return update(play.chordFixation, [](uint8_t v) { return v ? 0 : 1; });
}
int CKvSeq::toggleMinorPedal()
{
    const int now = update(play.minorPending, [](uint8_t v) { return v ? 0 : 1; });
    markChanged();
    return now;
}

void CKvSeq::setAttentionKey(int note)
{
    const int32_t trigger = settingRow(&AttentionSettings::attentionTrigger)->clamp(int64_t{note} + 1);
    CLockGuard guard(engineMutex);
    attention.attentionTrigger = trigger;
    attention.attentionActive = 0;
}

void CKvSeq::setRepeatFill(bool repeat) { set(play.repeatFill, repeat ? 1 : 0); }
void CKvSeq::setReturnPart(int part) { set(play.returnPart, part); }
void CKvSeq::setPendingRegistration(int entry) { set(play.activePreset, std::max(entry, -1)); }

void CKvSeq::setSongRange(int startBar, int endBar, bool loop)
{
    const SettingRow<SongSettings>& start = *settingRow(&SongSettings::songStartBar);
    const SettingRow<SongSettings>& end = *settingRow(&SongSettings::songEndBar);
    CLockGuard guard(engineMutex);
    songState.songStartBar = start.clamp(startBar);
    songState.songEndBar = end.clamp(endBar);
    songState.songLoop = loop ? 1 : 0;
}

void CKvSeq::dropSongRange()
{
    CLockGuard guard(engineMutex);
    songState.songStartBar = 0;
    songState.songEndBar = 0;
}

void CKvSeq::setPresetButton(int button, int preset)
{
    if (button < 0 || button >= 4) return;
    for (const SettingRow<Defaults>& row : kDefaultsRows) {
        if (&row.in(defaults) != &defaults.presetButtons[button]) continue;
        set(row.in(defaults), row.clamp(preset));
        markChanged();
    }
}

StoredSettings CKvSeq::storedSettingsLocked() const
{
    return {mixer, areas, attention, recordState, defaults, play.transposition, play.presetIndex, play.confirmRestart};
}

void CKvSeq::adoptSettingsLocked(StoredSettings stored)
{
    clampToRows(stored.mixer);
    clampToRows(stored.areas);
    clampToRows(stored.attention);
    clampToRows(stored.recordState);
    clampToRows(stored.defaults);
    mixer = stored.mixer;
    areas = stored.areas;
    attention = stored.attention;
    recordState = stored.recordState;
    defaults = stored.defaults;
    play.transposition = settingRow(&PlayState::transposition)->clamp(stored.transposition);
    play.presetIndex = settingRow(&PlayState::presetIndex)->clamp(stored.presetIndex);
    play.confirmRestart = settingRow(&PlayState::confirmRestart)->clamp(stored.confirmRestart);
    if (play.confirmRestart == 1) play.paused = 1;
}

CStyle* CKvSeq::beginStyleRun()
{
    CLockGuard guard(engineMutex);
    play.accompChord = play.currentChord;
    return play.playingStyle;
}

Chord CKvSeq::adoptCurrentChord()
{
    lock();
    play.accompChord = play.currentChord;
    stateChanged = 1;
    const Chord chord = play.accompChord;
    unlock();
    events.post(kChangeChord);
    return chord;
}

void CKvSeq::setPlayingStyle(CStyle* style) { set(play.playingStyle, style); }
void CKvSeq::setLastBeat(int beat) { set(play.lastBeat, beat); }

bool CKvSeq::takeSetupResend()
{
    CLockGuard guard(engineMutex);
    const bool resend = play.setupResend != 0;
    play.setupResend = 0;
    return resend;
}

void CKvSeq::clearPartRequests()
{
    CLockGuard guard(engineMutex);
    play.fillRequest = 0;
    play.partRequest = 0;
}

void CKvSeq::setSongPosition(int64_t position) { set(play.songPosition, position); }

void CKvSeq::styleRunEnded()
{
    CLockGuard guard(engineMutex);
    play.stopRequest = 0;
    play.lastBeat = 0;
    if (play.confirmRestart == 1) play.paused = 1;
}

CMidiSequence* CKvSeq::takeRecording()
{
    CLockGuard guard(engineMutex);
    CMidiSequence* recording = recordSequence;
    recordSequence = nullptr;
    return recording;
}

CMidiSequence* CKvSeq::takeSongRecording()
{
    CLockGuard guard(engineMutex);
    CMidiSequence* recording = songState.songRecord >= 1 ? recordSequence : nullptr;
    if (recording) recordSequence = nullptr;
    songState.songRecord = 0;
    return recording;
}

void CKvSeq::songRunEnded()
{
    lock();
    play.playingSong = nullptr;
    play.stopRequest = 0;
    songState.playMode = 0;
    stateChanged = 1;
    unlock();
    events.post(kChangeSongEnded);
}

void CKvSeq::setChord(int root, int type, int bass)
{
    Chord chord; // fresh, so no text of an earlier chord survives
    lock();
    if (areas.chordRecognitionOff || songState.playMode != 0) {
        unlock();
        return;
    }
    buildChord(chord, root, play.minorPending ? 8 : type, bass);
    play.minorPending = 0;
    play.currentChord = chord;
    // The running style player picks the chord up itself.
    const bool playerTakesIt = play.playingStyle && !play.paused;
    unlock();
    if (playerTakesIt)
        wakePlayer();
    else
        handChordOver(false);
}

void CKvSeq::setFreeChord(const Chord& chord)
{
    set(play.currentChord, chord);
    wakePlayer();
    handChordOver(true);
}

void CKvSeq::handChordOver(bool evenWhilePaused)
{
    // The running style player picks currentChord up at its next wait step.
    if (isStylePlaying() && (evenWhilePaused || !get(play.paused))) return;
    lock();
    play.accompChord = play.currentChord;
    unlock();
    markChanged(kChangeChord);
    if (melody && parts.chordChanged) parts.chordChanged(melody); // re-harmonises the held right-hand keys
    if (!isPlaying()) startStylePlayer();
}

int CKvSeq::startStylePlayer()
{
    CLockGuard starting(playerStartMutex);
    // A loaded song, not the keyboard's chords, drives the music.
    if (!parts.stylePlayer || get(play.paused) || isPlaying() || get(songState.playMode) != 0) return 1;
    CStyle* style = currentStyle();
    const int part = get(play.currentPart);
    if (!style || part < 0 || part >= style->partCount() || style->parts[static_cast<size_t>(part)].startevent < kFirstEvent)
        return 1;
    // The previous run may still be saving its recording.
    joinPlayerLocked();
    set(play.playingStyle, style);
    createPlayerThread(parts.stylePlayer);
    return 0;
}

int CKvSeq::startSongPlayer(CMidiSequence* song, int startBar, int endBar, int loop, int record, int click)
{
    if (!song || !parts.songPlayer) return 1;
    CLockGuard starting(playerStartMutex);
    if (isPlaying()) return 1;
    joinPlayerLocked();
    lock();
    songState.barLoop = 0;
    songState.songBassChannel = 10;
    play.playingSong = song;
    songState.songStartBar = std::max(0, startBar);
    songState.songEndBar = std::max(0, endBar);
    unlock();
    setTempo(song->tempo);
    if (record >= 1) {
        // Named like an accompanied performance, with the song for the style.
        std::string title = song->name;
        title = title.substr(title.find_last_of("/\\") + 1);
        title = title.substr(0, title.find('.'));
        const int id = createNumberedRecording(title);
        lock();
        if (sequences[id] && sequences[id] == recordSequence) {
            recordSequence->ticksPerBeat = song->ticksPerBeat;
            recordSequence->numerator = song->numerator;
            recordSequence->denominator = song->denominator;
            recordSequence->tempo = play.tempo;
        }
        unlock();
    }
    lock();
    songState.songRecord = record >= 1 ? 1 : 0;
    songState.songClick = click == 1 ? 1 : 0;
    songState.songLoop = loop == 1 ? 1 : 0;
    play.songPosition = 0;
    play.positionRate = 0;
    play.recordTime = -1;
    unlock();
    markChanged(kChangeSongStarted);
    createPlayerThread(parts.songPlayer);
    return 0;
}

int CKvSeq::playSong(CMidiSequence* song)
{
    const int record = get(recordState.recording) ? 1 : 0;
    return startSongPlayer(song, 0, 0, 0, record, record);
}

void CKvSeq::stopAndWait()
{
    requestStop();
    while (isPlaying()) clock->sleepMs(10);
}

int CKvSeq::createNumberedRecording(std::string_view title)
{
    lock();
    recordCount += 1;
    const int count = recordCount;
    unlock();
    const int id = kFirstRecordingId + count % kRecordingIds;
    createRecordSequence(id);

    // "0001-Pop-Piano": the number, the title, the preset. A slash would
    // make the saved name a folder.
    std::string preset;
    presetName(get(play.presetIndex), preset);
    for (char& c : preset)
        if (c == '/' || c == '\\') c = '-';
    char number[16];
    std::snprintf(number, sizeof number, "%04d", count + 1);
    const std::string name = std::string(number) + "-" + std::string(title) + "-" + preset;
    lock();
    if (recordSequence) recordSequence->name = name;
    unlock();
    return id;
}

void CKvSeq::createPlayerThread(void* (*entry)(void*))
{
    pthread_attr_t attributes;
    vtn::initThreadAttributes(attributes, vtn::kPlayerThreadStack);
    const int rc = pthread_create(&playerThread, &attributes, entry, this);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        vtn::printText("ERROR; return code from pthread_create() is " + std::to_string(rc) + "\n");
        std::exit(-1);
    }
    playerStarted = true;
}

void CKvSeq::joinPlayerLocked()
{
    if (!playerStarted) return;
    pthread_join(playerThread, nullptr);
    playerStarted = false;
}

void CKvSeq::joinPlayer()
{
    CLockGuard starting(playerStartMutex);
    joinPlayerLocked();
}

void CKvSeq::sendStyleSetup()
{
    if (parts.sendStyleSetup) parts.sendStyleSetup(*this);
}

void CKvSeq::seedRandom(uint32_t seed)
{
    fixedSeed = seed;
    random.seed(seed);
}

void CKvSeq::setChordRecognition(int off)
{
    set(areas.chordRecognitionOff, off);
    if (port) port->allNotesOff();
    Chord none;
    parseChordSymbol(none, "");
    lock();
    play.accompChord = none;
    play.currentChord = none;
    unlock();
    markChanged(kChangeChord);
}

SentEvent CKvSeq::sendEvent(int status, int d1, int d2, int64_t dueUs)
{
    pthread_mutex_lock(&sendGate);
    // What a send needs of the engine, in one lock section under the gate:
    // a transposition change raises its flag under the gate, so no sender
    // is between reading the old value and sending with it.
    int32_t mode, shift;
    bool busy, records;
    for (;;) {
        lock();
        mode = play.inputMode;
        busy = play.transpositionBusy != 0;
        shift = play.transposition;
        records = recordingPerformanceLocked();
        unlock();
        if (mode != kLiveMode || !busy) break;
        pthread_mutex_unlock(&sendGate);
        clock->sleepMs(10);
        pthread_mutex_lock(&sendGate);
    }
    SentEvent sent;
    if (mode != kLiveMode) {
        pthread_mutex_unlock(&sendGate);
        if (port) port->sendTracked(status, d1, d2, dueUs);
        sent.status = status;
        sent.d1 = d1;
        sent.d2 = d2;
        return sent;
    }
    if (isNote(status) && channelOf(status) != 9) { // drums keep their pitch
        const long shifted = static_cast<long>(d1) + shift;
        d1 = static_cast<int>(std::clamp<long>(shifted, 0, 127));
    }
    d1 = clamp127(d1);
    // The note leaves first; the recording follows it.
    if (port) port->sendTracked(status, d1, d2, dueUs);
    sent.status = status;
    sent.d1 = d1;
    sent.d2 = d2;
    if (records) {
        sent.recorded = recordEvent(status, d1, d2, 0, {}, &sent.recording);
    }
    pthread_mutex_unlock(&sendGate);
    return sent;
}

void CKvSeq::takeBackEvent(const SentEvent& sent, bool endStillSounds)
{
    const int c = channelOf(sent.status);
    if (port && isNoteOn(sent.status, sent.d2))
        port->trackEvent(noteOffStatus(c), sent.d1, 0);
    else if (port && isNoteOff(sent.status, sent.d2) && endStillSounds)
        port->trackEvent(noteOnStatus(c), sent.d1, 64); // sounds on until it is sent again
    if (sent.recorded <= 0) return;
    CLockGuard guard(engineMutex);
    if (!recordSequence || recordSequence != sent.recording) return;
    int index = sent.recorded;
    const bool last = index == recordLastEvent;
    recordSequence->deleteEvent(index, 0, 0, 0);
    if (last) recordLastEvent = index; // the event before it
}

int CKvSeq::recordEvent(int status, int d1, int d2, int extra, std::string_view text, CMidiSequence** into)
{
    if (status == kStatChord) {
        if (text.empty()) return 0;
        Chord chord;
        parseChordSymbol(chord, text);
        d1 = chord.root;
        d2 = chord.type;
        extra = chord.bass;
    }
    lock();
    int64_t position = play.recordTime >= 0 ? play.recordTime : positionNowLocked();
    // A song's position counts thousandths of its ticks: the recording over
    // it is stamped in the song's own ticks.
    if (play.playingSong) position /= 1000;
    const int time = static_cast<int>(std::clamp<int64_t>(position, 0, INT32_MAX));
    int recorded = 0;
    if (recordSequence) {
        const int index = recordSequence->insertEvent(recordLastEvent, time, status, d1, d2, text, 0, 0);
        if (index != recordLastEvent) { // a refused event returns where it would have gone
            recordLastEvent = index;
            recordSequence->events[static_cast<size_t>(index)].db3 = extra;
            recorded = index;
            if (into) *into = recordSequence;
        }
    }
    unlock();
    return recorded;
}

void CKvSeq::installSequence(int id, CMidiSequence* sequence, bool asRecording)
{
    if (id < 0 || id >= kSequenceCount) {
        delete sequence;
        return;
    }
    if (sequence) sequence->sequenceId = id;
    const int slot = id - kStyleSlotBase;
    const bool styleSlot = slot == 0 || slot == 1;
    lock();
    CMidiSequence* old = sequences[id];
    // A sequence still being played or recorded into is never freed under its user.
    const bool inUse = old && (old == play.playingSong || old == play.playingStyle || old == recordSequence);
    sequences[id] = sequence;
    if (styleSlot) styles[slot] = sequence && sequence->isStyle ? static_cast<CStyle*>(sequence) : nullptr;
    if (asRecording) {
        recordSequence = sequence;
        recordLastEvent = 0;
    }
    CMidiSequence* freed = nullptr;
    if (!inUse && old != sequence) {
        freed = old;
        if (styleSlot) {
            freed = retiredStyle;
            retiredStyle = old;
        }
    }
    unlock();
    delete freed;
}

void CKvSeq::createRecordSequence(int id)
{
    if (id < 0 || id >= kStyleSlotBase) return; // ids of the style slots are not for recordings
    auto* seq = new CMidiSequence;
    seq->events.reserve(kRecordReserve);
    installSequence(id, seq, true);
}

void CKvSeq::createStyleSlot(int slot)
{
    if (slot < 0 || slot > 1) return;
    installSequence(kStyleSlotBase + slot, new CStyle);
}

int CKvSeq::loadStyle(int slotRequest, const uint8_t* data, int size, std::string_view name)
{
    int slot = slotRequest;
    if (slotRequest == -2) {
        // A switch the player has not made yet keeps its style: nothing else
        // goes into the other slot until then.
        lock();
        const bool switchPending = pendingStyleSlot != currentStyleSlot;
        if (!switchPending) {
            slot = 1 - (currentStyleSlot & 1);
            songState.playMode = 0;
        }
        unlock();
        if (switchPending) return -2;
    }
    if (slot < 0 || slot > 1) return -2;
    lock();
    // The style the player holds is never destroyed under it.
    const bool held = styles[slot] && styles[slot] == play.playingStyle;
    if (!held) styleName = std::string(name);
    unlock();
    if (held) return -2;

    auto* style = new CStyle;
    style->sequenceId = kStyleSlotBase + slot;
    const bool read = style->readStyle(data, size, sequenceOptions()) >= 1;
    if (read) {
        // A blocked tempo is kept here too, or loading would undo the block
        // that selecting the style respects.
        if (!isPlaying() && !get(play.blockTempo)) setTempo(style->tempo);
        // The new style's tempo events are obeyed again.
        setUserTempo(0);
    } else {
        delete style;
        style = nullptr;
    }
    installSequence(kStyleSlotBase + slot, style);
    if (!read) return -1;

    if (!isPlaying())
        selectStyleSlot(slot);
    else if (isStylePlaying()) {
        set(pendingStyleSlot, slot); // the style player switches at the next bar
        wakePlayer();
    }
    return slot;
}

void CKvSeq::saveRecording(CMidiSequence* finished)
{
    // Nothing records into it any more: give back the room kept for growing.
    if (finished) finished->events.shrink_to_fit();
    const ApplicationHooks h = get(hooks);
    if (h.saveRecording) h.saveRecording(h.context, finished);
}

SequenceOptions CKvSeq::sequenceOptions() const
{
    SequenceOptions o;
    o.targetVolume = get(defaults.targetVolume);
    o.targetVelocity = get(defaults.targetVelocity);
    o.keepTracks = get(recordState.recordKeepTracks) != 0;
    o.seqSpecificChords = get(recordState.recordChordsSeqSpecific) == 1;
    o.baseFolder = get(baseFolder);
    o.presetByName = presetNamed;
    o.presetContext = this;
    return o;
}

void CKvSeq::selectStyleSlot(int slot)
{
    if (slot < 0 || slot > 1) return;
    // The new style goes on with the kind and letters of the part in use.
    int type = 0, level1 = 0, level2 = 0;
    const CStyle* before = currentStyle();
    const int part = get(play.currentPart);
    if (before && before->partCount() >= 2 && part >= 0 && part < before->partCount()) {
        type = before->parts[static_cast<size_t>(part)].type;
        level1 = before->parts[static_cast<size_t>(part)].level1;
        level2 = before->parts[static_cast<size_t>(part)].level2;
    }
    lock();
    currentStyleSlot = slot;
    pendingStyleSlot = slot;
    const CStyle* style = styles[slot];
    unlock();
    wakePlayer();
    events.post(kChangeStyle);
    if (style) selectPart(style->findPart(type, level1, level2));
    sendStyleSetup();
    // A registration waiting for its style is applied now, in place of the
    // style's own tempo.
    const int registration = get(play.activePreset);
    if (registration < 0) {
        if (style && !get(play.blockTempo)) setTempo(style->tempo);
    } else if (liveInput && parts.applyStyleEntry) {
        parts.applyStyleEntry(liveInput, registration);
    }
}

void CKvSeq::processInput(int status, int d1, int d2)
{
    // In live mode the keyboard areas decide; before it everything played
    // passes straight through. liveInput is only read once live mode is on,
    // long after init stored it.
    if (get(play.inputMode) == kLiveMode && liveInput && parts.route)
        parts.route(liveInput, status, d1, d2);
    else
        sendEvent(status, d1, d2);
}
