#include "app/CRecordingSaver.h"

#include "base/CLockGuard.h"
#include "base/MessageSink.h"
#include "base/RealTime.h"

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <system_error>
#include <unistd.h>

CRecordingSaver::WriteCall CRecordingSaver::writeCall = ::write;

namespace {

std::string errorText(int error) { return std::error_code(error, std::generic_category()).message(); }

enum WriteResult { kWritten, kNotCreated, kNotWritten };

// The folder part of a path, "." for none.
std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes the bytes under a temporary name, forces them to the storage and
// renames the file into place; on any failure the temporary file goes and
// nothing at `path` changes. The errno of a failure goes to `error`.
WriteResult writeWhole(const std::string& path, const std::vector<uint8_t>& bytes, int& error)
{
    const std::string part = path + ".part";
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return kNotCreated;
    }
    size_t done = 0;
    error = 0;
    while (done < bytes.size()) {
        const ssize_t n = CRecordingSaver::writeCall(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    // Delayed write errors (a full card, a network folder) show at fsync or close.
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(part.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(part.c_str());
        return kNotWritten;
    }
    // The new name itself lives in the folder: make it reach the storage too.
    const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return kWritten;
}

} // namespace

bool CRecordingSaver::saveFile(const std::string& folder, const std::string& fileName, const std::vector<uint8_t>& bytes)
{
    std::string path = folder + fileName;
    int error = 0;
    WriteResult result = writeWhole(path, bytes, error);
    if (result == kNotCreated && !folder.empty()) {
        // The performance is kept rather than lost with the folder.
        const std::string reason = errorText(error);
        path = fileName;
        result = writeWhole(path, bytes, error);
        if (result == kWritten)
            vtn::printLine("Unable to save in " + folder + " (" + reason + "); recording saved as " + path +
                           " in the working directory");
    }
    if (result == kNotCreated) vtn::printLine("Unable to open vtnnew");
    if (result == kNotWritten) vtn::printLine("Recording not saved completely: " + path + ": " + errorText(error));
    return result == kWritten;
}

CRecordingSaver::CRecordingSaver() = default;

CRecordingSaver::~CRecordingSaver()
{
    {
        CLockGuard guard(mutex);
        ending = true;
        pthread_cond_broadcast(&changed);
    }
    if (started) pthread_join(thread, nullptr);
    pthread_cond_destroy(&changed);
    pthread_mutex_destroy(&mutex);
}

void CRecordingSaver::post(std::string folder, std::string fileName, std::vector<uint8_t> bytes)
{
    CLockGuard guard(mutex);
    if (!started) {
        // Without a thread the recording is still written, only on the caller's time.
        // Plain priority, whoever asks first: a player thread runs at
        // real-time priority, and waiting for the storage must not.
        pthread_attr_t attributes;
        vtn::initThreadAttributes(attributes, vtn::kSaverThreadStack);
        pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&attributes, SCHED_OTHER);
        sched_param plain{};
        pthread_attr_setschedparam(&attributes, &plain);
        started = pthread_create(&thread, &attributes, threadMain, this) == 0;
        pthread_attr_destroy(&attributes);
        if (!started) {
            saveFile(folder, fileName, bytes);
            return;
        }
    }
    jobs.push_back({std::move(folder), std::move(fileName), std::move(bytes)});
    pthread_cond_broadcast(&changed);
}

void CRecordingSaver::waitIdle()
{
    CLockGuard guard(mutex);
    while (!jobs.empty() || busy) pthread_cond_wait(&changed, &mutex);
}

void* CRecordingSaver::threadMain(void* self)
{
    static_cast<CRecordingSaver*>(self)->work();
    return nullptr;
}

void CRecordingSaver::work()
{
    CLockGuard guard(mutex);
    for (;;) {
        while (jobs.empty() && !ending) pthread_cond_wait(&changed, &mutex);
        if (jobs.empty()) return; // ending, and everything is written
        Job job = std::move(jobs.front());
        jobs.pop_front();
        busy = true;
        pthread_mutex_unlock(&mutex);
        saveFile(job.folder, job.fileName, job.bytes);
        pthread_mutex_lock(&mutex);
        busy = false;
        pthread_cond_broadcast(&changed);
    }
}
