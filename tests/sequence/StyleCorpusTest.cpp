// The three real style files of the shared corpus (a 3/4 waltz at 1920
// ticks per beat, a funk style at 192, a samba at 1920 with extra tables
// and chunks after CASM). The figures below come from
// tools/style_reference.py, which reads the raw bytes on its own.
#include "SequenceTestUtil.h"

#include "engine/CKvSeq.h"
#include "sequence/CStyle.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct PartFigures {
    const char* name;
    int type, level1, level2, bars, offsettime;
    const char* tracks;
};

struct SegmentFigures {
    const char* sdec; // the part names, as the file lists them
    // "source|name|dest|editable|noteMute|chordMute|drum|root.type|ntr|ntt|highKey|low-high|rtr"
    std::vector<const char*> tables;
};

struct CorpusStyle {
    const char* file;
    int tempo, numerator, denominator, ticksPerBeat, averageVolume, averageVelocity;
    const char* destUsed;
    const char* destBank8;
    std::vector<PartFigures> parts;
    std::vector<SegmentFigures> segments;
};

const CorpusStyle kStyles[] = {
    {"JazzWaltzMed.S351.sst", 180, 3, 4, 1920, 76, 72, "0000000001111011", "0000000000000000",
     {{"Control changes", 0, 0, 0, 1, 0, "0000000000000000"}, {"Main A", 0, 0, 0, 8, 5760, "0000011111100101"}, {"Main B", 0, 1, 0, 8, 51840, "1111111111100101"}, {"Main C", 0, 2, 0, 8, 97920, "1111111111111001"}, {"Main D", 0, 3, 0, 8, 144000, "1111111111111101"}, {"Fill In AA", 1, 0, 0, 1, 190080, "0000011111100101"}, {"Fill In BB", 1, 1, 1, 1, 195840, "1111111111100101"}, {"Fill In CC", 1, 2, 0, 1, 201600, "1111111111111001"}, {"Fill In DD", 1, 3, 0, 1, 207360, "1111111111111101"}, {"Intro A", 2, 0, 0, 2, 213120, "0000000000000001"}, {"Intro B", 2, 1, 0, 4, 224640, "1100011001101101"}, {"Intro C", 2, 2, 0, 8, 247680, "1100011001111111"}, {"Ending A", 3, 0, 0, 3, 293760, "1111111111111101"}, {"Ending B", 3, 1, 0, 4, 311040, "1100011001101101"}, {"Ending C", 3, 2, 0, 10, 334080, "1100011001111111"}, {"Fill In BA", 1, 1, 0, 1, 391680, "1111111111111101"}},
     {
      {"Main A,Main B,Fill In AA,Fill In BB",
       {"0|pno norm|11|1|0fff|03f03e9fd7|0|0.2|1|2|7|48-127|1",
        "1|pno 3+7 |11|1|0fff|000fc16028|0|0.2|0|1|6|48-63|1",
        "2|pno 5+9 |11|1|0fff|000a412020|0|0.5|0|1|10|48-127|1",
        "3|pno 1+13|11|1|0fff|0005000008|0|0.24|0|1|7|0-127|1",
        "4|pno root|11|1|0fff|03f03ebff7|0|0.2|0|2|2|0-127|1",
        "5|gt norm |12|1|0fff|03f03e9fd7|0|0.2|1|2|7|0-127|1",
        "6|gt 3+7  |12|1|0fff|000fc16028|0|0.2|0|1|6|49-127|1",
        "7|gt 5+9  |12|1|0fff|000a412020|0|0.5|0|1|10|0-79|1",
        "8|gt 1+13 |12|1|0fff|0005000008|0|0.24|0|1|7|0-73|1",
        "9|AcBass1 |10|1|0fff|03cf59f777|0|0.2|0|3|4|28-56|2",
        "10|AcBass2 |10|1|0fff|0030a60888|0|0.2|0|3|4|28-56|2",
        "13|Vibes   |14|1|0fff|03ffffffff|0|0.2|1|2|7|0-127|1",
        "15|Drums   |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1"}},
      {"Main C,Fill In CC,Intro A",
       {"0|pno norm|11|1|0fff|03f03e9fd7|0|0.2|1|2|7|48-127|1",
        "1|pno 3+7 |11|1|0fff|000fc16028|0|0.2|0|1|6|48-63|1",
        "2|pno 5+9 |11|1|0fff|000a412020|0|0.5|0|1|10|48-127|1",
        "3|pno 1+13|11|1|0fff|0005000008|0|0.24|0|1|7|0-127|1",
        "4|pno root|11|1|0fff|03f03ebff7|0|0.2|0|2|2|0-127|1",
        "5|gt norm |12|1|0fff|03f03e9fd7|0|0.2|1|2|7|0-127|1",
        "6|gt 3+7  |12|1|0fff|000fc16028|0|0.2|0|1|6|49-127|1",
        "7|gt 5+9  |12|1|0fff|000a412020|0|0.5|0|1|10|0-79|1",
        "8|gt 1+13 |12|1|0fff|0005000008|0|0.24|0|1|7|0-73|1",
        "9|AcBass  |10|1|0fff|024000007f|0|0.2|0|3|4|28-56|2",
        "10|AcBass4 |10|1|0fff|0130005180|0|0.2|0|3|3|28-56|2",
        "11|AcBass3 |10|1|0fff|00007c0600|0|0.2|0|3|3|28-56|2",
        "12|AcBass2 |10|1|0fff|008f83a800|0|0.2|0|3|3|28-56|2",
        "13|Vibes   |14|1|0000|0000000000|0|0.2|1|2|7|0-127|1",
        "15|Drums   |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1"}},
      {"Main D,Fill In DD,Ending A,Fill In BA",
       {"0|pno norm|11|1|0fff|03f03e9fd7|0|0.2|1|2|7|48-127|1",
        "1|pno 3+7 |11|1|0fff|000fc16028|0|0.2|0|1|4|48-61|1",
        "2|pno 5+9 |11|1|0fff|000a412020|0|0.5|0|1|8|48-127|1",
        "3|pno 1+13|11|1|0fff|0005000008|0|0.24|0|1|5|0-127|1",
        "4|pno root|11|1|0fff|03f03cbe76|0|0.2|0|2|0|0-127|1",
        "5|gt norm |12|1|0fff|03f03e9fd7|0|0.2|1|2|7|0-127|1",
        "6|gt 3+7  |12|1|0fff|000fc16028|0|0.2|0|1|6|49-127|1",
        "7|gt 5+9  |12|1|0fff|000a412020|0|0.5|0|1|10|0-79|1",
        "8|gt 1+13 |12|1|0fff|0005000008|0|0.24|0|1|7|0-73|1",
        "9|AcBass  |10|1|0fff|000000007f|0|0.2|0|3|4|28-56|2",
        "10|AcBass4 |10|1|0fff|0130003080|0|0.2|0|3|3|28-56|2",
        "11|AcBass3 |10|1|0fff|0000060e00|0|0.2|0|3|3|28-56|2",
        "12|AcBass2 |10|1|0fff|02cff9c100|0|0.2|0|3|3|28-56|2",
        "13|Vibes   |14|1|0fff|03ffffffff|0|0.2|1|2|7|0-127|1",
        "15|Drums   |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1"}},
      {"Intro B,Intro C,Ending B,Ending C",
       {"0|pno Maj |11|1|0fff|03fff800ff|0|0.0|0|1|9|0-127|1",
        "1|pno min |11|1|0fff|000007ff00|0|0.8|0|1|9|0-127|1",
        "5|gt Maj  |12|1|0fff|03fff800ff|0|0.0|0|1|10|0-127|1",
        "6|gt min  |12|1|0fff|000007ff00|0|0.8|0|1|8|0-127|1",
        "9|bass Maj|10|1|0fff|03fff800ff|0|0.0|0|1|3|28-51|1",
        "10|bass min|10|1|0fff|000007ff00|0|0.8|0|1|3|28-51|1",
        "11|har min |15|1|0fff|000007ff00|0|0.8|0|1|8|0-127|1",
        "12|vibes mi|14|1|0fff|000007ff00|0|0.8|0|1|8|0-127|1",
        "13|vibes Ma|14|1|0fff|03fff800ff|0|0.0|0|1|8|0-127|1",
        "14|harm Maj|15|1|0fff|03fff800ff|0|0.0|0|1|5|0-127|1",
        "15|Drms    |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1"}},
     }},
    {"LingusFunk.S066.sty", 90, 4, 4, 192, 59, 66, "0000000011111111", "0000000000001000",
     {{"Control changes", 0, 0, 0, 1, 0, "0000000000000000"}, {"Main A", 0, 0, 0, 2, 768, "0000000010101010"}, {"Fill In AA", 1, 0, 0, 1, 2304, "0000000010101010"}, {"Intro A", 2, 0, 0, 1, 3072, "0000000010101000"}, {"Ending A", 3, 0, 0, 2, 3840, "1010100010101010"}, {"Main B", 0, 1, 0, 2, 5376, "1000000010101010"}, {"Fill In BB", 1, 1, 1, 1, 6912, "1000000010101010"}, {"Fill In BA", 1, 1, 0, 1, 7680, "1000000010101010"}, {"Intro B", 2, 1, 0, 2, 8448, "1010000010100000"}, {"Ending B", 3, 1, 0, 3, 9984, "1010100010101010"}, {"Main C", 0, 2, 0, 2, 12288, "1000100010101010"}, {"Fill In CC", 1, 2, 0, 1, 13824, "1000100010101010"}, {"Intro C", 2, 2, 0, 7, 14592, "1111110011111111"}, {"Ending C", 3, 2, 0, 7, 19968, "1111111111111111"}, {"Main D", 0, 3, 0, 2, 25344, "1010100010101010"}, {"Fill In DD", 1, 3, 0, 1, 26880, "0000000010101010"}},
     {
      {"Main A,Intro A,Fill In AA,Fill In DD",
       {"8|RoomKit |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "10|RoomKit |8|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "12|AnalogBa|10|1|0fff|03ffffffff|0|0.2|0|3|3|28-54|2",
        "14|NewTines|11|1|0fff|03ffffffff|0|0.2|1|2|6|0-127|1"}},
      {"Main B,Main C,Main D,Intro B,Fill In BB,Fill In CC,Fill In BA,Ending A,Ending B",
       {"0|C! Clean|12|1|0fff|03ffffffff|0|0.2|1|2|6|0-127|1",
        "2|Strings |13|1|0fff|03ffffffff|0|0.2|1|2|6|0-127|1",
        "4|Vibrapho|14|1|0fff|03ffffffff|0|0.2|1|2|6|0-127|1",
        "8|RoomKit |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "10|RoomKit |8|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "12|AnalogBa|10|1|0fff|03ffffffff|0|0.2|0|3|3|28-54|2",
        "14|NewTines|11|1|0fff|03ffffffff|0|0.2|1|2|6|0-127|1"}},
      {"Intro C",
       {"0|C! Clean|12|1|0fff|03fff800ff|0|0.0|0|1|6|0-127|1",
        "1|C! Clean|12|1|0fff|000007ff00|0|0.8|0|1|6|0-127|1",
        "2|Strings |13|1|0fff|03fff800ff|0|0.0|0|1|6|0-127|1",
        "3|Strings |13|1|0fff|000007ff00|0|0.8|0|1|6|0-127|1",
        "4|Vibrapho|14|1|0fff|03fff800ff|0|0.0|0|1|6|0-127|1",
        "5|Vibrapho|14|1|0fff|000007ff00|0|0.8|0|1|6|0-127|1",
        "8|RoomKit |9|1|0fff|07fff800ff|1|0.2|1|0|6|0-127|1",
        "9|RoomKit |9|1|0fff|000007ff00|0|0.2|1|1|6|0-127|1",
        "10|RoomKit |8|1|0fff|07fff800ff|1|0.2|1|0|6|0-127|1",
        "11|RoomKit |8|1|0fff|000007ff00|0|0.2|1|1|6|0-127|1",
        "12|AnalogBa|10|1|0fff|03fff800ff|0|0.0|0|3|3|28-54|2",
        "13|AnalogBa|10|1|0fff|000007ff00|0|0.8|0|3|3|28-54|2",
        "14|NewTines|11|1|0fff|03fff800ff|0|0.0|0|1|6|0-127|1",
        "15|NewTines|11|1|0fff|000007ff00|0|0.8|0|1|6|0-127|1"}},
      {"Ending C",
       {"0|C! Clean|12|1|0fff|03fff800ff|0|0.0|0|1|6|0-127|1",
        "1|C! Clean|12|1|0fff|000007ff00|0|0.8|0|1|6|0-127|1",
        "2|Strings |13|1|0fff|03fff800ff|0|0.0|0|1|6|0-127|1",
        "3|Strings |13|1|0fff|000007ff00|0|0.8|0|1|6|0-127|1",
        "4|Vibrapho|14|1|0fff|03fff800ff|0|0.0|0|1|6|0-127|1",
        "5|Vibrapho|14|1|0fff|000007ff00|0|0.8|0|1|6|0-127|1",
        "6|SquareLe|15|1|0fff|03fff800ff|0|0.0|0|1|6|0-127|1",
        "7|SquareLe|15|1|0fff|000007ff00|0|0.8|0|1|6|0-127|1",
        "8|RoomKit |9|1|0fff|07fff800ff|1|0.2|1|0|6|0-127|1",
        "9|RoomKit |9|1|0fff|000007ff00|0|0.2|1|1|6|0-127|1",
        "10|RoomKit |8|1|0fff|07fff800ff|1|0.2|1|0|6|0-127|1",
        "11|RoomKit |8|1|0fff|000007ff00|0|0.2|1|1|6|0-127|1",
        "12|AnalogBa|10|1|0fff|03fff800ff|0|0.0|0|3|3|28-54|2",
        "13|AnalogBa|10|1|0fff|000007ff00|0|0.8|0|3|3|28-54|2",
        "14|NewTines|11|1|0fff|03fff800ff|0|0.0|0|1|6|0-127|1",
        "15|NewTines|11|1|0fff|000007ff00|0|0.8|0|1|6|0-127|1"}},
     }},
    {"SambaCity213.s460.sty", 110, 4, 4, 1920, 48, 63, "0000000011111100", "0000000000000000",
     {{"Control changes", 0, 0, 0, 1, 0, "0000000000000000"}, {"Main A", 0, 0, 0, 2, 7680, "0000000111111101"}, {"Main B", 0, 1, 0, 2, 23040, "0000000111111101"}, {"Main C", 0, 2, 0, 2, 38400, "0000000111111111"}, {"Main D", 0, 3, 0, 2, 53760, "0000000111111111"}, {"Fill In AA", 1, 0, 0, 1, 69120, "0000000111111101"}, {"Fill In BB", 1, 1, 1, 1, 76800, "0000000111111101"}, {"Fill In CC", 1, 2, 0, 1, 84480, "0000001111111111"}, {"Fill In DD", 1, 3, 0, 1, 92160, "0000000111111111"}, {"Intro A", 2, 0, 0, 1, 99840, "0000000011000000"}, {"Intro B", 2, 1, 0, 2, 107520, "0000000011111100"}, {"Intro C", 2, 2, 0, 4, 122880, "0000000011110101"}, {"Ending A", 3, 0, 0, 1, 153600, "0000000111111101"}, {"Ending B", 3, 1, 0, 2, 161280, "0000000011110101"}, {"Ending C", 3, 2, 0, 2, 176640, "0000000011110101"}, {"Fill In BA", 1, 1, 0, 1, 192000, "0000000111100111"}},
     {
      {"Main A,Main B,Main C,Main D,Fill In AA,Fill In BB,Intro A,Intro B,Ending A",
       {"1|CC_Crash|9|1|0fff|0400000000|1|0.0|1|0|0|0-127|3",
        "7|Str_Root|13|1|0fff|002ffc7c50|0|0.2|0|2|6|0-127|1",
        "8|Add     |8|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "9|Main    |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "10|Bass    |10|1|0fff|03ffffffff|0|0.2|0|3|8|28-43|2",
        "11|Guitar  |11|1|0fff|03ffffffff|0|0.2|1|2|6|50-127|1",
        "12|Gtr_Root|11|1|0fff|002ffc7c50|0|0.2|0|2|6|0-127|1",
        "13|Piano   |12|1|0fff|03ffffffff|0|0.14|1|2|6|50-127|1",
        "14|PnoBass |12|1|0fff|03ffffffff|0|0.2|0|2|11|43-79|1",
        "15|Strings |13|0|0fff|03ffffffff|0|0.2|1|2|0|50-127|1"}},
      {"Fill In CC",
       {"1|CC_Crash|9|1|0fff|0400000000|1|0.0|1|0|0|0-127|3",
        "6|Bass    |10|1|0fff|0330039980|0|0.2|0|3|8|28-43|2",
        "7|Str_Root|13|1|0fff|002ffc7c50|0|0.2|0|2|6|0-127|1",
        "8|Add     |8|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "9|Main    |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "10|Bass    |10|1|0fff|00cffc667f|0|0.2|0|3|8|28-43|2",
        "11|Guitar  |11|1|0fff|03ffffffff|0|0.2|1|2|6|50-127|1",
        "12|Gtr_Root|11|1|0fff|002ffc7c50|0|0.2|0|2|6|0-127|1",
        "13|Piano   |12|1|0fff|03ffffffff|0|0.14|1|2|6|62-127|1",
        "14|PnoBass |12|1|0fff|03ffffffff|0|0.2|0|2|11|43-79|1",
        "15|Strings |13|1|0fff|03ffffffff|0|0.2|1|2|0|50-127|1"}},
      {"Fill In DD",
       {"1|CC_Crash|9|1|0fff|0400000000|1|0.0|1|0|0|0-127|3",
        "7|Str_Root|13|1|0fff|002ffc7c50|0|0.2|0|2|6|0-127|1",
        "8|Add     |8|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "9|Main    |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "10|Bass    |10|1|0fff|03ffffffff|0|0.2|0|3|8|28-43|2",
        "11|Guitar  |11|1|0fff|03ffffffff|0|0.2|1|2|6|50-127|1",
        "12|Gtr_Root|11|1|0fff|002ffc7c50|0|0.2|0|2|10|0-127|1",
        "13|Piano   |12|1|0fff|03ffffffff|0|0.14|1|2|6|50-127|1",
        "14|PnoBass |12|1|0fff|03ffffffff|0|0.2|0|2|11|43-79|1",
        "15|Strings |13|0|0fff|03ffffffff|0|0.2|1|2|0|50-127|1"}},
      {"Intro C,Ending B,Ending C",
       {"8|Add     |8|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "9|Main    |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "10|Bass    |10|1|0fff|03ffffffff|0|0.0|0|5|8|28-127|1",
        "11|GuitarMj|11|1|0fff|03ffffffff|0|0.0|0|5|5|54-65|1",
        "13|Piano   |12|1|0fff|03ffffffff|0|0.0|0|5|6|0-127|1",
        "15|Strings |13|0|0fff|03ffffffff|0|0.0|0|5|0|61-72|1"}},
      {"Fill In BA",
       {"1|CC_Crash|9|1|0fff|0400000000|1|0.0|1|0|0|0-127|3",
        "7|Str_Root|13|1|0fff|002ffc7c50|0|0.2|0|2|6|0-127|1",
        "8|Add     |8|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "9|Main    |9|1|0fff|07ffffffff|1|0.2|1|0|6|0-127|1",
        "10|Bass    |10|1|0fff|03ffffffff|0|0.2|0|3|8|28-43|2",
        "11|Guitar  |11|1|0fff|03ffffffff|0|0.2|1|2|6|50-127|1",
        "12|Gtr_Root|11|1|0fff|002ffc7c50|0|0.2|0|2|6|0-127|1",
        "13|Piano   |12|1|0fff|03ffffffff|0|0.14|1|2|6|50-127|1",
        "14|PnoBass |12|1|0fff|03ffffffff|0|0.2|0|3|6|42-56|2",
        "15|Strings |13|1|0fff|03ffffffff|0|0.2|1|2|0|50-127|1"}},
     }},
};

