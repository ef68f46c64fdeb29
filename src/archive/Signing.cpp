#include "Signing.h"
#include "core/files/Beneath.h"
#include "core/base/Error.h"
#include "core/base/FileIo.h"
#include "core/files/NewFile.h"
#include "core/write/ZipWriter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace oz::archive::detail {

namespace {

// A signature made with a certificate that is not valid today is one Windows refuses: such a
// build is refused before the archive is signed. Every certificate of the file counts.
void checkCertificates(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ArchiveError(QStringLiteral("The certificate %1 cannot be read: %2").arg(path, file.errorString()));
    const QByteArray data = file.readAll();
    QList<QSslCertificate> certificates = QSslCertificate::fromData(data, QSsl::Pem);
    if (certificates.isEmpty())
        certificates = QSslCertificate::fromData(data, QSsl::Der);
    if (certificates.isEmpty())
        throw ArchiveError(QStringLiteral("The certificate file %1 holds no certificate").arg(path));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QSslCertificate &c : certificates) {
        const QString who = c.subjectDisplayName();
        if (c.expiryDate() < now)
            throw ArchiveError(QStringLiteral("The certificate of %1 in %2 expired on %3")
                                   .arg(who, path, c.expiryDate().toString(Qt::ISODate)));
        if (c.effectiveDate() > now)
            throw ArchiveError(QStringLiteral("The certificate of %1 in %2 is not valid before %3")
                                   .arg(who, path, c.effectiveDate().toString(Qt::ISODate)));
    }
}

// The file open on fd as a path another program opens: this process's descriptor of it, which
// also reaches a file that has no name yet.
QString descriptorPath(int fd)
{
    return QStringLiteral("/proc/%1/fd/%2").arg(QCoreApplication::applicationPid()).arg(fd);
}

// What osslsigncode said of its failure, without the error stack of the library beneath it.
QString signerMessage(const QByteArray &output)
{
    QStringList said;
    for (const QByteArray &raw : output.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.contains(QLatin1String(":error:")) || line == QLatin1String("Failed"))
            continue;
        said << line;
    }
    return said.isEmpty() ? QStringLiteral("no reason given") : said.join(QStringLiteral("; "));
}

void runSigner(const QStringList &arguments)
{
    QProcess signer;
    signer.setProgram(QStringLiteral("osslsigncode"));
    signer.setArguments(arguments);
    signer.setProcessChannelMode(QProcess::MergedChannels);
    signer.setStandardInputFile(QProcess::nullDevice());
    // Without a terminal it cannot stop to ask for a key's password that was not given.
    signer.setChildProcessModifier([] { ::setsid(); });
    signer.start();
    if (!signer.waitForStarted(-1))
        throw ArchiveError(QStringLiteral("It cannot be signed: osslsigncode, which signs Windows programs, is not "
                                          "installed (Debian package osslsigncode)"));
    signer.waitForFinished(-1);
    if (signer.exitStatus() != QProcess::NormalExit || signer.exitCode() != 0)
        throw ArchiveError(QStringLiteral("It could not be signed: ") + signerMessage(signer.readAll()));
}

void copyWhole(int from, int to, std::uint64_t size, const QString &target)
{
    std::vector<unsigned char> chunk(1u << 20);
    for (std::uint64_t at = 0; at < size; at += chunk.size()) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - at));
        if (!core::readAt(from, at, chunk.data(), n)
            || ::pwrite(to, chunk.data(), n, static_cast<off_t>(at)) != static_cast<ssize_t>(n))
            throw ArchiveError(
                QStringLiteral("Cannot write %1: %2").arg(target, QString::fromLocal8Bit(strerror(errno))));
    }
}

QStringList signerArguments(const ExeSettings &exe, const QString &product, const QTemporaryDir &secrets)
{
    QStringList arguments{QStringLiteral("sign"),
                          QStringLiteral("-certs"),
                          exe.signCertificate,
                          QStringLiteral("-key"),
                          exe.signKey,
                          QStringLiteral("-h"),
                          QStringLiteral("sha256"),
                          QStringLiteral("-n"),
                          product};
    if (!exe.signPassword.isEmpty()) {
        // From a file only this user reads, not the command line every user sees.
        QFile pass(secrets.filePath(QStringLiteral("pass")));
        if (!pass.open(QIODevice::WriteOnly) || pass.write(exe.signPassword.toUtf8()) < 0)
            throw ArchiveError(QStringLiteral("It cannot be signed: %1").arg(pass.errorString()));
        arguments << QStringLiteral("-readpass") << pass.fileName();
    }
    if (!exe.timestampUrl.isEmpty())
        arguments << QStringLiteral("-ts") << exe.timestampUrl;
    return arguments;
}

} // namespace

void signExecutable(int fd, const QString &target, const QString &product, const ExeSettings &exe)
{
    checkCertificates(exe.signCertificate);
    std::uint64_t archiveEnd = 0; // before the signature
    if (!core::fileSize(fd, archiveEnd))
        throw ArchiveError(QStringLiteral("Cannot read %1 back").arg(target));
    QTemporaryDir secrets;
    if (!secrets.isValid())
        throw ArchiveError(QStringLiteral("It cannot be signed: %1").arg(secrets.errorString()));
    QStringList arguments = signerArguments(exe, product, secrets);

    // osslsigncode writes only a file that does not exist yet: a hidden name of this process
    // beside the target, gone as soon as it is open, which a later write into the folder removes
    // should this process be killed first.
    const std::string scratch
        = QFile::encodeName(QFileInfo(target).absolutePath()).toStdString() + '/' + core::temporaryName("signed");
    const struct Unlink {
        const std::string &path;
        ~Unlink() { ::unlink(path.c_str()); }
    } unlinkScratch{scratch};
    arguments << QStringLiteral("-in") << descriptorPath(fd) << QStringLiteral("-out")
              << QFile::decodeName(QByteArray::fromStdString(scratch));

    runSigner(arguments);
    const core::Fd made(::open(scratch.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    ::unlink(scratch.c_str());
    std::uint64_t signedSize = 0;
    if (!made || !core::fileSize(made.get(), signedSize) || signedSize < archiveEnd)
        throw ArchiveError(QStringLiteral("It could not be signed: osslsigncode wrote no signed program"));
    try {
        core::checkFoundBehind(made.get(), archiveEnd);
    } catch (const core::Error &e) {
        throw ArchiveError(QStringLiteral("Its signature cannot follow the archive: ")
                           + QString::fromStdString(e.what()));
    }
    copyWhole(made.get(), fd, signedSize, target);
}

} // namespace oz::archive::detail
