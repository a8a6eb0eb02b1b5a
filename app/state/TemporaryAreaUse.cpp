#include "app/state/TemporaryAreaUse.h"

#include "platform/Log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace norvane {

TemporaryAreaUse::TemporaryAreaUse(std::string lockFile)
    : lockFile_(std::move(lockFile))
{ }

TemporaryAreaUse::~TemporaryAreaUse()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool TemporaryAreaUse::lock(short type, bool wait)
{
    struct flock request { };
    request.l_type = type;
    request.l_whence = SEEK_SET;
    // Locks of the open file description: a lock changes type in one step (a refused upgrade
    // keeps the read lock), and a second user in the same process is another user.
    for (;;) {
        if (::fcntl(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool TemporaryAreaUse::join(const std::function<void()>& firstAlone)
{
    if (fd_ < 0)
        fd_ = ::open(lockFile_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        // Without the lock nobody can tell who else is there: nothing is cleared.
        Log::line(
            "The temporary folder is not cleared: its lock cannot be opened: " + std::string(std::strerror(errno)));
        return false;
    }
    if (lock(F_WRLCK, false)) {
        if (firstAlone)
            firstAlone();
        lock(F_RDLCK, false); // a step down never conflicts
        return true;
    }
    if (errno != EAGAIN && errno != EACCES) {
        // A file system without these locks: nobody can tell who else is there, so nothing is
        // ever cleared wholesale.
        Log::line(
            "The temporary folder is not cleared: its lock is not supported: " + std::string(std::strerror(errno)));
        return false;
    }
    lock(F_RDLCK, true); // another user clears the folder right now: it takes a moment
    return false;
}

bool TemporaryAreaUse::whenAlone(const std::function<void()>& alone)
{
    if (fd_ < 0 || !lock(F_WRLCK, false))
        return false;
    if (alone)
        alone();
    lock(F_RDLCK, false);
    return true;
}

} // namespace norvane
