#include "base/MessageSink.h"

#include "base/CLockGuard.h"

#include <pthread.h>

namespace vtn {
namespace {
pthread_mutex_t sinkMutex = PTHREAD_MUTEX_INITIALIZER;
std::FILE* sinkStream = stdout;
std::string* sinkBuffer = nullptr;
thread_local std::string* threadBuffer = nullptr;

void emit(std::string_view text, bool newline)
{
    if (threadBuffer) {
        threadBuffer->append(text);
        if (newline) threadBuffer->push_back('\n');
        return;
    }
    CLockGuard guard(sinkMutex);
    if (sinkBuffer) {
        sinkBuffer->append(text);
        if (newline) sinkBuffer->push_back('\n');
        return;
    }
    if (!sinkStream) return;
    std::fwrite(text.data(), 1, text.size(), sinkStream);
    if (newline) std::fputc('\n', sinkStream);
    std::fflush(sinkStream);
}
} // namespace

void printLine(std::string_view text) { emit(text, true); }
void printText(std::string_view text) { emit(text, false); }

void setMessageStream(std::FILE* stream)
{
    CLockGuard guard(sinkMutex);
    sinkStream = stream;
}

CMessageCapture::CMessageCapture()
{
    CLockGuard guard(sinkMutex);
    previous = sinkBuffer;
    previousStream = sinkStream;
    sinkBuffer = &buffer;
}

CMessageCapture::~CMessageCapture()
{
    CLockGuard guard(sinkMutex);
    sinkBuffer = previous;
    sinkStream = previousStream;
}

std::string CMessageCapture::text() const
{
    CLockGuard guard(sinkMutex);
    return buffer;
}

std::string CMessageCapture::take()
{
    CLockGuard guard(sinkMutex);
    std::string r;
    r.swap(buffer);
    return r;
}

CThreadMessageCapture::CThreadMessageCapture() : previous(threadBuffer) { threadBuffer = &buffer; }

CThreadMessageCapture::~CThreadMessageCapture() { threadBuffer = previous; }

std::string CThreadMessageCapture::take()
{
    std::string r;
    r.swap(buffer);
    return r;
}

} // namespace vtn
