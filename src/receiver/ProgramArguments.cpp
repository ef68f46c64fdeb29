#include "ProgramArguments.h"
#include "core/base/Error.h"

#include <string_view>

namespace oz::receiver {

std::vector<std::string> splitArguments(const std::string &text)
{
    std::vector<std::string> out;
    std::string current;
    bool inWord = false, quoted = false;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '\\') {
            std::size_t n = 0;
            while (i < text.size() && text[i] == '\\')
                ++n, ++i;
            const bool beforeQuote = i < text.size() && text[i] == '"';
            current.append(beforeQuote ? n / 2 : n, '\\');
            if (beforeQuote && n % 2 == 1)
                current.push_back(text[i++]);
            inWord = true;
        } else if (c == '"') {
            if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                current.push_back('"');
                ++i;
            } else {
                quoted = !quoted;
            }
            inWord = true;
            ++i;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (inWord)
                out.push_back(current);
            current.clear();
            inWord = false;
            ++i;
        } else {
            current.push_back(c);
            inWord = true;
            ++i;
        }
    }
    if (inWord)
        out.push_back(current);
    return out;
}

namespace {

std::string quoted(const std::string &argument)
{
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, '\\'); // before the closing quote
    out.push_back('"');
    return out;
}

// cmd.exe takes each of these as syntax unless a caret precedes it; with every one escaped it
// sees no quotes either, and hands the text on as it stands.
std::string escapeForCmd(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        if (std::string_view("()[]%!^\"`<>&|;, *?").find(c) != std::string_view::npos)
            out.push_back('^');
        out.push_back(c);
    }
    return out;
}

} // namespace

std::string quoteArgument(const std::string &argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\n\r\"") == std::string::npos)
        return argument;
    return quoted(argument);
}

bool isBatchScript(const std::string &program)
{
    if (program.size() < 4)
        return false;
    std::string end = program.substr(program.size() - 4);
    for (char &c : end)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return end == ".bat" || end == ".cmd";
}

void checkScriptArguments(const std::string &program, const std::vector<std::string> &arguments)
{
    if (!isBatchScript(program))
        return;
    for (const std::string &a : arguments)
        if (a.find_first_of("\r\n") != std::string::npos)
            throw core::Error("The script " + program + " cannot be given a parameter that holds a line break",
                              core::Error::Kind::Unsupported);
}

std::string windowsCommandLine(const std::string &program, const std::vector<std::string> &arguments,
                               const std::string &cmdExe)
{
    if (!isBatchScript(program)) {
        std::string line(1, '"');
        line += program;
        line += '"';
        for (const std::string &a : arguments)
            line += " " + quoteArgument(a);
        return line;
    }
    // A script splits its arguments at ',', ';' and '=' as well: each is quoted, and %~1 in the
    // script takes the quotes off again. The line's own quotes are cmd's (/s): they go.
    checkScriptArguments(program, arguments);
    std::string line = quoteArgument(cmdExe);
    line += " /d /s /c \"";
    line += escapeForCmd(program);
    for (const std::string &a : arguments)
        line += " " + escapeForCmd(quoted(a));
    return line + "\"";
}

} // namespace oz::receiver
