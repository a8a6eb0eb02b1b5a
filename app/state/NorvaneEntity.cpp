#include "app/state/NorvaneEntity.h"

#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "app/state/TextReading.h"
#include "formats/DescriptionBuilder.h"
#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"

#include <filesystem>
#include <sys/stat.h>

namespace norvane {

namespace {

bool isFileName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos
        && name.find('\0') == std::string_view::npos;
}

// The folder holds the settings and the credential key: nobody but the owner may list or enter
// it, also when an earlier release made it with looser permissions.
bool prepareConfigDirectory(const std::filesystem::path& folder)
{
    if (!FileSystem::createDirectories(folder, 0700))
        return false;
    struct stat status { };
    if (lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    if ((status.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0)
        Log::line("Settings folder permissions not tightened: " + folder.string());
    return true;
}

} // namespace

NorvaneEntity::NorvaneEntity(std::string entityName)
    : entityName_(std::move(entityName))
{ }

NorvaneEntity::NorvaneEntity(const NorvaneEntity& other)
    : entityName_(other.entityName_)
{ }

NorvaneEntity& NorvaneEntity::operator=(const NorvaneEntity& other)
{
    entityName_ = other.entityName_;
    return *this;
}

NorvaneEntity::~NorvaneEntity() = default;

std::unique_ptr<GDataXMLElement> NorvaneEntity::entity2XmlElement() const
{
    return GDataXMLNode::elementWithName(entityName_);
}

void NorvaneEntity::xmlElement2Entity(const GDataXMLElement&)
{ }

bool NorvaneEntity::save() const
{
    std::lock_guard lock(saveMutex_);
    const auto path = pathOfConfigEntity(entityName_, true);
    if (!path)
        return false;
    auto element = entity2XmlElement();
    if (!element)
        return false;
    auto document = GDataXMLDocument::initWithRootElement(*element);
    if (!document)
        return false;
    document->setCharacterEncoding("UTF-8");
    auto data = document->XMLData();
    if (!data)
        return false;
    Log::line("Saving xml data to " + *path + "...");
    const std::filesystem::path file(*path);
    if (!prepareConfigDirectory(file.parent_path()))
        return false;
    return FileSystem::writeFileAtomically(file, *data, 0600);
}

bool NorvaneEntity::load()
{
    const auto path = pathOfConfigEntity(entityName_, false);
    if (!path)
        return false;
    auto bytes = FileSystem::readFile(*path, kMaxFileSize);
    if (!bytes)
        return false;
    auto document = GDataXMLDocument::initWithData(*bytes);
    if (!document || !document->rootElement())
        return false;
    xmlElement2Entity(*document->rootElement());
    return true;
}

std::string NorvaneEntity::description() const
{
    return DescriptionBuilder("NorvaneEntity", this).text("entityName", std::string_view(entityName_)).str();
}

std::string NorvaneEntity::configDirectory()
{
    return (std::filesystem::path(LocalStorePaths::temporaryDirectory()) / kConfigCategory).string();
}

std::optional<std::string> NorvaneEntity::pathOfConfigEntity(std::string_view entityName, bool forSave)
{
    if (!isFileName(entityName))
        return std::nullopt;
    const std::string fileName = std::string(entityName) + ".xml";
    const std::filesystem::path current = std::filesystem::path(configDirectory()) / fileName;
    if (forSave)
        return current.string();
    std::error_code error;
    if (std::filesystem::exists(current, error))
        return current.string();
    return (std::filesystem::path(LocalStorePaths::documentDirectory()) / fileName).string();
}

void NorvaneEntity::appendChild(
    GDataXMLElement& parent, std::string_view name, std::string_view type, std::string_view text)
{
    auto child = GDataXMLNode::elementWithName(name, TextReading::xmlSafe(text));
    auto attribute = GDataXMLNode::attributeWithName("type", type);
    if (!child || !attribute)
        return;
    child->addAttribute(*attribute);
    parent.addChild(*child);
}

const GDataXMLElement* NorvaneEntity::firstChildElement(const GDataXMLElement& parent, std::string_view name)
{
    for (GDataXMLNode* node : parent.children()) {
        const GDataXMLElement* element = node ? node->asElement() : nullptr;
        if (element && element->localName() == name)
            return element;
    }
    return nullptr;
}

std::string NorvaneEntity::textOf(const GDataXMLElement& element)
{
    return element.stringValue().value_or(std::string());
}

} // namespace norvane
