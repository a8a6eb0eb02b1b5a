#include "app/state/ConfigInfo.h"

#include "app/state/CredentialProtection.h"
#include "app/state/TextReading.h"
#include "formats/DescriptionBuilder.h"
#include "formats/GDataXMLElement.h"

#include <algorithm>
#include <filesystem>

namespace norvane {

namespace {

using Fields = ConfigInfo::Fields;

enum class RowKind { Text, Integer, Flag, Sealed, Transient };

// Marks an element whose text is a sealed password. Earlier releases wrote the proxy password
// as typed, without the mark; they ignore the mark when they read a newer file.
constexpr const char* kSealedAttribute = "sealed";

// One element of the settings file and the field it is read into.
struct Row {
    const char* name;
    RowKind kind;
    std::string Fields::*text;
    std::int64_t Fields::*integer;
    std::int8_t Fields::*flag;
};

#define NORVANE_ROW_TEXT(name, Name) Row { #name, RowKind::Text, &Fields::name, nullptr, nullptr },
#define NORVANE_ROW_INTEGER(name, Name, initial) Row { #name, RowKind::Integer, nullptr, &Fields::name, nullptr },
#define NORVANE_ROW_FLAG(name, Name, initial) Row { #name, RowKind::Flag, nullptr, nullptr, &Fields::name },
#define NORVANE_ROW_SEALED(name, Name) Row { #name, RowKind::Sealed, &Fields::name, nullptr, nullptr },
#define NORVANE_ROW_TRANSIENT(name, Name) Row { #name, RowKind::Transient, &Fields::name, nullptr, nullptr },
constexpr Row kRows[] = { NORVANE_CONFIG_INFO_FIELDS(
    NORVANE_ROW_TEXT, NORVANE_ROW_INTEGER, NORVANE_ROW_FLAG, NORVANE_ROW_SEALED, NORVANE_ROW_TRANSIENT) };
#undef NORVANE_ROW_TEXT
#undef NORVANE_ROW_SEALED
#undef NORVANE_ROW_INTEGER
#undef NORVANE_ROW_FLAG
#undef NORVANE_ROW_TRANSIENT

// Fields whose values never go into a log line.
bool isSecret(std::string_view name)
{
    return name == "proxyPass" || name == "userPass" || name == "oldPass" || name == "theNewPass"
        || name == "authorization";
}

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isBase64Digit(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// A "host:port" text exactly as serverAddress writes it.
bool isServerAddress(std::string_view text)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 >= text.size())
        return false;
    const std::string_view port = text.substr(colon + 1);
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const auto address = ConfigInfo::serverAddress(text.substr(0, colon), TextReading::integerValue(port));
    return address && *address == text;
}

// <name type="string" sealed="1">stored form</name>; an empty value carries no mark.
void appendSealedChild(GDataXMLElement& parent, const char* name, const std::string& stored)
{
    auto child = GDataXMLNode::elementWithName(name, TextReading::xmlSafe(stored));
    auto type = GDataXMLNode::attributeWithName("type", "string");
    if (!child || !type)
        return;
    child->addAttribute(*type);
    if (!stored.empty()) {
        if (auto sealed = GDataXMLNode::attributeWithName(kSealedAttribute, "1"))
            child->addAttribute(*sealed);
    }
    parent.addChild(*child);
}

} // namespace

ConfigInfo::ConfigInfo()
    : NorvaneEntity(kEntityName)
{
    fields_.deviceID = "";
}

ConfigInfo::~ConfigInfo() = default;

std::string ConfigInfo::userPass() const
{
    return CredentialProtection::unseal(storedUserPass(), credentialKeyFile()).value_or(std::string());
}

void ConfigInfo::setUserPass(std::string_view password)
{
    setStoredUserPass(CredentialProtection::seal(password, credentialKeyFile()));
}

std::string ConfigInfo::proxyPass() const
{
    const std::string stored = storedProxyPass();
    if (stored.empty())
        return {};
    return CredentialProtection::unseal(stored, credentialKeyFile()).value_or(std::string());
}

void ConfigInfo::setProxyPass(std::string_view password)
{
    write(&Fields::proxyPass,
        password.empty() ? std::string() : CredentialProtection::seal(password, credentialKeyFile()));
}

