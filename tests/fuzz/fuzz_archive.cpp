// Arbitrary bytes as an archive: opened, listed, tested and extracted by the component as the
// windows and the tool do. Beyond not crashing, nothing may appear beside the destination.
#include "archive/ArchiveComponent.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QTemporaryDir base;
    const QString archive = base.filePath("in.zip");
    {
        QFile f(archive);
        if (!f.open(QIODevice::WriteOnly))
            std::abort();
        f.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }
    try {
        oz::archive::ArchiveComponent::ListZip(archive);
    } catch (const oz::archive::ArchiveError &) {
    }
    for (const char *password : {"", "secret"}) {
        oz::archive::ArchiveComponent zip;
        zip.setThreads(1);
        zip.SetPassword(QString::fromLatin1(password));
        try {
            zip.OpenZip(archive);
            zip.GetEntries();
            zip.TestZip();
        } catch (const oz::archive::ArchiveError &) {
        }
        try {
            zip.ExtractToFolder(base.filePath("dest"));
        } catch (const oz::archive::ArchiveError &) {
        }
    }
    const QStringList beside = QDir(base.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    if (beside != QStringList({"dest", "in.zip"}) && beside != QStringList({"in.zip"})) {
        std::fprintf(stderr, "written beside the destination: %s\n", qPrintable(beside.join(", ")));
        std::abort();
    }
    return 0;
}
