// Writing a self-extracting executable: the extractor program, its settings
// block, then the zip archive.
#include "Internal.h"
#include "core/base/Error.h"
#include "Signing.h"
#include "receiver/BuilderPeImage.h"
#include "receiver/PeVersion.h"
#include "receiver/ProgramArguments.h"
#include "receiver/SfxFormat.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oz::archive::detail {

namespace {

QByteArray readWhole(const QString &path, const QString &what)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ArchiveError(QStringLiteral("Cannot read the %1 %2: %3").arg(what, path, file.errorString()));
    return file.readAll();
}

// The name Windows shows for the program: the builder's, else the executable's.
QString productName(const QString &target, const ExeSettings &exe)
{
    return exe.product.isEmpty() ? QFileInfo(target).completeBaseName() : exe.product;
}

// What Explorer shows of the program: the builder's values, else the executable's name and this
// program's version.
receiver::VersionInfo versionInfo(const QString &target, const ExeSettings &exe)
{
    const QString product = productName(target, exe);
    const QString version = exe.version.isEmpty() ? QStringLiteral(OZ_VERSION) : exe.version;
    receiver::VersionInfo info;
    info.product = product.toStdU16String();
    info.description = (product + QStringLiteral(" self-extracting archive")).toStdU16String();
    info.version = version.toStdU16String();
    info.company = exe.company.toStdU16String();
    if (!exe.company.isEmpty())
        info.copyright = QStringLiteral("Copyright \u00a9 %1 %2")
                             .arg(QDate::currentDate().year())
                             .arg(exe.company)
                             .toStdU16String();
    info.fileName = QFileInfo(target).fileName().toStdU16String();
    info.numbers = receiver::versionNumbers(version.toStdString());
    return info;
}

// The icon's content, refused when empty or no icon a program can show, whichever the system.
std::string iconContent(const QString &path)
{
    const QByteArray icon = readWhole(path, QStringLiteral("icon file"));
    std::string content(icon.constData(), static_cast<std::size_t>(icon.size()));
    // The extractor reads no larger block: a larger icon would make an executable that cannot start.
    if (content.size() > receiver::maxSettingsBytes)
        throw ArchiveError(QStringLiteral("The icon %1 is too large: an icon may hold at most %2 MiB")
                               .arg(path)
                               .arg(receiver::maxSettingsBytes >> 20));
    receiver::checkIcon(content, path.toStdString());
    return content;
}

// The Windows program as the receiver gets it: the chosen icon and the version in its resources.
void dressWindowsProgram(std::string &program, const std::string &icon, const QString &target, const ExeSettings &exe)
{
    if (!icon.empty())
        receiver::setPeIcon(program, icon, exe.iconFile.toStdString());
    receiver::setPeVersion(program, versionInfo(target, exe));
}

} // namespace

QString extractorPath(receiver::Target target)
{
    const bool windows = target == receiver::Target::Windows;
    const QString name = windows ? QStringLiteral("orvelzip-sfx.exe") : QStringLiteral("orvelzip-sfx");
    QStringList candidates;
    const QString fromEnvironment
        = qEnvironmentVariable(windows ? "ORVELZIP_SFX_EXTRACTOR_WINDOWS" : "ORVELZIP_SFX_EXTRACTOR");
    if (!fromEnvironment.isEmpty())
        candidates << fromEnvironment;
    const QString here = QCoreApplication::applicationDirPath();
    candidates << here + QLatin1Char('/') + name << here + QStringLiteral("/../libexec/orvelzip/") + name;
#ifdef OZ_BUILD_EXTRACTOR
    candidates << QStringLiteral(OZ_BUILD_EXTRACTOR) + (windows ? QStringLiteral(".exe") : QString());
#endif
    for (const QString &c : candidates) {
        if (QFileInfo(c).isFile())
            return QDir::cleanPath(c);
    }
    throw ArchiveError(QStringLiteral("The %1 extractor program %2 was not found beside the program")
                           .arg(windows ? QStringLiteral("Windows") : QStringLiteral("Linux"), name));
}

void writeSelfExtracting(const core::WriteJob &job, const ExeSettings &exe, const std::function<void(int)> &progress)
{
    const receiver::Target target = exe.target.isEmpty() ? receiver::targetFor(job.target)
        : exe.target == QLatin1String("windows")         ? receiver::Target::Windows
                                                         : receiver::Target::Linux;
    const QByteArray extractor = readWhole(extractorPath(target), QStringLiteral("extractor"));
    std::string program(extractor.constData(), static_cast<std::size_t>(extractor.size()));
    const bool windows = target == receiver::Target::Windows;
    if (!windows && !exe.signCertificate.isEmpty())
        throw ArchiveError(QStringLiteral("Only a Windows program (.exe) can be signed"));
    receiver::Settings settings;
    const std::string icon = exe.iconFile.isEmpty() ? std::string() : iconContent(exe.iconFile);
    if (!icon.empty()) {
        settings.iconName = QFileInfo(exe.iconFile).fileName().toStdString();
        // A Windows program keeps its icon where Explorer reads it, in its resources, and only
        // there; a Linux one in its settings.
        if (!windows)
            settings.icon = icon;
    }
    settings.runProgram = exe.runProgram.toStdString();
    settings.runParameters = exe.runParameters.toStdString();
    if (windows)
        receiver::checkScriptArguments(settings.runProgram, receiver::splitArguments(settings.runParameters));
    settings.autoTemp = exe.autoTemp;
    settings.autoExtract = exe.autoExtract;
    const std::string block = receiver::encodeSettings(settings);
    if (windows)
        dressWindowsProgram(program, icon, QString::fromStdString(job.target), exe);

    // The archive is written behind the program and its settings, its offsets counted from the
    // start of the file, so that the executable is itself a zip for other tools.
    core::WriteJob exeJob = job;
    exeJob.prefix = std::move(program);
    exeJob.prefix += block;
    exeJob.executable = true;
    if (windows) {
        // The signature follows the archive, and the header's checksum covers the whole file,
        // signature included: both once the archive is in.
        exeJob.finish = [exe, target = QString::fromStdString(job.target)](int fd) {
            if (!exe.signCertificate.isEmpty())
                signExecutable(fd, target, productName(target, exe), exe);
            receiver::writePeChecksum(fd);
        };
    }
    core::writeArchive(exeJob, progress);
}

} // namespace oz::archive::detail
