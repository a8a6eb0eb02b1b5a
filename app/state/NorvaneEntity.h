#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

class GDataXMLElement;

// A record that is stored as one small XML file named after it. The element tree is built by
// entity2XmlElement (the base gives an empty element named entityName; a derived record calls it
// first and appends its children) and read back by xmlElement2Entity (a derived record reads its
// children and then calls the base, which reads nothing).
//
// Files live in the "do_not_delete_config" category of the temporary folder below the
// application data directory (owner-only folder, owner-only files); a record that has never been
// saved there is still loaded from the folder earlier releases kept it in, the application data
// directory itself.
class NorvaneEntity {
public:
    static constexpr const char* kConfigCategory = "do_not_delete_config";
    // A settings file is a few kilobytes; anything much larger is not one.
    static constexpr std::uint64_t kMaxFileSize = std::uint64_t { 16 } << 20;

    explicit NorvaneEntity(std::string entityName);
    // Copies carry the name; each object keeps its own save lock.
    NorvaneEntity(const NorvaneEntity& other);
    NorvaneEntity& operator=(const NorvaneEntity& other);
    virtual ~NorvaneEntity();

    // Names the root element and the file. Set it before the record is shared between threads.
    const std::string& entityName() const { return entityName_; }
    void setEntityName(std::string name) { entityName_ = std::move(name); }

    // Nothing when entityName cannot name an element.
    virtual std::unique_ptr<GDataXMLElement> entity2XmlElement() const;
    virtual void xmlElement2Entity(const GDataXMLElement& element);

    // Writes the record as a UTF-8 XML document, atomically. Saves of one record are taken one
    // after the other, so the file always ends up with the latest snapshot. False when nothing
    // was written; callers that only keep the file up to date may ignore it.
    virtual bool save() const;
    // Reads the file and applies its root element. A missing, oversized or malformed file leaves
    // the record as it is and gives false.
    virtual bool load();

    // The fields as a dump for logs; secrets are left out.
    virtual std::string description() const;

    // <data>/tmp/do_not_delete_config
    static std::string configDirectory();
    // The file of a record: for saving the config category; for loading that file when it
    // exists, else <data>/<name>.xml. Nothing for a name that cannot be a file name (empty,
    // "." or "..", holding "/" or NUL).
    static std::optional<std::string> pathOfConfigEntity(std::string_view entityName, bool forSave);

protected:
    // A child <name type="...">text</name>; the text is made safe for XML first.
    static void appendChild(
        GDataXMLElement& parent, std::string_view name, std::string_view type, std::string_view text);
    // The first child element whose local name is `name`, whatever namespace it is in.
    static const GDataXMLElement* firstChildElement(const GDataXMLElement& parent, std::string_view name);
    // Its text; "" for an element without text.
    static std::string textOf(const GDataXMLElement& element);

private:
    std::string entityName_;
    mutable std::mutex saveMutex_;
};

} // namespace norvane
