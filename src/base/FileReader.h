#pragma once
// Set-up files, styles and songs are read whole into memory and decoded from
// the buffer. Only a regular file of a size its format allows is read: a
// folder, a device such as /dev/zero, a pipe or an oversized file is refused
// before a byte of it is read, so no reader waits forever or fills memory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vtn {

enum FileReadResult : int { kFileRead = 0, kFileMissing, kFileNotRegular, kFileTooLarge, kFileReadError };

int readWholeFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>& data);

// Why a read was refused, as a short phrase ("not a regular file", ...).
std::string fileReadError(int result, size_t maxBytes);

} // namespace vtn
