// The parameters a self-extractor hands to the program it runs. Both extractors read the text
// typed into "Parameter" by one rule, the one Windows programs apply to their command line, so
// that the same text gives the same arguments on both systems.
#pragma once

#include <string>
#include <vector>

namespace oz::receiver {

// Splits text into arguments: blanks separate; double quotes group, blanks included; a
// backslash is a backslash, except before a double quote: 2n backslashes and a quote give n
// backslashes and group, 2n+1 give n backslashes and the quote itself; "" inside quotes is
// one quote. Nothing is expanded.
std::vector<std::string> splitArguments(const std::string &text);

// The argument written so that splitArguments (and any Windows program) reads it back.
std::string quoteArgument(const std::string &argument);

// The command line that starts program with arguments on Windows. A batch script (.bat, .cmd)
// runs through cmd.exe, its arguments quoted and escaped so that cmd neither splits them at
// '&', '|', '<', '>', ',', ';' or '=' nor expands '%' in them; checkScriptArguments first.
std::string windowsCommandLine(const std::string &program, const std::vector<std::string> &arguments,
                               const std::string &cmdExe);

// cmd.exe ends a command at a line break, quoted or not, so a script cannot be handed an
// argument that holds one: throws core::Error (Unsupported) naming it. Nothing for a program.
void checkScriptArguments(const std::string &program, const std::vector<std::string> &arguments);

// Whether Windows starts this file through cmd.exe.
bool isBatchScript(const std::string &program);

} // namespace oz::receiver
