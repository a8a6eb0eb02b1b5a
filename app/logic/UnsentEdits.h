#pragma once

#include <string>
#include <vector>

namespace norvane {

// The cache copies of opened files whose last change has not reached the server. The copy is
// then the only place the change exists, so no clearing of the temporary folder may remove it:
// not this process's, not another's on the same home, not the next start's after a crash. Each
// such copy is noted in a small record of its own in a category that every clearing keeps.
class UnsentEdits {
public:
    UnsentEdits() = delete;

    static constexpr const char* kCategory = "do_not_delete_unsent";

    struct Record {
        std::string localPath; // the cache copy
        std::string uk; // the server file it belongs to
        std::string serverPath;
        friend bool operator==(const Record&, const Record&) = default;
    };

    // Notes the copy as unsent (again). False when the note could not be written.
    static bool mark(const Record& record);
    // Forgets the note of the copy: its change reached the server, or the user let it go.
    static void clear(const std::string& localPath);
    // Every copy noted, in no particular order.
    static std::vector<Record> all();
};

} // namespace norvane
