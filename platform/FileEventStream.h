#pragma once

#include "platform/ErrorValue.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvane {

class MainQueue;
class RunLoop;

// One change below a watched directory: the path it concerns and what happened there.
struct FileEvent {
    enum Flag : unsigned {
        Created = 1u << 0,
        Modified = 1u << 1, // content written; a writer may still have the file open
        ClosedWrite = 1u << 2, // a writer closed the file: its content is complete
        Removed = 1u << 3,
        MovedFrom = 1u << 4,
        MovedTo = 1u << 5,
        IsDirectory = 1u << 6,
        Found = 1u << 7, // already there when its directory came under watch
        MustScanSubDirs = 1u << 8, // events below path were lost: whatever is there may have changed
        RootChanged = 1u << 9, // the watched directory itself appeared, vanished or was moved away
    };

    std::string path;
    unsigned flags = 0;

    friend bool operator==(const FileEvent&, const FileEvent&) = default;
};

// The file-system event stream over one directory and everything below it, per file, with
// inotify. Sub-directories are watched as they appear (what they already hold comes as Found
// events, so nothing created before the watch was in place goes unnoticed). Events are gathered
// for `latency` seconds after the first one and handed over as one batch, in the order they
// happened, on the main queue.
//
// The kernel's queue and this stream's batch are both bounded: when either overflows, the batch
// ends with a MustScanSubDirs event for the root, and the watches are checked again so that no
// directory stays unwatched. A root that does not exist yet, or that is removed, is looked for
// again every `latency` seconds; its (re)appearance is a RootChanged | MustScanSubDirs event.
// Symbolic links are reported but never followed.
//
// Start, stop and destroy the stream on the main thread (the callback's thread).
class FileEventStream {
public:
    using Callback = std::function<void(const std::vector<FileEvent>& events)>;

    struct Options {
        double latency = 1.0;
        // Where inotify is read. Null: a thread of the stream's own runs a loop for it.
        std::shared_ptr<RunLoop> loop;
        // Where batches are delivered. Null: MainQueue::shared().
        std::shared_ptr<MainQueue> mainQueue;
        // The most events one batch keeps, and the most directories watched.
        std::size_t maxBatchEvents = 4096;
        std::size_t maxWatches = 4096;
    };

    FileEventStream(std::string root, Callback callback);
    FileEventStream(std::string root, Callback callback, Options options);
    ~FileEventStream();
    FileEventStream(const FileEventStream&) = delete;
    FileEventStream& operator=(const FileEventStream&) = delete;

    // Reports events from now on. An error when inotify cannot be had; a missing root is no
    // error (it is waited for). Starting a running stream does nothing.
    std::optional<ErrorValue> start();
    // No batch is delivered after this returns.
    void stop();
    bool isRunning() const;

    const std::string& root() const { return root_; }
    // How many directories are watched right now (the root included).
    std::size_t watchCount() const;

private:
    struct State;

    const std::string root_;
    Callback callback_;
    Options options_;
    std::shared_ptr<State> state_;
};

} // namespace norvane
