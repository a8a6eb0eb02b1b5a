#pragma once

#include "platform/ErrorValue.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>

namespace norvane {

// Domain of the refusals below; the codes are LocalNameError values.
inline constexpr const char* kLocalNameErrorDomain = "NorvaneLocalNameErrorDomain";

enum LocalNameError : long {
    LocalNameEmpty = 1, // nothing to name the file with
    LocalNameHasSlash = 2, // would reach into a sub-folder
    LocalNameHasNul = 3, // would be cut short where the file system reads it
    LocalNameHasControlCharacter = 4, // C0, DEL or C1 control: unprintable, breaks terminals and scripts
    LocalNameIsDotName = 5, // "." or "..": the folder itself or its parent
    LocalNameOutsideTarget = 6, // the joined path would not be a direct child of the target folder
    LocalNameNotRegularFile = 7, // something other than a plain file sits at the name
    LocalNameNotDirectory = 8, // something other than a real folder sits at the name
};

// Names of files and folders arrive from the server as display names, and the server is not
// trusted to keep them harmless: a name such as "../x" or "a/b" would put a download somewhere
// else than the folder the user chose, and a symbolic link planted in that folder would redirect
// the write. Everything that turns such a name into a local file goes through here.
class LocalFileName {
public:
    // A path, or why there is none.
    struct Result {
        std::string path;
        std::optional<ErrorValue> error;

        bool ok() const { return !error.has_value(); }
    };

    // An open file made by createFileIn; closes it when destroyed.
    class File {
    public:
        File() = default;
        File(int fd, std::string path)
            : fd_(fd)
            , path_(std::move(path))
        { }
        ~File();
        File(File&& other) noexcept;
        File& operator=(File&& other) noexcept;
        File(const File&) = delete;
        File& operator=(const File&) = delete;

        int fd() const { return fd_; }
        const std::string& path() const { return path_; }
        // Hands the descriptor over to the caller, who then closes it.
        int release();

    private:
        int fd_ = -1;
        std::string path_;
    };

    struct FileResult {
        File file;
        std::optional<ErrorValue> error;

        bool ok() const { return !error.has_value(); }
    };

    enum class Existing {
        Refuse, // fail when anything is at the name already
        Truncate, // reuse a plain file there, emptied
    };

    // The display name itself when it is usable as one local path component; otherwise an error
    // of kLocalNameErrorDomain saying why: empty, "/", NUL, a control character, "." or "..".
    static Result componentFromDisplayName(std::string_view displayName);

    // targetDirectory + "/" + the checked name, and verified to be a direct child of it.
    static Result joinUnder(std::string_view targetDirectory, std::string_view displayName);

    // Creates (or with Truncate, reopens) the file `displayName` inside targetDirectory for
    // writing, without following a symbolic link at that name. The target folder itself may be
    // reached through links; only the last step is guarded, which is the one a server-chosen
    // name controls. Anything but a plain file at the name is refused. A new file gets `mode`.
    static FileResult createFileIn(
        std::string_view targetDirectory, std::string_view displayName, Existing existing, mode_t mode = 0600);

    // Makes the folder `displayName` inside targetDirectory, or accepts one that is already
    // there, but only a real folder: a symbolic link at that name (even one to a folder) is
    // refused. The path of the folder comes back.
    static Result createDirectoryIn(std::string_view targetDirectory, std::string_view displayName, mode_t mode = 0700);
};

} // namespace norvane