std::string ConfigInfo::credentialKeyFile()
{
    return (std::filesystem::path(configDirectory()) / CredentialProtection::kKeyFileName).string();
}

std::vector<ConfigInfo::TrustedServerKey> ConfigInfo::trustedServerKeys() const
{
    return read(&Fields::trustedServerKeys);
}

std::string ConfigInfo::pinnedPublicKey(std::string_view host, std::int64_t port) const
{
    const auto address = serverAddress(host, port);
    if (!address)
        return {};
    std::lock_guard lock(mutex_);
    for (const auto& entry : fields_.trustedServerKeys) {
        if (entry.server == *address)
            return entry.pin;
    }
    return {};
}

bool ConfigInfo::setPinnedPublicKey(std::string_view host, std::int64_t port, std::string_view pin)
{
    const auto address = serverAddress(host, port);
    if (!address || (!pin.empty() && !isPublicKeyPin(pin)))
        return false;
    std::lock_guard lock(mutex_);
    auto& keys = fields_.trustedServerKeys;
    auto found = std::find_if(keys.begin(), keys.end(), [&](const auto& entry) { return entry.server == *address; });
    if (pin.empty()) {
        if (found != keys.end())
            keys.erase(found);
    } else if (found != keys.end()) {
        found->pin = std::string(pin);
    } else {
        keys.push_back({ *address, std::string(pin) });
    }
    return true;
}

std::optional<std::string> ConfigInfo::serverAddress(std::string_view host, std::int64_t port)
{
    if (host.empty() || port < 1 || port > 65535)
        return std::nullopt;
    std::string lowered;
    lowered.reserve(host.size() + 2);
    for (char c : host) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f || c == '/' || c == '?' || c == '#' || c == '@')
            return std::nullopt;
        lowered += asciiLower(c);
    }
    const bool bracketed = lowered.front() == '[' && lowered.back() == ']' && lowered.size() > 2;
    if (!bracketed && lowered.find_first_of("[]") != std::string::npos)
        return std::nullopt;
    if (!bracketed && lowered.find(':') != std::string::npos)
        lowered = "[" + lowered + "]";
    return lowered + ":" + std::to_string(port);
}

bool ConfigInfo::isPublicKeyPin(std::string_view pin)
{
    static constexpr std::string_view prefix = "sha256//";
    if (pin.starts_with(prefix))
        pin.remove_prefix(prefix.size());
    // 32 bytes of digest: 43 digits and one "=".
    return pin.size() == 44 && pin.back() == '=' && std::all_of(pin.begin(), pin.end() - 1, isBase64Digit);
}

ConfigInfo::Fields ConfigInfo::snapshot() const
{
    std::lock_guard lock(mutex_);
    return fields_;
}

std::unique_ptr<GDataXMLElement> ConfigInfo::entity2XmlElement() const
{
    auto element = NorvaneEntity::entity2XmlElement();
    if (!element)
        return nullptr;
    const Fields fields = snapshot();
    for (const Row& row : kRows) {
        switch (row.kind) {
        case RowKind::Text:
            appendChild(*element, row.name, "string", fields.*row.text);
            break;
        case RowKind::Sealed:
            appendSealedChild(*element, row.name, fields.*row.text);
            break;
        case RowKind::Transient:
            appendChild(*element, row.name, "string", "");
            break;
        case RowKind::Integer:
            appendChild(*element, row.name, "integer", std::to_string(fields.*row.integer));
            break;
        case RowKind::Flag:
            appendChild(*element, row.name, "integer", std::to_string(static_cast<int>(fields.*row.flag)));
            break;
        }
    }

    auto keys = GDataXMLNode::elementWithName(kTrustedServerKeysElement);
    auto listType = GDataXMLNode::attributeWithName("type", "list");
    if (keys && listType) {
        keys->addAttribute(*listType);
        for (const auto& entry : fields.trustedServerKeys) {
            auto key = GDataXMLNode::elementWithName(kTrustedServerKeyElement, entry.pin);
            auto type = GDataXMLNode::attributeWithName("type", "string");
            auto server = GDataXMLNode::attributeWithName(kServerAttribute, entry.server);
            if (!key || !type || !server)
                continue;
            key->addAttribute(*type);
            key->addAttribute(*server);
            keys->addChild(*key);
        }
        element->addChild(*keys);
    }
    return element;
}

