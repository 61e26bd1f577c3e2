// The tables of the engine's records against the records themselves.
#include "engine/EngineSettings.h"

#include <gtest/gtest.h>

#include <set>

namespace {

// Every row points at its own field and starts where a fresh record starts,
// within its range; with `whole` the rows cover every byte of the record, so
// a field added without a row fails here.
template <typename R> void expectRowsMatchRecord(bool whole)
{
    R fresh{};
    std::set<const int32_t*> fields;
    for (const SettingRow<R>& row : settingRows<R>()) {
        fields.insert(&row.in(fresh));
        EXPECT_EQ(row.in(fresh), row.initial) << row.name;
        EXPECT_TRUE(row.low <= row.initial && row.initial <= row.high) << row.name;
    }
    EXPECT_EQ(fields.size(), settingRows<R>().size());
    if (whole) {
        EXPECT_EQ(fields.size() * sizeof(int32_t), sizeof(R));
    }
}

TEST(EngineSettings, ARowPerFieldStartingWhereTheRecordStarts)
{
    expectRowsMatchRecord<PlayState>(false); // only what is set from outside
    expectRowsMatchRecord<Mixer>(true);
    expectRowsMatchRecord<KeyboardAreas>(true);
    expectRowsMatchRecord<AttentionSettings>(true);
    expectRowsMatchRecord<SongSettings>(true);
    expectRowsMatchRecord<RecordingSettings>(true);
    expectRowsMatchRecord<Defaults>(true);
}

} // namespace
