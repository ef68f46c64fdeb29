// Writing a zip archive: the chosen files deflated (libdeflate) and, with a password, encrypted
// with WinZip AES by one worker per core, written in order, with zip64 where sizes need it,
// UTF-8 names, exact times and Unix modes. The archive appears under its name only when
// complete, so a failed write leaves an existing file as it was.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

struct libdeflate_compressor;

namespace oz::core {

// One file or folder chosen for the archive.
struct WriteItem {
    std::string source; // path on disk as the system takes it; for folders, the folder
    std::string name;   // entry name, UTF-8, '/' between folders; folders end in '/'
    bool folder = false;
    bool special = false; // device, pipe, socket, broken link: stored empty and read-only, never read
};

// What was written for one item, in the order of the items.
struct WrittenEntry {
    std::uint64_t size = 0;
    std::uint64_t compressedSize = 0;
    std::time_t mtime = 0; // as a reader will take it back
    bool encrypted = false;
    bool folder = false;
};

struct WriteJob {
    std::string target;
    const std::vector<WriteItem> *entries = nullptr;
    std::string password; // empty: no encryption
    int keyLength = 256;
    int level = 6;
    int threads = 0;                              // 0: one per core
    std::vector<WrittenEntry> *written = nullptr; // when set, receives what was written
    std::string prefix;                           // written in front of the archive (a self-extractor's program)
    bool executable = false;                      // a new file gets the x bits the umask allows
    // Called on the complete file, open read-write, before it takes its name: what a
    // self-extractor's headers say about the whole file is written here. Throws Error to fail.
    std::function<void(int fd)> finish;
    // When it turns true, writing ends within a chunk or an entry and throws Error (Stopped);
    // the target is left as it was and nothing half-written remains.
    const std::atomic<bool> *stop = nullptr;
};

// Writes the archive; progress gets 0 to 100 by bytes read. Throws Error with a sentence that
// names the file ("Cannot read /data/a.txt: Permission denied").
void writeArchive(const WriteJob &job, const std::function<void(int)> &progress);

// Zip readers find an archive by its end record, looking back from the end of the file: Python's
// and ours over the longest comment the record can announce (64 KiB), libarchive's (bsdtar) over
// the last 16 KiB only, the first byte excluded. What follows a finished archive (a program's
// signature, which 7-Zip knows to leave out and the others skip as they look back) must fit in
// the shortest of those looks.
constexpr std::uint64_t maxBytesAfterEnd = 16 * 1024 - 22 - 1;

// Checks that zip readers still find the archive that ends at archiveEnd in the file open on fd,
// with what now follows it: no more than maxBytesAfterEnd bytes, and nothing among them that a
// reader looking back would take for an end record first. Throws Error with the reason.
void checkFoundBehind(int fd, std::uint64_t archiveEnd);

// Deflates one piece of a longer deflate stream. Unless it is the last, the piece ends on a
// byte boundary and without the final-block mark, so that the next piece can follow it as it
// stands. False when deflating failed.
bool deflatePiece(libdeflate_compressor *compressor, const unsigned char *data, std::size_t size, bool last,
                  std::vector<unsigned char> &out);

// Reports a percentage each time it changes, from 0 to 100.
class Progress {
public:
    Progress(std::uint64_t total, std::function<void(int)> report);
    void begin();
    void advance(std::uint64_t bytes);
    void finish();

private:
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    int last_ = -1;
    std::function<void(int)> report_;
};

} // namespace oz::core