std::string flags(const uint8_t* v)
{
    std::string s;
    for (int k = 0; k < 16; ++k) s += static_cast<char>('0' + v[k]);
    return s;
}

std::string flags(const int32_t* v)
{
    std::string s;
    for (int k = 0; k < 16; ++k) s += static_cast<char>('0' + v[k]);
    return s;
}

std::string table(int source, const PartChannel& c)
{
    char line[160];
    std::snprintf(line, sizeof line, "%d|%s|%d|%d|%02x%02x|%02x%02x%02x%02x%02x|%d|%d.%d|%d|%d|%d|%d-%d|%d", source,
                  c.name.c_str(), c.dest, c.editable, c.noteMute[0], c.noteMute[1], c.chordMute[0], c.chordMute[1],
                  c.chordMute[2], c.chordMute[3], c.chordMute[4], c.drum, c.sourceChord.root, c.sourceChord.type, c.ntr,
                  c.ntt, c.highKey, c.lowLimit, c.highLimit, c.rtr);
    return line;
}

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) out.push_back(item);
    return out;
}

class StyleCorpus : public ::testing::TestWithParam<CorpusStyle> {};

TEST_P(StyleCorpus, LoadsWithItsPartsAndChannelTables)
{
    const std::string dir = testsupport::corpusDir();
    if (dir.empty()) GTEST_SKIP() << "no shared corpus";
    const CorpusStyle& want = GetParam();
    std::ifstream in(dir + "/styles/" + want.file, std::ios::binary);
    if (!in) GTEST_SKIP() << want.file << " not in the corpus";
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    CKvSeq engine;
    auto style = std::make_unique<CStyle>(&engine);
    style->messageOut = nullptr;
    ASSERT_GT(style->readStyle(data.data(), static_cast<int>(data.size())), 0);
    seqtest::expectConsistent(*style);
    EXPECT_EQ(style->tempo, want.tempo);
    EXPECT_EQ(engine.get(engine.tempo), want.tempo);
    EXPECT_EQ(style->numerator, want.numerator);
    EXPECT_EQ(style->denominator, want.denominator);
    EXPECT_EQ(style->ticksPerBeat, want.ticksPerBeat);
    EXPECT_EQ(style->averageVolume, want.averageVolume);
    EXPECT_EQ(style->averageVelocity, want.averageVelocity);
    EXPECT_EQ(flags(style->destUsed), want.destUsed);
    EXPECT_EQ(flags(style->destBank8), want.destBank8);

    ASSERT_EQ(style->parts.size(), want.parts.size());
    for (size_t k = 0; k < want.parts.size(); ++k) {
        const StylePart& p = style->parts[k];
        const PartFigures& w = want.parts[k];
        EXPECT_EQ(std::make_tuple(p.name, p.type, p.level1, p.level2, p.bars, p.offsettime, flags(p.tracks)),
                  std::make_tuple(std::string(w.name), w.type, w.level1, w.level2, w.bars, w.offsettime, std::string(w.tracks)))
            << "part " << k;
        // Each part begins at its marker, on a bar line.
        if (k == 0) continue;
        ASSERT_GE(p.startevent, kFirstEvent);
        EXPECT_EQ(style->events[p.startevent].stat, kStatMarker);
        EXPECT_EQ(style->events[p.startevent].string, w.name);
        EXPECT_EQ(style->events[p.startevent].ticks, p.offsettime) << w.name;
    }

    // Every channel of every part: the table of the last segment that names
    // the part, else the defaults without a destination. Part 0 takes the
    // dest, drum and ntt of every table applied.
    std::vector<StylePart> expected(style->parts.size());
    for (size_t k = 0; k < expected.size(); ++k)
        for (PartChannel& c : expected[k].channels) c.dest = -1;
    std::vector<std::vector<std::string>> rows(expected.size(), std::vector<std::string>(16));
    for (const SegmentFigures& s : want.segments) {
        for (const std::string& name : split(s.sdec)) {
            for (size_t k = 0; k < expected.size(); ++k) {
                if (style->parts[k].name != name) continue;
                for (const char* t : s.tables) rows[k][static_cast<size_t>(std::stoi(t))] = t;
            }
        }
    }
    for (size_t k = 0; k < expected.size(); ++k) {
        for (int c = 0; c < 16; ++c) {
            const std::string& row = rows[k][static_cast<size_t>(c)];
            const std::string got = table(c, style->parts[k].channels[c]);
            if (!row.empty()) {
                EXPECT_EQ(got, row) << style->parts[k].name << " channel " << c;
                const PartChannel& setup = style->parts[0].channels[c];
                EXPECT_GE(setup.dest, 8);
                EXPECT_LE(setup.dest, 15);
            } else if (k > 0) {
                EXPECT_EQ(got, table(c, expected[k].channels[c])) << style->parts[k].name << " channel " << c;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Style, StyleCorpus, ::testing::ValuesIn(kStyles), [](const auto& p) {
    std::string name = p.param.file;
    return name.substr(0, name.find('.'));
});

} // namespace
