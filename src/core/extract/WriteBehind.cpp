#include "WriteBehind.h"

#include "core/base/FileIo.h"

#include <cerrno>

namespace oz::core {

WriteBehind::WriteBehind(int fd) : fd_(fd), buffers_(bufferCount, std::vector<unsigned char>(bufferSize))
{
    for (auto &b : buffers_)
        free_.push_back(&b);
    thread_ = std::thread([this] { run(); });
}

WriteBehind::~WriteBehind()
{
    finish();
}

std::vector<unsigned char> *WriteBehind::take()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !free_.empty() || error_ != 0; });
    if (error_ != 0)
        return nullptr;
    std::vector<unsigned char> *b = free_.back();
    free_.pop_back();
    return b;
}

void WriteBehind::submit(std::vector<unsigned char> *buffer, std::size_t size)
{
    std::lock_guard lock(mutex_);
    filled_.push_back({buffer, size});
    changed_.notify_all();
}

int WriteBehind::finish()
{
    {
        std::lock_guard lock(mutex_);
        if (ended_)
            return error_;
        ended_ = true;
        changed_.notify_all();
    }
    thread_.join();
    return error_;
}

void WriteBehind::run()
{
    for (;;) {
        std::pair<std::vector<unsigned char> *, std::size_t> job;
        bool write = false;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !filled_.empty() || ended_; });
            if (filled_.empty())
                return;
            job = filled_.front();
            filled_.pop_front();
            // After a failed write the file is lost anyway: what is queued goes back unwritten.
            write = error_ == 0;
        }
        const int error = !write || writeAll(fd_, job.first->data(), job.second) ? 0 : errno;
        std::lock_guard lock(mutex_);
        if (error != 0 && error_ == 0)
            error_ = error;
        free_.push_back(job.first);
        changed_.notify_all();
    }
}

} // namespace oz::core
