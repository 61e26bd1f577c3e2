#pragma once
// The chord keys now held, in the order pressed. A fixed array: it is changed
// on the MIDI input thread for every key press and must never allocate. A key
// is held at most once, so 128 entries hold every possible key.
#include <cstdint>

struct HeldKey {
    int32_t note = 0;
    int32_t velocity = 0;
    int32_t channel = 0; // input channel of the press, 0-15
};

class HeldKeyList {
public:
    static constexpr int kCapacity = 128;

    int size() const { return count; }
    bool empty() const { return count == 0; }
    const HeldKey& operator[](int i) const { return keys[i]; }
    const HeldKey* data() const { return keys; }

    // Index of the entry for this note, -1 when it is not held.
    int find(int note) const
    {
        for (int i = 0; i < count; ++i)
            if (keys[i].note == note) return i;
        return -1;
    }
    // False (and nothing stored) when the list is full.
    bool append(const HeldKey& key)
    {
        if (count >= kCapacity) return false;
        keys[count++] = key;
        return true;
    }
    void removeAt(int i)
    {
        if (i < 0 || i >= count) return;
        for (int j = i + 1; j < count; ++j) keys[j - 1] = keys[j];
        --count;
    }
    void clear() { count = 0; }
    // Ascending by note, equal notes keeping their order. Insertion sort: the
    // list is short and std::stable_sort may allocate.
    void sortAscending()
    {
        for (int i = 1; i < count; ++i) {
            const HeldKey key = keys[i];
            int j = i;
            for (; j > 0 && keys[j - 1].note > key.note; --j) keys[j] = keys[j - 1];
            keys[j] = key;
        }
    }

private:
    HeldKey keys[kCapacity];
    int count = 0;
};
