// Writing a self-extracting executable: the extractor program, its settings
// block, then the zip archive.
#include "Internal.h"
#include "sfxstub/SfxFormat.h"

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

QString extractorPath()
{
    QStringList candidates;
    const QString fromEnvironment = qEnvironmentVariable("ORVELZIP_SFX_EXTRACTOR");
    if (!fromEnvironment.isEmpty())
        candidates << fromEnvironment;
    const QString here = QCoreApplication::applicationDirPath();
    candidates << here + QStringLiteral("/orvelzip-sfx") << here + QStringLiteral("/../libexec/orvelzip/orvelzip-sfx");
#ifdef OZ_BUILD_EXTRACTOR
    candidates << QStringLiteral(OZ_BUILD_EXTRACTOR);
#endif
    for (const QString &c : candidates) {
        if (QFileInfo(c).isFile())
            return QDir::cleanPath(c);
    }
    throw ArchiveError(QStringLiteral("The extractor program orvelzip-sfx was not found beside the program"));
}

void writeSelfExtracting(const core::WriteJob &job, const ExeSettings &exe, const std::function<void(int)> &progress)
{
    const QByteArray extractor = readWhole(extractorPath(), QStringLiteral("extractor"));
    sfx::Settings settings;
    if (!exe.iconFile.isEmpty()) {
        const QByteArray icon = readWhole(exe.iconFile, QStringLiteral("icon file"));
        settings.icon.assign(icon.constData(), static_cast<std::size_t>(icon.size()));
        settings.iconName = QFileInfo(exe.iconFile).fileName().toStdString();
        // The extractor reads no larger block: a larger icon would make an executable that
        // cannot start.
        if (settings.icon.size() > sfx::maxSettingsBytes)
            throw ArchiveError(QStringLiteral("The icon %1 is too large: an icon may hold at most %2 MiB")
                                   .arg(exe.iconFile).arg(sfx::maxSettingsBytes >> 20));
    }
    settings.runProgram = exe.runProgram.toStdString();
    settings.runParameters = exe.runParameters.toStdString();
    settings.autoTemp = exe.autoTemp;
    settings.autoExtract = exe.autoExtract;
    const std::string block = sfx::encodeSettings(settings);

    // The archive is written behind the program and its settings, its offsets counted from the
    // start of the file, so that the executable is itself a zip for other tools.
    core::WriteJob exeJob = job;
    exeJob.prefix.assign(extractor.constData(), static_cast<std::size_t>(extractor.size()));
    exeJob.prefix += block;
    exeJob.executable = true;
    core::writeArchive(exeJob, progress);
}

} // namespace oz::archive::detail
