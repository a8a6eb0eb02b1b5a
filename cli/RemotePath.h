#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane::cli {

// A path on the server as the command line writes it: "my:/a/b" in the personal area,
// "shared:/a/b" in the shared area. The server names an entry by its area's folder or file key
// ("/FOLDER/a/b", "/FILE/a/b", "/SHAREFOLDER/a/b", "/SHAREFILE/a/b"); which of the two an
// existing entry has is learnt from its parent's listing.
class RemotePath {
public:
    enum class Area { Personal, Shared };

    RemotePath() = default;
    RemotePath(Area area, std::vector<std::string> components)
        : area_(area)
        , components_(std::move(components))
    { }

    // True when the text is meant as a remote path ("my:" or "shared:" in front).
    static bool looksRemote(std::string_view text);
    // "my:", "my:/", "my:/a//b/", "shared:a/b". Empty components are dropped; "." and "..", and
    // control characters, are refused with a one-line reason in *error.
    static std::optional<RemotePath> parse(std::string_view text, std::string* error = nullptr);
    // The path of an entry from its server key ("/FOLDER/a", "/SHAREFILE/x/y.txt"); none for a key
    // of any other form.
    static std::optional<RemotePath> fromKey(std::string_view key);

    Area area() const { return area_; }
    const std::vector<std::string>& components() const { return components_; }
    bool isRoot() const { return components_.empty(); }
    // The last component; empty for the root.
    std::string name() const;
    // The root's parent is the root.
    RemotePath parent() const;
    RemotePath child(const std::string& name) const;

    // "/FOLDER/a/b" or "/SHAREFOLDER/a/b" (the root: "/FOLDER", "/SHAREFOLDER").
    std::string folderKey() const;
    // "/FILE/a/b" or "/SHAREFILE/a/b" (the root: "/FILE", "/SHAREFILE"): also where the files
    // uploaded into this folder are named from.
    std::string fileKey() const;
    // "my:/a/b", "shared:/" for the root of the shared area.
    std::string text() const;

    friend bool operator==(const RemotePath&, const RemotePath&) = default;

private:
    Area area_ = Area::Personal;
    std::vector<std::string> components_;
};

} // namespace norvane::cli
