#include "player/EngineAssembly.h"

#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "melody/CMelody.h"
#include "player/SongPlayer.h"
#include "player/StylePlayer.h"
#include "player/StyleSetup.h"

void installEngineParts(CKvSeq& engine)
{
    EngineParts& p = engine.parts;
    p.routeKeyboard = [](CLiveInput* in, int status, int d1, int d2) { in->routeKeyboard(status, d1, d2); };
    p.route = [](CLiveInput* in, int status, int d1, int d2) { in->route(status, d1, d2); };
    p.applyStyleEntry = [](CLiveInput* in, int entry) { in->applyStyleEntry(entry); };
    p.chordChanged = [](CMelody* melody) { melody->chordChanged(); };
    p.selectPreset = [](CMelody* melody, int preset) { melody->selectPreset(preset); };
    p.stylePlayer = stylePlayerThread;
    p.songPlayer = songPlayerThread;
    p.sendStyleSetup = sendStyleSetup;
    p.release = [](CKvSeq& e) {
        delete e.liveInput;
        delete e.melody;
    };
}

void assembleEngine(CKvSeq& engine, int flag)
{
    installEngineParts(engine);
    engine.liveInput = new CLiveInput(&engine);
    engine.melody = new CMelody(&engine);
    engine.init(flag);
}
