// What the extractor programs take from outside before they extract: their command line, the
// settings block the builder wrote, and the program to run with the parameters it names, split
// and quoted by the Windows rule. The input is a command line as Windows hands it over, a NUL,
// a byte of flags (1: the block's checksum is mended, so that mutations reach the text inside;
// 2: the trailer that measures it is added), then the settings block.
#include "core/base/Error.h"
#include "receiver/ProgramArguments.h"
#include "receiver/ReceiverOptions.h"
#include "receiver/SfxFormat.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

namespace {

using Kind = oz::core::Error::Kind;
using oz::receiver::splitArguments;

std::uint32_t get32(const std::string &s, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

void append32(std::string &s, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// Every argument quoted and split again comes back as it was.
void roundTrip(const std::vector<std::string> &args)
{
    std::string line;
    for (const std::string &a : args)
        line += (line.empty() ? "" : " ") + oz::receiver::quoteArgument(a);
    if (splitArguments(line) != args)
        std::abort();
}

// What cmd.exe makes of the text after /c for a batch script: every character it would take as
// syntax carries a caret, and without the carets the script's arguments split back as they were.
void checkBatchLine(const std::string &line, const std::string &program, const std::vector<std::string> &args,
                    const std::string &cmd)
{
    const std::string head = oz::receiver::quoteArgument(cmd) + " /d /s /c \"";
    if (line.compare(0, head.size(), head) != 0 || line.size() < head.size() + 1 || line.back() != '"')
        std::abort();
    std::string plain;
    for (std::size_t i = head.size(); i + 1 < line.size(); ++i) {
        const char c = line[i];
        if (c == '^') {
            if (i + 2 >= line.size())
                std::abort(); // a caret escaping the closing quote
            plain.push_back(line[++i]);
        } else if (std::string_view("%!^\"<>&|()").find(c) != std::string_view::npos) {
            std::abort();
        } else {
            plain.push_back(c);
        }
    }
    if (plain.compare(0, program.size(), program) != 0 || splitArguments(plain.substr(program.size())) != args)
        std::abort();
}

// The program an archive runs and its parameters, as both extractors hand them on.
void commandLines(const std::string &program, const std::vector<std::string> &args)
{
    const std::string cmd = "C:\\Windows\\system32\\cmd.exe";
    // A script is refused an argument that cmd.exe would end at a line break, and only that.
    const bool lineBreak = std::any_of(
        args.begin(), args.end(), [](const std::string &a) { return a.find_first_of("\r\n") != std::string::npos; });
    std::string line;
    try {
        line = oz::receiver::windowsCommandLine(program, args, cmd);
    } catch (const oz::core::Error &e) {
        if (!oz::receiver::isBatchScript(program) || !lineBreak || e.kind() != oz::core::Error::Kind::Unsupported)
            std::abort();
        return;
    }
    if (oz::receiver::isBatchScript(program) && lineBreak)
        std::abort();
    if (oz::receiver::isBatchScript(program)) {
        checkBatchLine(line, program, args, cmd);
        return;
    }
    // A file's path never holds a quote nor ends in a backslash; any other comes back whole.
    if (program.find('"') != std::string::npos || (!program.empty() && program.back() == '\\'))
        return;
    std::vector<std::string> expected{program};
    expected.insert(expected.end(), args.begin(), args.end());
    if (splitArguments(line) != expected)
        std::abort();
}

// The options as the extractor reads them: a refusal is a usage error with its reason.
void options(const std::vector<std::string> &args)
{
    oz::receiver::Options o;
    try {
        oz::receiver::parseOptions(args, o);
    } catch (const oz::core::Error &e) {
        if (e.kind() != Kind::Usage || std::strlen(e.what()) == 0)
            std::abort();
    }
}

// The block as the extractor finds it in front of its archive; a refusal says it is damaged.
void settings(std::string block, unsigned flags)
{
    if ((flags & 1) && block.size() >= 16) {
        const std::uint64_t iconAt = 12 + std::uint64_t(get32(block, 8));
        if (iconAt + 4 <= block.size()) {
            const std::uint64_t crcAt = iconAt + 4 + get32(block, iconAt);
            if (crcAt + 4 <= block.size()) {
                const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(block.data()), static_cast<uInt>(crcAt));
                std::string bytes;
                append32(bytes, static_cast<std::uint32_t>(crc));
                block.replace(crcAt, 4, bytes);
            }
        }
    }
    if (flags & 2) {
        append32(block, static_cast<std::uint32_t>(block.size()));
        block += "OZSFXEND";
    }
    static const int fd = memfd_create("self", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0
        || pwrite(fd, block.data(), block.size(), 0) != static_cast<ssize_t>(block.size()))
        std::abort();
    try {
        const oz::receiver::Settings s = oz::receiver::readSettings(fd, block.size());
        const std::vector<std::string> parameters = splitArguments(s.runParameters);
        roundTrip(parameters);
        commandLines(s.runProgram, parameters);
    } catch (const oz::core::Error &e) {
        if (e.kind() != Kind::Damaged && e.kind() != Kind::Io)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t nul = input.find('\0');
    const std::vector<std::string> args = splitArguments(input.substr(0, nul));
    roundTrip(args);
    options(args);
    if (!args.empty())
        commandLines(args.front(), std::vector<std::string>(args.begin() + 1, args.end()));
    if (nul != std::string::npos && nul + 1 < input.size())
        settings(input.substr(nul + 2), static_cast<unsigned char>(input[nul + 1]));
    return 0;
}
