// The one exception the core throws: its what() is a sentence a program can show as it stands.
#pragma once

#include <stdexcept>
#include <string>

namespace oz::core {

class Error : public std::runtime_error {
public:
    // What kind of trouble, so that a caller can choose its own words for the common ones.
    enum class Kind {
        Other,
        NotZip,        // no zip directory at all
        Refused,       // the archive is unsafe or inconsistent; nothing was written
        NoPassword,    // encrypted entries and no password
        WrongPassword, // the password does not decrypt them
        Damaged,       // found while reading data: CRC, authentication, short or long data
        Io,            // the disk: cannot write, full, permissions
        Stopped,       // asked to stop
    };
    explicit Error(const std::string &what, Kind kind = Kind::Other) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// "No such file or directory" for an errno value.
std::string systemError(int err);

} // namespace oz::core
