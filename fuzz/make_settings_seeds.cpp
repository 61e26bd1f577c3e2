// Writes the seed files of the settings fuzzer into the folder named by the
// first argument: set-ups with menus and registrations in several layouts.
#include "app/SettingsFile.h"
#include "SmfBuilder.h"

#include <cstdio>
#include <string>

namespace {

bool save(const std::string& path, const std::vector<uint8_t>& b)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return 1;
    SettingsRecord r;
    r.startStyle = "Pop.sty";
    r.triggerSets[0].entries[0] = {kEntryFunction, {4, 0, -1}, "", "", "", ""};
    r.triggerSets[0].entries[1] = {kEntryMidiText, {0, 0, -1}, "Lamp", "", "B0 50 7F", "B0 50 00"};
    r.triggerSets[0].entries[2] = {kEntryStyle, {0, 0, -1}, "Pop", "", "", ""};
    r.triggerSets[0].entries[3] = {kEntrySubMenu, {1, 0, -1}, "More", "", "", ""};
    r.triggerSets.emplace_back();
    r.triggerSets[1].entries[4] = {kEntryChord, {2, 1, -1}, "", "", "", ""};
    StyleEntry e;
    e.fileName = "Pop.sty";
    e.partName = "Main B";
    r.styleEntries.push_back(e);
    r.presets[0].name = "Piano";
    r.records13.push_back({});
    r.texts = {"text"};
    smftest::Bytes t;
    t.meta(0, 0x06, "voice:Piano").vlq(0).u8({0xC0, 5}).meta(0, 0x2F, "");
    r.embeddedPresets = smftest::smf(0, 480, {t}).v;
    bool ok = true;
    for (int v : {3, 6, 9, 13}) ok = save(std::string(argv[1]) + "/v" + std::to_string(v) + ".cfg", encodeSettings(r, v)) && ok;
    return ok ? 0 : 1;
}
