// The one exception the core throws: its what() is a sentence a program can show as it stands,
// and its kind lets each front end choose its own words and its own exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace oz::core {

class Error : public std::runtime_error {
public:
    // What kind of trouble. Every throw names one, so that no failure reaches a front end that
    // cannot tell a damaged archive from a full disk.
    enum class Kind {
        NotZip,        // no zip directory at all
        Refused,       // the archive is unsafe or inconsistent; nothing was written
        NoPassword,    // encrypted entries and no password
        WrongPassword, // the password does not decrypt them
        Damaged,       // found while reading data: CRC, authentication, short or long data
        Io,            // the disk: cannot read or write, full, permissions
        Stopped,       // asked to stop
        Declined,      // a question was answered with "quit"; nothing was written
        Unsupported,   // what a zip archive or this program cannot hold: a name too long, an unusable icon
        Usage,         // a command line the program does not take
        System,        // the system ran short: memory, a library that cannot start, no random numbers;
                       // or this program's own files are damaged, as an extractor program it builds on
    };
    Error(const std::string &what, Kind kind) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// "No such file or directory" for an errno value.
std::string systemError(int err);

} // namespace oz::core
