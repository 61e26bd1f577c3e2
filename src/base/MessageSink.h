#pragma once
// Where the system's one-line messages go: standard output, unless a program
// or a test points them elsewhere (the companion tool keeps standard output
// for its JSON; a test reads them from a buffer). Safe from any thread.
#include <cstdio>
#include <string>
#include <string_view>

namespace vtn {

// The text and a newline.
void printLine(std::string_view text);
// The text as it stands, without a newline.
void printText(std::string_view text);

// Messages go to this stream from now on (nullptr: nowhere).
void setMessageStream(std::FILE* stream);

// Collects every message in a buffer while it lives, then puts the earlier
// destination back.
class CMessageCapture {
public:
    CMessageCapture();
    ~CMessageCapture();
    CMessageCapture(const CMessageCapture&) = delete;
    CMessageCapture& operator=(const CMessageCapture&) = delete;

    // What was printed so far; take() also empties the buffer.
    std::string text() const;
    std::string take();

private:
    std::string* previous;
    std::FILE* previousStream;
    std::string buffer;
};

// Collects what this thread alone prints while it lives (the reply to one
// command of the control socket); other threads print as before.
class CThreadMessageCapture {
public:
    CThreadMessageCapture();
    ~CThreadMessageCapture();
    CThreadMessageCapture(const CThreadMessageCapture&) = delete;
    CThreadMessageCapture& operator=(const CThreadMessageCapture&) = delete;
    std::string take();

private:
    std::string* previous;
    std::string buffer;
};

} // namespace vtn
