#include "app/state/NetPrintInfo.h"

#include "app/state/TextReading.h"
#include "formats/DescriptionBuilder.h"
#include "formats/GDataXMLElement.h"
#include "formats/KeyedArchive.h"
#include "platform/Strings.h"

#include <array>

namespace norvane {

namespace {

struct FieldRow {
    std::string NetPrintInfo::*field;
    const char* element;
    const char* archiveKey;
};

constexpr std::array<FieldRow, 10> kFields { {
    { &NetPrintInfo::key, "Key", "kKey" },
    { &NetPrintInfo::resultCode, "resultCode", "kResultCodeKey" },
    { &NetPrintInfo::fileName, "fileName", "kFileNameKey" },
    { &NetPrintInfo::printID, "printID", "kPrintIDKey" },
    { &NetPrintInfo::uploadDate, "uploadDate", "kUploadDateKey" },
    { &NetPrintInfo::endDate, "endDate", "kEndDateKey" },
    { &NetPrintInfo::thumbnail, "thumbnail", "kThumbnailKey" },
    { &NetPrintInfo::accessKey, "accessKey", "kAccessKeyKey" },
    { &NetPrintInfo::printableCount, "printableCount", "kPrintableCountKey" },
    { &NetPrintInfo::printFinishCount, "printFinishCount", "kPrintFinishCountKey" },
} };

} // namespace

NetPrintInfo::NetPrintInfo()
    : NorvaneEntity(kEntityName)
{ }

std::unique_ptr<GDataXMLElement> NetPrintInfo::entity2XmlElement() const
{
    auto element = NorvaneEntity::entity2XmlElement();
    if (!element)
        return nullptr;
    for (const FieldRow& row : kFields)
        appendChild(*element, row.element, "string", this->*row.field);
    return element;
}

void NetPrintInfo::xmlElement2Entity(const GDataXMLElement& element)
{
    for (const FieldRow& row : kFields) {
        const GDataXMLElement* child = firstChildElement(element, row.element);
        this->*row.field = child ? textOf(*child) : std::string();
    }
    NorvaneEntity::xmlElement2Entity(element);
}

std::string NetPrintInfo::description() const
{
    DescriptionBuilder builder("NetPrintInfo", this);
    for (const FieldRow& row : kFields) {
        if (row.field == &NetPrintInfo::accessKey)
            builder.symbol("accessKey", accessKey.empty() ? "(empty)" : "(hidden)");
        else
            builder.text(row.element, std::string_view(this->*row.field));
    }
    return builder.str();
}

void NetPrintInfo::encodeWithCoder(KeyedArchiver& coder) const
{
    for (const FieldRow& row : kFields)
        coder.encodeString(row.archiveKey, this->*row.field);
}

std::optional<NetPrintInfo> NetPrintInfo::initWithCoder(const KeyedUnarchiver& coder)
{
    NetPrintInfo out;
    for (const FieldRow& row : kFields)
        out.*row.field = coder.decodeString(row.archiveKey).value_or(std::string());
    return out;
}

bool operator==(const NetPrintInfo& a, const NetPrintInfo& b)
{
    for (const FieldRow& row : kFields) {
        if (a.*row.field != b.*row.field)
            return false;
    }
    return a.entityName() == b.entityName();
}

std::string netPrintResultMessage(std::string_view resultCode)
{
    // A reply without a number is no registration, whatever its value would read as.
    if (!TextReading::holdsInteger(resultCode))
        return "Unknown type: " + std::string(resultCode);
    if (TextReading::integerValue(resultCode) >= 0)
        return Strings::text("message_file_print_login_success");
    if (resultCode == "-1")
        return Strings::text("message_can_not_login_print_for_sever_access_error");
    if (resultCode == "-2")
        return Strings::text("message_can_not_plan_for_big_file_size");
    if (resultCode == "-3")
        return Strings::text("message_can_not_plan_for_not_existed_file");
    if (resultCode == "-4")
        return Strings::text("message_can_not_plan_for_max_plans");
    return "Unknown type: " + std::string(resultCode);
}

} // namespace norvane