void ConfigInfo::xmlElement2Entity(const GDataXMLElement& element)
{
    std::optional<std::string> clearProxyPass;
    {
        std::lock_guard lock(mutex_);
        // Each element's kind comes from its name; the "type" attribute is not consulted.
        for (const Row& row : kRows) {
            const GDataXMLElement* child = firstChildElement(element, row.name);
            if (!child)
                continue;
            const std::string text = textOf(*child);
            switch (row.kind) {
            case RowKind::Text:
            case RowKind::Transient:
                fields_.*row.text = text;
                break;
            case RowKind::Sealed:
                // A login password was always stored sealed; a proxy password without the mark
                // is one that an earlier release stored as typed.
                if (row.text == &Fields::proxyPass && !text.empty() && !child->attributeForName(kSealedAttribute))
                    clearProxyPass = text;
                else
                    fields_.*row.text = text;
                break;
            case RowKind::Integer:
                fields_.*row.integer = TextReading::integerValue(text);
                break;
            case RowKind::Flag:
                fields_.*row.flag = TextReading::lowByte(TextReading::integerValue(text));
                break;
            }
        }

        if (const GDataXMLElement* keys = firstChildElement(element, kTrustedServerKeysElement)) {
            std::vector<TrustedServerKey> loaded;
            for (GDataXMLNode* node : keys->children()) {
                const GDataXMLElement* key = node ? node->asElement() : nullptr;
                if (!key || key->localName() != kTrustedServerKeyElement)
                    continue;
                const GDataXMLNode* server = key->attributeForName(kServerAttribute);
                TrustedServerKey entry { server ? server->stringValue().value_or(std::string()) : std::string(),
                    textOf(*key) };
                // A damaged entry is dropped rather than trusted; the first entry of a server counts.
                if (!isServerAddress(entry.server) || !isPublicKeyPin(entry.pin))
                    continue;
                if (std::none_of(loaded.begin(), loaded.end(), [&](const auto& e) { return e.server == entry.server; }))
                    loaded.push_back(std::move(entry));
            }
            fields_.trustedServerKeys = std::move(loaded);
        }
    }
    // Sealed outside the lock: it may have to make the key file first.
    if (clearProxyPass)
        setProxyPass(*clearProxyPass);
    NorvaneEntity::xmlElement2Entity(element);
}

bool ConfigInfo::load()
{
    if (!NorvaneEntity::load())
        return false;
    const std::string stored = storedUserPass();
    if (CredentialProtection::isSharedKeyForm(stored)) {
        if (auto password = CredentialProtection::unseal(stored, credentialKeyFile()))
            setUserPass(*password);
    }
    // Sealed without an installation key (none could be made then): brought over like the above.
    const std::string storedProxy = storedProxyPass();
    if (CredentialProtection::isSharedKeyForm(storedProxy)) {
        if (auto password = CredentialProtection::unseal(storedProxy, credentialKeyFile()))
            setProxyPass(*password);
    }
    return true;
}

std::string ConfigInfo::description() const
{
    const Fields fields = snapshot();
    DescriptionBuilder builder("ConfigInfo", this);
    builder.text("entityName", std::string_view(entityName()));
    for (const Row& row : kRows) {
        if (isSecret(row.name)) {
            const bool empty = row.text && (fields.*row.text).empty();
            builder.symbol(row.name, empty ? "(empty)" : "(hidden)");
            continue;
        }
        switch (row.kind) {
        case RowKind::Text:
        case RowKind::Sealed:
        case RowKind::Transient:
            builder.text(row.name, std::string_view(fields.*row.text));
            break;
        case RowKind::Integer:
            builder.int64(row.name, fields.*row.integer);
            break;
        case RowKind::Flag:
            builder.int32(row.name, fields.*row.flag);
            break;
        }
    }
    builder.int64("trustedServerKeys", static_cast<std::int64_t>(fields.trustedServerKeys.size()));
    return builder.str();
}

} // namespace norvane
