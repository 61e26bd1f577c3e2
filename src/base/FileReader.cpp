#include "base/FileReader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vtn {

int readWholeFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>& data)
{
    data.clear();
    // Without O_NONBLOCK, opening a pipe nobody writes to would wait forever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? kFileMissing : kFileReadError;
    struct stat info {};
    int result = kFileRead;
    if (::fstat(fd, &info) != 0)
        result = kFileReadError;
    else if (!S_ISREG(info.st_mode))
        result = kFileNotRegular;
    else if (static_cast<uint64_t>(info.st_size) > maxBytes)
        result = kFileTooLarge;
    if (result == kFileRead) {
        data.resize(static_cast<size_t>(info.st_size));
        size_t got = 0;
        // The file may change while it is read: never past the room made for it.
        while (got < data.size()) {
            const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                result = kFileReadError;
                break;
            }
            if (n == 0) break;
            got += static_cast<size_t>(n);
        }
        data.resize(got);
    }
    ::close(fd);
    if (result != kFileRead) data.clear();
    return result;
}

std::string fileReadError(int result, size_t maxBytes)
{
    switch (result) {
    case kFileRead: return {};
    case kFileMissing: return std::strerror(ENOENT);
    case kFileNotRegular: return "not a regular file";
    case kFileTooLarge: return "larger than " + std::to_string(maxBytes) + " bytes";
    default: return "read error";
    }
}

} // namespace vtn
