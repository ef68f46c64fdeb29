#include "ReceiverOptions.h"

#include "core/base/Error.h"
#include "core/format/NameText.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace oz::receiver {

void parseOptions(const std::vector<std::string> &args, Options &o)
{
    const auto wrong = [](const std::string &why) { throw core::Error(why, core::Error::Kind::Usage); };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&](const std::string &option, std::string &into) {
            const std::string prefix = option + "=";
            if (arg.rfind(prefix, 0) == 0) {
                into = arg.substr(prefix.size());
                return true;
            }
            if (arg != option)
                return false;
            if (i + 1 >= args.size())
                wrong(option + " needs a value");
            into = args[++i];
            return true;
        };
        o.any = o.any || arg != "--in-terminal";
        if (value("--dest", o.dest))
            continue;
        if (value("--password", o.password)) {
            o.havePassword = true;
            continue;
        }
        if (value("--names", o.names)) {
            if ((o.names = oz::core::codePageNamed(o.names)).empty())
                wrong("--names takes one of " + oz::core::knownCodePages() + ", not " + args[i]);
            continue;
        }
        if (arg == "--list")
            o.list = true;
        else if (arg == "--test")
            o.test = true;
        else if (arg == "--overwrite")
            o.overwrite = true;
        else if (arg == "--quiet" || arg == "/S" || arg == "/s") // the last two as Windows installers take them
            o.quiet = true;
        else if (arg == "--info")
            o.info = true;
        else if (arg == "--in-terminal")
            o.inTerminal = true;
        else if (arg.size() > 3 && (arg.rfind("/D=", 0) == 0 || arg.rfind("/d=", 0) == 0))
            o.dest = arg.substr(3);
        else if (arg == "--help" || arg == "-h" || arg == "/?")
            o.help = true;
        else if (arg == "--version")
            o.version = true;
        else
            wrong("unknown option " + arg);
    }
}

std::string usage(const std::string &program)
{
    return "Usage: " + program
        + " [options]\n"
          "Unpacks the files this self-extracting archive holds.\n\n"
          "  --dest DIR       extract into DIR (default: a folder beside this file, named after it)\n"
          "  --password PW    the archive's password (or set ORVELZIP_PASSWORD)\n"
          "  --list           list the files and do nothing else\n"
          "  --test           verify every file without writing anything\n"
          "  --overwrite      replace files that exist already\n"
          "  --names CP       read names that are not UTF-8 in code page CP (CP866, CP932, ...)\n"
          "  --quiet          print nothing but errors\n"
          "  --info           show the stored settings\n"
          "  --help           show this help\n"
          "  --version        show the version\n"
          "  /S, /D=DIR       the same as --quiet and --dest DIR, as Windows installers take them\n\n"
          "The program an archive runs after unpacking gets its parameters as a Windows program\n"
          "splits its command line, on both systems: blanks separate arguments, double quotes\n"
          "group them (\"two words\"), a backslash is a backslash except before a double quote\n"
          "(\\\" is a quote inside an argument); nothing else is special.\n\n"
#ifdef _WIN32
          "A window program, it returns to cmd at once; to wait for it and read its exit status:\n"
          "  start /wait "
        + program
        + " --dest DIR\n  echo %ERRORLEVEL%\n"
          "Exit status: 0 done, 1 some files were kept or it was stopped (Stop, Ctrl-C), 2 an\n"
          "error; with a program to run, its own.\n";
#else
          "Exit status: 0 done, 1 some files were kept, 2 an error, 128 + N when signal N stopped\n"
          "it; with a program to run, its own.\n";
#endif
}

namespace fs = std::filesystem;

fs::path pathOf(const std::string &utf8)
{
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

namespace {

std::string utf8Of(const fs::path &path)
{
    const std::u8string s = path.u8string();
    return std::string(s.begin(), s.end());
}

} // namespace

std::string findProgram(const std::string &root, const std::string &name)
{
    std::error_code ec;
    std::vector<fs::path> level{pathOf(root)};
    while (!level.empty()) {
        for (const auto &folder : level) {
            const fs::path candidate = folder / pathOf(name);
            if (fs::is_regular_file(fs::symlink_status(candidate, ec)))
                return utf8Of(candidate);
        }
        std::vector<fs::path> next;
        for (const auto &folder : level) {
            std::vector<fs::path> below;
            for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
                if (fs::is_directory(it->symlink_status(ec)))
                    below.push_back(it->path());
            std::sort(below.begin(), below.end());
            next.insert(next.end(), below.begin(), below.end());
        }
        level = std::move(next);
    }
    return {};
}

} // namespace oz::receiver
