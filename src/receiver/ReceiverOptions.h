// The options both extractor programs take on their command line, for scripts.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace oz::receiver {

// A path of the options or of an entry's name: UTF-8 on both systems, which a Windows path keeps
// as UTF-16.
std::filesystem::path pathOf(const std::string &utf8);

struct Options {
    std::string dest;
    std::string password;
    std::string names; // the code page of names that are not UTF-8 ("CP866"), or "" to detect it
    bool havePassword = false;
    bool list = false;
    bool test = false;
    bool overwrite = false;
    bool quiet = false;
    bool info = false;
    bool help = false;
    bool version = false;
    bool inTerminal = false; // the Linux program, started in a terminal window of its own
    bool any = false;        // some option was given
};

// Reads args (without the program's name). Throws core::Error (Usage) with the reason; out then
// holds what came before.
void parseOptions(const std::vector<std::string> &args, Options &out);

// The help text.
std::string usage(const std::string &program);

// What the program to run is and where: at the top of the tree, else the first found below it,
// folders in name order, level by level. The path found, or "" when there is none.
std::string findProgram(const std::string &root, const std::string &name);

} // namespace oz::receiver
