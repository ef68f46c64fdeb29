// Writing an archive with libzip. File data is read through a source of our
// own so that progress follows the bytes read and a read failure names its file.
#include "Internal.h"

#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oz::archive::detail {

namespace {

struct WriteState {
    Progress progress;
    QString failure; // the first read failure, naming its file
};

struct FileSource {
    QByteArray path;
    std::uint64_t size = 0;
    time_t mtime = 0;
    int fd = -1;
    zip_error_t error;
    WriteState *state = nullptr;

    void fail(int code, int sysErrno)
    {
        zip_error_set(&error, code, sysErrno);
        if (state->failure.isEmpty()) {
            state->failure = QStringLiteral("Cannot read %1: %2")
                                 .arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(sysErrno)));
        }
    }
};

zip_int64_t fileSourceCallback(void *userdata, void *data, zip_uint64_t len, zip_source_cmd_t cmd)
{
    auto *src = static_cast<FileSource *>(userdata);
    switch (cmd) {
    case ZIP_SOURCE_OPEN:
        src->fd = ::open(src->path.constData(), O_RDONLY | O_CLOEXEC);
        if (src->fd < 0) {
            src->fail(ZIP_ER_OPEN, errno);
            return -1;
        }
        return 0;
    case ZIP_SOURCE_READ: {
        ssize_t n;
        do {
            n = ::read(src->fd, data, static_cast<size_t>(std::min<zip_uint64_t>(len, 1u << 30)));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            src->fail(ZIP_ER_READ, errno);
            return -1;
        }
        src->state->progress.advance(static_cast<std::uint64_t>(n));
        return n;
    }
    case ZIP_SOURCE_CLOSE:
        if (src->fd >= 0)
            ::close(src->fd);
        src->fd = -1;
        return 0;
    case ZIP_SOURCE_STAT: {
        auto *st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &src->error);
        if (!st)
            return -1;
        zip_stat_init(st);
        st->size = src->size;
        st->mtime = src->mtime;
        st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        return sizeof(*st);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&src->error, data, len);
    case ZIP_SOURCE_FREE:
        if (src->fd >= 0)
            ::close(src->fd);
        zip_error_fini(&src->error);
        delete src;
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
        zip_error_set(&src->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

zip_uint16_t aesMethod(int bits)
{
    switch (bits) {
    case 128:
        return ZIP_EM_AES_128;
    case 192:
        return ZIP_EM_AES_192;
    default:
        return ZIP_EM_AES_256;
    }
}

// An archive with no entries is just the end-of-central-directory record;
// libzip would remove the file instead of writing it.
void writeEmptyArchive(const QString &target)
{
    static const char eocd[22] = {'P', 'K', 5, 6};
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(eocd, sizeof eocd) != sizeof eocd || !file.commit())
        throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(target, file.errorString()));
}

[[noreturn]] void failEntry(zip_t *za, const QString &name, const QString &target)
{
    const QString reason = zipArchiveErrorText(za);
    zip_discard(za);
    throw ArchiveError(QStringLiteral("Cannot add %1 to %2: %3").arg(name, target, reason));
}

} // namespace

void writeArchive(const WriteJob &job, const std::function<void(int)> &progress)
{
    const PendingList &entries = *job.entries;
    if (entries.empty()) {
        progress(0);
        writeEmptyArchive(job.target);
        progress(100);
        return;
    }

    // Sizes and modes are taken now, at write time, not when the files were chosen.
    struct Meta {
        std::uint64_t size = 0;
        time_t mtime = 0;
        mode_t mode = 0;
    };
    std::vector<Meta> meta(entries.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto &e = entries[i];
        struct stat st;
        const QByteArray path = QFile::encodeName(e.source);
        const int rc = e.special ? ::lstat(path.constData(), &st) : ::stat(path.constData(), &st);
        if (rc != 0) {
            throw ArchiveError(QStringLiteral("Cannot read %1: %2")
                                   .arg(e.source, QString::fromLocal8Bit(std::strerror(errno))));
        }
        meta[i] = {static_cast<std::uint64_t>(st.st_size), st.st_mtime, st.st_mode};
        if (!e.folder && !e.special)
            total += meta[i].size;
    }

    WriteState state{Progress(total, progress), {}};
    int code = 0;
    zip_t *za = zip_open(QFile::encodeName(job.target).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!za)
        throw ArchiveError(QStringLiteral("Cannot write %1: %2").arg(job.target, zipErrorText(code)));

    const QByteArray password = job.password.toUtf8();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto &e = entries[i];
        const QByteArray name = e.name.toUtf8();
        zip_int64_t index;
        zip_uint32_t attributes;
        if (e.folder) {
            index = zip_dir_add(za, name.constData(), ZIP_FL_ENC_UTF_8);
            attributes = (static_cast<zip_uint32_t>(S_IFDIR | (meta[i].mode & 0777)) << 16) | 0x10;
        } else {
            zip_source_t *source;
            if (e.special) {
                source = zip_source_buffer(za, nullptr, 0, 0);
            } else {
                auto *fileSource = new FileSource;
                fileSource->path = QFile::encodeName(e.source);
                fileSource->size = meta[i].size;
                fileSource->mtime = meta[i].mtime;
                fileSource->state = &state;
                zip_error_init(&fileSource->error);
                source = zip_source_function(za, fileSourceCallback, fileSource);
                if (!source) {
                    zip_error_fini(&fileSource->error);
                    delete fileSource;
                }
            }
            if (!source)
                failEntry(za, e.name, job.target);
            index = zip_file_add(za, name.constData(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
            if (index < 0) {
                zip_source_free(source);
                failEntry(za, e.name, job.target);
            }
            attributes = static_cast<zip_uint32_t>(S_IFREG | (meta[i].mode & 0777)) << 16;
            const zip_int32_t method = job.level == 0 ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
            if (zip_set_file_compression(za, static_cast<zip_uint64_t>(index), method,
                                         static_cast<zip_uint32_t>(job.level)) != 0)
                failEntry(za, e.name, job.target);
            if (!password.isEmpty()
                && zip_file_set_encryption(za, static_cast<zip_uint64_t>(index), aesMethod(job.keyLength),
                                           password.constData()) != 0)
                failEntry(za, e.name, job.target);
        }
        if (index < 0)
            failEntry(za, e.name, job.target);
        const auto idx = static_cast<zip_uint64_t>(index);
        if (zip_file_set_mtime(za, idx, meta[i].mtime, 0) != 0
            || zip_file_set_external_attributes(za, idx, 0, ZIP_OPSYS_UNIX, attributes) != 0)
            failEntry(za, e.name, job.target);
    }

    state.progress.begin();
    if (zip_close(za) != 0) {
        QString reason = state.failure;
        if (reason.isEmpty())
            reason = QStringLiteral("Cannot write %1: %2").arg(job.target, zipArchiveErrorText(za));
        zip_discard(za);
        throw ArchiveError(reason);
    }
    state.progress.finish();
}

} // namespace oz::archive::detail
