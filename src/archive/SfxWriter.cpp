// Writing a self-extracting executable: the extractor program, its settings
// block, then the zip archive with every offset moved by what stands before
// it, so that the executable is itself a valid zip for every other tool.
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

std::uint16_t u16(const unsigned char *p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t u32(const unsigned char *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
std::uint64_t u64(const unsigned char *p)
{
    return std::uint64_t(u32(p)) | std::uint64_t(u32(p + 4)) << 32;
}
void put32(unsigned char *p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put64(unsigned char *p, std::uint64_t v)
{
    put32(p, static_cast<std::uint32_t>(v));
    put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

[[noreturn]] void tooLarge()
{
    throw ArchiveError(QStringLiteral("The archive is too large to be put behind the extractor"));
}

void shift32(unsigned char *field, std::uint64_t by)
{
    const std::uint64_t moved = u32(field) + by;
    if (moved >= 0xFFFFFFFFu)
        tooLarge();
    put32(field, static_cast<std::uint32_t>(moved));
}

// Moves every offset of a zip archive's directory records by `by` bytes.
// The records are at the end of the file: the central directory, the zip64
// end records when present, and the end record.
void shiftOffsets(QFile &file, qint64 zipStart, std::uint64_t by)
{
    const qint64 size = file.size();
    const qint64 tailSize = std::min<qint64>(size - zipStart, 65535 + 22 + 20 + 56);
    file.seek(size - tailSize);
    QByteArray tail = file.read(tailSize);
    auto *t = reinterpret_cast<unsigned char *>(tail.data());
    qint64 eocd = -1;
    for (qint64 i = tail.size() - 22; i >= 0; --i) {
        if (u32(t + i) == 0x06054b50u && i + 22 + u16(t + i + 20) == tail.size()) {
            eocd = i;
            break;
        }
    }
    if (eocd < 0)
        throw ArchiveError(QStringLiteral("The written archive has no end record"));

    std::uint64_t cdOffset = u32(t + eocd + 16);
    std::uint64_t cdSize = u32(t + eocd + 12);
    qint64 zip64Record = -1;
    if (eocd >= 20 && u32(t + eocd - 20) == 0x07064b50u) {
        const std::uint64_t recordAt = u64(t + eocd - 20 + 8);
        put64(t + eocd - 20 + 8, recordAt + by);
        zip64Record = static_cast<qint64>(recordAt) + zipStart - (size - tailSize);
        if (zip64Record < 0 || zip64Record + 56 > eocd - 20)
            throw ArchiveError(QStringLiteral("The written archive's zip64 record is misplaced"));
        cdOffset = u64(t + zip64Record + 48);
        cdSize = u64(t + zip64Record + 40);
        put64(t + zip64Record + 48, cdOffset + by);
    }
    if (u32(t + eocd + 16) != 0xFFFFFFFFu)
        shift32(t + eocd + 16, by);

    // The central directory: each header's local header offset.
    file.seek(zipStart + static_cast<qint64>(cdOffset));
    QByteArray cd = file.read(static_cast<qint64>(cdSize));
    if (static_cast<std::uint64_t>(cd.size()) != cdSize)
        throw ArchiveError(QStringLiteral("The written archive's directory is cut short"));
    auto *c = reinterpret_cast<unsigned char *>(cd.data());
    const auto cdLength = static_cast<std::size_t>(cd.size());
    std::size_t at = 0;
    while (at + 46 <= cdLength) {
        if (u32(c + at) != 0x02014b50u)
            throw ArchiveError(QStringLiteral("The written archive's directory is damaged"));
        const std::size_t nameLength = u16(c + at + 28), extraLength = u16(c + at + 30), commentLength = u16(c + at + 32);
        if (u32(c + at + 42) != 0xFFFFFFFFu) {
            shift32(c + at + 42, by);
        } else {
            // The offset lives in the zip64 extra field, after the sizes
            // that are themselves marked as living there.
            std::size_t extra = at + 46 + nameLength;
            const std::size_t extraEnd = extra + extraLength;
            bool moved = false;
            while (extra + 4 <= extraEnd && extraEnd <= cdLength) {
                const std::uint16_t id = u16(c + extra), length = u16(c + extra + 2);
                if (id == 0x0001) {
                    std::size_t field = extra + 4;
                    if (u32(c + at + 24) == 0xFFFFFFFFu)
                        field += 8;
                    if (u32(c + at + 20) == 0xFFFFFFFFu)
                        field += 8;
                    if (field + 8 > extra + 4 + length)
                        break;
                    put64(c + field, u64(c + field) + by);
                    moved = true;
                    break;
                }
                extra += 4 + length;
            }
            if (!moved)
                throw ArchiveError(QStringLiteral("The written archive's zip64 fields are damaged"));
        }
        at += 46 + nameLength + extraLength + commentLength;
    }
    // The tail read above may overlap the directory: it goes first, so the
    // moved directory is what stays.
    file.seek(size - tailSize);
    if (file.write(tail) != tail.size())
        throw ArchiveError(file.errorString());
    file.seek(zipStart + static_cast<qint64>(cdOffset));
    if (file.write(cd) != cd.size())
        throw ArchiveError(file.errorString());
}

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

void writeSelfExtracting(const WriteJob &job, const ExeSettings &exe, const std::function<void(int)> &progress)
{
    const QByteArray extractor = readWhole(extractorPath(), QStringLiteral("extractor"));
    sfx::Settings settings;
    if (!exe.iconFile.isEmpty()) {
        const QByteArray icon = readWhole(exe.iconFile, QStringLiteral("icon file"));
        settings.icon.assign(icon.constData(), static_cast<std::size_t>(icon.size()));
        settings.iconName = QFileInfo(exe.iconFile).fileName().toStdString();
    }
    settings.runProgram = exe.runProgram.toStdString();
    settings.runParameters = exe.runParameters.toStdString();
    settings.autoTemp = exe.autoTemp;
    settings.autoExtract = exe.autoExtract;
    const std::string block = sfx::encodeSettings(settings);

    // Everything is written beside the target and renamed over it at the end.
    const QString folder = QFileInfo(job.target).absolutePath();
    QByteArray temp = QFile::encodeName(folder + QStringLiteral("/.ozsfx-XXXXXX"));
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(job.target, QString::fromLocal8Bit(std::strerror(errno))));
    ::close(fd);
    const QString tempPath = QFile::decodeName(temp);
    const QString zipPath = tempPath + QStringLiteral(".zip");
    auto cleanUp = [&] {
        QFile::remove(tempPath);
        QFile::remove(zipPath);
    };
    try {
        WriteJob zipJob = job;
        zipJob.target = zipPath;
        writeArchive(zipJob, progress);

        QFile out(tempPath);
        QFile zip(zipPath);
        if (!out.open(QIODevice::ReadWrite | QIODevice::Truncate) || !zip.open(QIODevice::ReadOnly))
            throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(job.target, out.errorString()));
        const qint64 prefix = extractor.size() + static_cast<qint64>(block.size());
        if (out.write(extractor) != extractor.size()
            || out.write(block.data(), static_cast<qint64>(block.size())) != static_cast<qint64>(block.size()))
            throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(job.target, out.errorString()));
        QByteArray chunk;
        while (!(chunk = zip.read(1 << 20)).isEmpty()) {
            if (out.write(chunk) != chunk.size())
                throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(job.target, out.errorString()));
        }
        shiftOffsets(out, prefix, static_cast<std::uint64_t>(prefix));
        if (!out.flush())
            throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(job.target, out.errorString()));
        out.close();
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::chmod(temp.constData(), 0777 & ~mask);
        if (::rename(temp.constData(), QFile::encodeName(job.target).constData()) != 0)
            throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(job.target, QString::fromLocal8Bit(std::strerror(errno))));
        QFile::remove(zipPath);
    } catch (...) {
        cleanUp();
        throw;
    }
}

} // namespace oz::archive::detail
