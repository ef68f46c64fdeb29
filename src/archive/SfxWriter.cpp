// Writing a self-extracting executable: the extractor program, its settings
// block, then the zip archive.
#include "Internal.h"
#include "core/Error.h"
#include "receiver/BuilderPeImage.h"
#include "receiver/SfxFormat.h"

#include <QCoreApplication>
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
    receiver::Settings settings;
    if (!exe.iconFile.isEmpty()) {
        const QByteArray icon = readWhole(exe.iconFile, QStringLiteral("icon file"));
        settings.icon.assign(icon.constData(), static_cast<std::size_t>(icon.size()));
        settings.iconName = QFileInfo(exe.iconFile).fileName().toStdString();
        // The extractor reads no larger block: a larger icon would make an executable that
        // cannot start.
        if (settings.icon.size() > receiver::maxSettingsBytes)
            throw ArchiveError(QStringLiteral("The icon %1 is too large: an icon may hold at most %2 MiB")
                                   .arg(exe.iconFile)
                                   .arg(receiver::maxSettingsBytes >> 20));
    }
    settings.runProgram = exe.runProgram.toStdString();
    settings.runParameters = exe.runParameters.toStdString();
    settings.autoTemp = exe.autoTemp;
    settings.autoExtract = exe.autoExtract;
    const std::string block = receiver::encodeSettings(settings);
    // Explorer shows a Windows program's own icon: the chosen one becomes it.
    if (target == receiver::Target::Windows && !settings.icon.empty()) {
        try {
            receiver::setPeIcon(program, settings.icon);
        } catch (const core::Error &e) {
            throw ArchiveError(
                QStringLiteral("The icon %1 cannot be used: %2").arg(exe.iconFile, QString::fromUtf8(e.what())));
        }
    }

    // The archive is written behind the program and its settings, its offsets counted from the
    // start of the file, so that the executable is itself a zip for other tools.
    core::WriteJob exeJob = job;
    exeJob.prefix = std::move(program);
    exeJob.prefix += block;
    exeJob.executable = true;
    if (target == receiver::Target::Windows) {
        // The header's checksum covers the whole file, so it is computed once the archive is in.
        exeJob.finish = [](int fd) { receiver::writePeChecksum(fd); };
    }
    core::writeArchive(exeJob, progress);
}

} // namespace oz::archive::detail
