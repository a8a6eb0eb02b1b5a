#pragma once

#include <filesystem>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace norvane::test {

// A folder that the calling thread cannot read for as long as this lives, also when the tests
// run as root: every permission is taken from the folder, and the thread sets aside the
// capabilities that let root read it all the same. Capabilities belong to a thread, so the other
// threads of the process (and the rest of the test afterwards) keep theirs.
class UnreadableFolder {
public:
    explicit UnreadableFolder(std::filesystem::path folder)
        : folder_(std::move(folder))
    {
        std::filesystem::permissions(folder_, std::filesystem::perms::none);
        if (::syscall(SYS_capget, &header_, saved_) != 0)
            return;
        __user_cap_data_struct reduced[2] = { saved_[0], saved_[1] };
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~UnreadableFolder()
    {
        if (dropped_)
            ::syscall(SYS_capset, &header_, saved_);
        std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
    }
    UnreadableFolder(const UnreadableFolder&) = delete;
    UnreadableFolder& operator=(const UnreadableFolder&) = delete;

private:
    std::filesystem::path folder_;
    __user_cap_header_struct header_ { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct saved_[2] {};
    bool dropped_ = false;
};

} // namespace norvane::test
