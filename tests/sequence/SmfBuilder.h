#pragma once
// Builds Standard MIDI Files byte by byte for the reader and writer tests,
// and reads them back into comparable records.
#include "sequence/CMidiSequence.h"

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace smftest {

struct Bytes {
    std::vector<uint8_t> v;

    Bytes() = default;
    Bytes(std::initializer_list<int> bytes) { u8(bytes); }

    Bytes& u8(std::initializer_list<int> bytes)
    {
        for (int b : bytes) v.push_back(static_cast<uint8_t>(b));
        return *this;
    }
    Bytes& be(uint32_t x, int n)
    {
        for (int k = n - 1; k >= 0; --k) v.push_back(static_cast<uint8_t>(x >> (8 * k)));
        return *this;
    }
    // Variable-length quantity, most significant group first.
    Bytes& vlq(uint32_t x)
    {
        uint8_t tmp[5];
        int k = 0;
        tmp[k++] = x & 0x7F;
        while (x >>= 7) tmp[k++] = static_cast<uint8_t>(0x80 | (x & 0x7F));
        while (k > 0) v.push_back(tmp[--k]);
        return *this;
    }
    Bytes& text(std::string_view s)
    {
        v.insert(v.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& add(const Bytes& b)
    {
        v.insert(v.end(), b.v.begin(), b.v.end());
        return *this;
    }
    // Meta event: delta, FF, type, length, data.
    Bytes& meta(uint32_t delta, int type, std::string_view data)
    {
        return vlq(delta).u8({0xFF, type}).vlq(static_cast<uint32_t>(data.size())).text(data);
    }
    int size() const { return static_cast<int>(v.size()); }
};

inline Bytes chunk(std::string_view id, const Bytes& body)
{
    Bytes b;
    b.text(id).be(static_cast<uint32_t>(body.v.size()), 4).add(body);
    return b;
}

inline Bytes header(int format, int tracks, int division, uint32_t length = 6)
{
    Bytes b;
    b.text("MThd").be(length, 4).be(format, 2).be(tracks, 2).be(division, 2);
    return b;
}

// A whole file: header and one MTrk chunk per body.
inline Bytes smf(int format, int division, const std::vector<Bytes>& tracks)
{
    Bytes b = header(format, static_cast<int>(tracks.size()), division);
    for (const Bytes& t : tracks) b.add(chunk("MTrk", t));
    return b;
}

// A song that uses every kind of event the reader knows: two tracks with
// running status, controllers, programs, pressure, wheel, SysEx (plain and
// F7-escaped), tempo and time-signature changes, texts, every keyword marker
// and a sequencer-specific chord.
inline Bytes richSong()
{
    Bytes t0;
    t0.meta(0, 0x03, "Conductor").meta(0, 0x58, std::string("\x03\x02\x18\x08", 4));
    t0.meta(0, 0x51, std::string("\x07\xA1\x20", 3)).meta(0, 0x02, "(c) nobody");
    t0.meta(0, 0x06, "chord:Am7").meta(0, 0x06, "style:Swing.sty").meta(0, 0x06, "part:Main B");
    t0.meta(0, 0x06, "voice:12").meta(0, 0x06, "channelvoice:3;5;42").meta(0, 0x06, "melody:001;064;100");
    t0.meta(0, 0x7F, std::string("\x43\x7B\x01\x23\x00\x7F", 6)).meta(0, 0x06, "Intro");
    t0.vlq(1440).u8({0xFF, 0x51, 0x03}).be(400000, 3);
    t0.meta(0, 0x58, std::string("\x06\x03\x18\x08", 4)).meta(0, 0x05, "la");
    t0.vlq(720).u8({0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7}).u8({0x00, 0xF7, 0x02, 0x43, 0x10});
    t0.meta(360, 0x01, "end").meta(0, 0x2F, "");
    Bytes t1;
    t1.meta(0, 0x03, "Piano").u8({0x00, 0xC0, 0x05, 0x00, 0xB0, 0x07, 0x64, 0x00, 0x0A, 0x40});
    for (int k = 0; k < 24; ++k) {
        t1.vlq(k ? 60 : 0).u8({0x90, 48 + k % 12, 80});
        t1.vlq(0).u8({52 + k % 5, 70}).vlq(110).u8({48 + k % 12, 0}).vlq(0).u8({52 + k % 5, 0});
        t1.vlq(10).u8({0xE0, k, 64, 0x00, 0xA0, 48, 20, 0x00, 0xD0, 30});
    }
    t1.u8({0x00, 0x99, 36, 100}).vlq(30).u8({0x89, 36, 0}).u8({0x00, 0x99, 38, 90});
    return smf(1, 480, {t0, t1});
}

// Reads into the sequence; the reader's message lines are collected in
// `messages` instead of reaching the test output.
inline int read(CMidiSequence& s, const Bytes& file, std::string* messages = nullptr, int start = 0)
{
    std::FILE* sink = std::tmpfile();
    s.messageOut = sink;
    const int r = s.readMidiFile(file.v.data(), start, file.size());
    if (messages && sink) {
        std::rewind(sink);
        messages->clear();
        int c;
        while ((c = std::fgetc(sink)) != EOF) messages->push_back(static_cast<char>(c));
    }
    if (sink) std::fclose(sink);
    s.messageOut = nullptr;
    return r;
}

inline Bytes write(CMidiSequence& s, std::string_view trackName)
{
    Bytes b;
    b.v.resize(static_cast<size_t>(s.writeMidiFile(trackName)));
    s.copyOut(b.v.data());
    return b;
}

struct Ev {
    int ticks, stat, db1, db2, db3;
    std::string text;
    bool operator==(const Ev& o) const
    {
        return std::tie(ticks, stat, db1, db2, db3, text) == std::tie(o.ticks, o.stat, o.db1, o.db2, o.db3, o.text);
    }
    bool operator<(const Ev& o) const
    {
        return std::tie(ticks, stat, db1, db2, db3, text) < std::tie(o.ticks, o.stat, o.db1, o.db2, o.db3, o.text);
    }
};

inline std::ostream& operator<<(std::ostream& os, const Ev& e)
{
    return os << "{" << e.ticks << ", " << e.stat << ", " << e.db1 << ", " << e.db2 << ", " << e.db3 << ", \""
              << e.text << "\"}";
}

inline std::vector<Ev> eventsOf(const CMidiSequence& s, int list = kMainList)
{
    std::vector<Ev> out;
    for (int r = s.events[list].next; r >= kFirstEvent; r = s.events[r].next) {
        const MidiEvent& e = s.events[r];
        out.push_back({e.ticks, e.stat, e.db1, e.db2, e.db3, e.string});
    }
    return out;
}

// Checks a written file's chunk structure: every length matches what follows
// and every track ends with the end-of-track event. Returns the track count.
inline int checkChunks(const Bytes& f)
{
    auto be = [&](size_t at, int n) {
        uint32_t x = 0;
        for (int k = 0; k < n; ++k) x = (x << 8) | f.v.at(at + k);
        return x;
    };
    if (f.v.size() < 14 || be(4, 4) != 6) return -1;
    size_t pos = 14;
    int tracks = 0;
    while (pos < f.v.size()) {
        if (pos + 8 > f.v.size() || std::string(f.v.begin() + pos, f.v.begin() + pos + 4) != "MTrk") return -1;
        const size_t end = pos + 8 + be(pos + 4, 4);
        if (end > f.v.size() || end < pos + 12 || be(end - 3, 3) != 0xFF2F00) return -1;
        pos = end;
        ++tracks;
    }
    return static_cast<int>(be(10, 2)) == tracks ? tracks : -1;
}

} // namespace smftest
