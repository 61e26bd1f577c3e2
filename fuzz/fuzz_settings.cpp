// libFuzzer target for the settings reader: whatever the input, decoding ends,
// and what a decoded record holds stays inside the tables it indexes.
#include "app/SettingsFile.h"
#include "base/MessageSink.h"
#include "sequence/SequenceOptions.h"

#include <cstddef>
#include <cstdint>

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vtn::setMessageStream(nullptr);
    SettingsRecord r;
    const SettingsProblem problem = decodeSettings(data, size, "", SequenceOptions{}, r);
    check(problem.offset <= size);
    if (problem) return 0;
    const int sets = static_cast<int>(r.triggerSets.size());
    check(sets >= 1 && sets <= kMaxTriggerSets && r.presets.size() == kPresetCount);
    for (int s = 0; s < sets; ++s) {
        for (const TriggerEntry& e : r.triggerSets[static_cast<size_t>(s)].entries) {
            if (e.type == kEntrySubMenu) check(e.values[0] > s && e.values[0] < sets);
            if (e.type == kEntryStyle) check(e.values[0] >= 0 && e.values[0] < static_cast<int>(r.styleEntries.size()));
            if (e.type == kEntryPreset) check(e.values[0] >= 0 && e.values[0] < kPresetCount);
        }
    }
    check(r.blockB[kBPresetIndex] >= 0 && r.blockB[kBPresetIndex] < kPresetCount);
    check(r.splitChannel >= -1 && r.splitChannel < 16);
    check(r.velocityVariety >= 0 && r.velocityVariety <= 10);
    // What was read writes out and reads back the same.
    const std::vector<uint8_t> again = encodeSettings(r, r.version);
    SettingsRecord r2;
    check(!decodeSettings(again.data(), again.size(), "", SequenceOptions{}, r2));
    check(encodeSettings(r2, r.version) == again);
    return 0;
}
