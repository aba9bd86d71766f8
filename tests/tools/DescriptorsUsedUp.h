// While it lives, every descriptor the process may open is taken but leftFree: the soft
// descriptor limit is brought down to just above the highest one in use and the rest are
// filled with copies of /dev/null. release(), or the end of the scope, closes them and puts
// the limit back. Descriptors that other threads close meanwhile (sockets of earlier tests
// still closing on their queues) are taken too, until a few rounds in a row have found no
// more; a thread that opens one while the scope lives takes it from those left free.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <thread>
#include <vector>

namespace testtools {

class DescriptorsUsedUp {
public:
    explicit DescriptorsUsedUp(std::size_t leftFree = 0) {
        if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) return;
        source_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (source_ < 0) return;
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, static_cast<rlim_t>(highestOpen()) + 8 + leftFree);
        if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) return;
        lowered_ = true;
        for (int quietRounds = 0; quietRounds < 3;) {
            std::size_t taken = 0;
            for (int fd; (fd = ::fcntl(source_, F_DUPFD_CLOEXEC, 0)) >= 0; ++taken) taken_.push_back(fd);
            if (errno != EMFILE) return;
            quietRounds = taken == 0 ? quietRounds + 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (taken_.size() <= leftFree) return;
        for (std::size_t i = 0; i < leftFree; ++i) giveBackOne();
        usedUp_ = true;
    }
    ~DescriptorsUsedUp() { release(); }
    DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
    DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;

    // Whether every descriptor but leftFree was taken.
    bool usedUp() const { return usedUp_; }
    void giveBackOne() {
        if (taken_.empty()) return;
        ::close(taken_.back());
        taken_.pop_back();
    }
    void release() {
        for (int fd : taken_) ::close(fd);
        taken_.clear();
        if (source_ >= 0) ::close(source_);
        source_ = -1;
        if (lowered_) ::setrlimit(RLIMIT_NOFILE, &saved_);
        lowered_ = false;
    }

private:
    static int highestOpen() {
        int highest = 2;
        if (DIR* dir = ::opendir("/proc/self/fd")) {
            while (const dirent* entry = ::readdir(dir)) highest = std::max(highest, std::atoi(entry->d_name));
            ::closedir(dir);
        }
        return highest;
    }

    rlimit saved_{};
    bool lowered_ = false;
    bool usedUp_ = false;
    int source_ = -1;
    std::vector<int> taken_;
};

}  // namespace testtools
