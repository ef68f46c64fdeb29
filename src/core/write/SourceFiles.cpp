#include "SourceFiles.h"

#include <optional>
#include <sys/stat.h>
#include <thread>

namespace oz::core::writer {

namespace {

Item describeOne(const WriteItem &e, Folders &folders, Folders::Hint &hint)
{
    Item item;
    item.name = e.name;
    if (e.folder && (item.name.empty() || item.name.back() != '/'))
        item.name += '/';
    if (item.name.size() > 0xFFFF)
        throw Error("Cannot add " + e.name + ": its name is too long for a zip archive", Error::Kind::Unsupported);
    item.source = e.source;
    item.path = e.source;
    const std::size_t slash = item.path.rfind('/');
    item.nameAt = slash == std::string::npos ? 0 : slash + 1;
    item.folder = e.folder;
    item.special = e.special;
    struct stat st;
    const int flags = e.special ? AT_SYMLINK_NOFOLLOW : 0;
    const int folder = folders.of(item, hint);
    const int rc = folder >= 0 ? ::fstatat(folder, item.path.c_str() + item.nameAt, &st, flags)
                               : ::fstatat(AT_FDCWD, item.path.c_str(), &st, flags);
    if (rc != 0)
        failed("Cannot read " + e.source, errno);
    item.size = (e.folder || e.special) ? 0 : static_cast<std::uint64_t>(st.st_size);
    item.mtime = st.st_mtime;
    // A pipe, socket, device or broken link is stored as an empty file that nobody may write:
    // it comes back as a placeholder, never as a writable file in its place.
    item.mode = e.special ? (S_IFREG | (st.st_mode & 0444)) : st.st_mode;
    return item;
}

} // namespace

// Thousands of stats are shared out among threads, since no file is compressed before they are done; the
// failure reported is the first in the list.
std::vector<Item> describe(const std::vector<WriteItem> &entries, unsigned threads, Folders &folders)
{
    std::vector<Item> items(entries.size());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, entries.size() / 512 + 1));
    std::vector<std::optional<Error>> failures(threads);
    std::vector<std::size_t> failedAt(threads, entries.size());
    auto part = [&](unsigned t) {
        Folders::Hint hint;
        for (std::size_t i = t; i < entries.size(); i += threads) {
            try {
                items[i] = describeOne(entries[i], folders, hint);
            } catch (const Error &e) {
                failures[t] = e;
                failedAt[t] = i;
                return;
            }
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t)
        pool.emplace_back(part, t);
    part(0);
    for (auto &thread : pool)
        thread.join();
    const auto first = std::min_element(failedAt.begin(), failedAt.end()) - failedAt.begin();
    if (failures[static_cast<std::size_t>(first)])
        throw *failures[static_cast<std::size_t>(first)];
    return items;
}

} // namespace oz::core::writer
