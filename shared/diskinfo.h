#pragma once

#include <array>

// The disk information the machine key is made from, in the record layout that the login
// contract fixes: 6,144 bytes, the disk serial as NUL-terminated 8-bit text at offset 3072.
namespace DiskInfo {

constexpr int recordSize = 6144;
constexpr int serialOffset = 3072;
using Record = std::array<char, recordSize>;

// Clears the record and writes the serial of this computer's disk into it: on Windows the
// first physical drive's, elsewhere that of the disk holding the program directory. A serial
// that cannot be read stays empty; the same disk always gives the same serial.
void getDiskInfo(Record &record);

} // namespace DiskInfo
