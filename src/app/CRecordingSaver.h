#pragma once
// Writes finished recordings to the storage on a thread of its own. Making a
// file safe against a power cut means waiting for the storage (an SD card
// can take a good part of a second), and the player that hands a recording
// over must not wait for that: the next start joins it.
#include <cstdint>
#include <deque>
#include <pthread.h>
#include <string>
#include <sys/types.h>
#include <vector>

class CRecordingSaver {
public:
    CRecordingSaver();
    ~CRecordingSaver(); // writes what is still queued, then ends the thread
    CRecordingSaver(const CRecordingSaver&) = delete;
    CRecordingSaver& operator=(const CRecordingSaver&) = delete;

    // Queues the file image for folder + fileName; returns at once.
    void post(std::string folder, std::string fileName, std::vector<uint8_t> bytes);
    // Returns when everything queued so far is written (or refused).
    void waitIdle();

    // Writes the bytes to folder + fileName, or to fileName in the working
    // directory when the folder takes no file; false (and one line) when
    // they were not all written. The file appears whole or not at all: the
    // bytes go to a ".part" file beside it, reach the storage, and only then
    // take the name, so a power cut leaves the old state or the whole new file.
    static bool saveFile(const std::string& folder, const std::string& fileName, const std::vector<uint8_t>& bytes);

    // The write call saveFile uses; a test makes it fail.
    using WriteCall = ssize_t (*)(int fd, const void* data, size_t size);
    static WriteCall writeCall;

private:
    struct Job {
        std::string folder;
        std::string fileName;
        std::vector<uint8_t> bytes;
    };
    static void* threadMain(void* self);
    void work();

    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    std::deque<Job> jobs;
    bool busy = false;
    bool ending = false;
    bool started = false;
    pthread_t thread{};
};
