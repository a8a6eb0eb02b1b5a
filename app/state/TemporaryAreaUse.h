#pragma once

#include <functional>
#include <string>

namespace norvane {

// One process's use of the temporary folder of a home, shared with every other process on the
// same home (the desktop client and any number of norvane-cli runs): the opened files, previews
// and transfers of each live in it. Whatever clears the folder wholesale may do so only while no
// other process uses it.
//
// Each user holds a read lock (an open-file-description lock, so two users in one process count
// as two) on a lock file beside the folder for as long as it lives; clearing takes the write
// lock, which is to be had only while nobody else holds any. The kernel drops the lock of a
// process that dies, so a crashed user never blocks the others.
class TemporaryAreaUse {
public:
    // lockFile: the lock file's path, made when missing. Nothing is held yet.
    explicit TemporaryAreaUse(std::string lockFile);
    ~TemporaryAreaUse();
    TemporaryAreaUse(const TemporaryAreaUse&) = delete;
    TemporaryAreaUse& operator=(const TemporaryAreaUse&) = delete;

    // Starts the use. When no other process uses the folder, `firstAlone` runs before the use is
    // shared (a clean-up of what earlier runs left); when one is clearing it right now, this
    // waits for that to end. True when `firstAlone` ran.
    bool join(const std::function<void()>& firstAlone);
    // Runs `alone` only while no other process uses the folder; false (and nothing ran) when
    // another one does. The use stays held either way.
    bool whenAlone(const std::function<void()>& alone);

private:
    bool lock(short type, bool wait);

    std::string lockFile_;
    int fd_ = -1;
};

} // namespace norvane
