// The records of a zip archive as the writer writes them: local headers, the central directory,
// the end records (zip64 where needed), DOS times and the extra fields of exact time and AES.
#pragma once

#include "WriteParts.h"

#include <utility>

namespace oz::core::writer {

// MS-DOS time and date of the local time, clamped to 1980 where it begins.
std::pair<std::uint16_t, std::uint16_t> dosTime(time_t mtime);

// dosTime for one thread, remembering the last answer: the files of a tree mostly share their
// second, and every localtime_r takes the time-zone lock.
class DosClock {
public:
    std::pair<std::uint16_t, std::uint16_t> operator()(time_t mtime)
    {
        if (mtime != last_ || !known_) {
            last_ = mtime;
            known_ = true;
            fields_ = dosTime(mtime);
        }
        return fields_;
    }

private:
    time_t last_ = 0;
    bool known_ = false;
    std::pair<std::uint16_t, std::uint16_t> fields_;
};

// The extended timestamp keeps 32 bits of time from 1970 on (past 2038 unsigned, which readers
// tell by the DOS date); the DOS fields alone stand for the rest.
bool exactTimeKept(time_t mtime);

// The local header, with zip64 sizes when asked.
std::vector<unsigned char> localHeader(const Item &item, const Written &w, bool zip64, int keyLength, DosClock &dos);
// One entry's record of the central directory.
std::vector<unsigned char> centralRecord(const Item &item, const Written &w, int keyLength, DosClock &dos);
// The end records of a directory of count entries from start to end: zip64 ones when needed.
std::vector<unsigned char> endRecords(std::uint64_t count, std::uint64_t start, std::uint64_t end);

} // namespace oz::core::writer
