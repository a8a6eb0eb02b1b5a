#pragma once

#include "app/state/NorvaneEntity.h"

#include <optional>
#include <string>
#include <string_view>

namespace norvane {

class KeyedArchiver;
class KeyedUnarchiver;

// One registered print job as the server lists it (its "FileInfo" element). Every field is the
// server's text, unchanged. Records are made from a listing and kept in memory only.
class NetPrintInfo : public NorvaneEntity {
public:
    static constexpr const char* kEntityName = "FileInfo";

    NetPrintInfo();

    std::string key;
    // The registration result; a value below 0 means the file cannot be printed.
    std::string resultCode;
    std::string fileName;
    // The number the user types at the printer.
    std::string printID;
    std::string uploadDate;
    std::string endDate;
    // Address of a preview image.
    std::string thumbnail;
    std::string accessKey;
    std::string printableCount;
    std::string printFinishCount;

    // <FileInfo> with one "string" child per field.
    std::unique_ptr<GDataXMLElement> entity2XmlElement() const override;
    // Each field from the first child of its name, in whatever namespace; a missing one is empty.
    void xmlElement2Entity(const GDataXMLElement& element) override;
    std::string description() const override;

    void encodeWithCoder(KeyedArchiver& coder) const;
    static std::optional<NetPrintInfo> initWithCoder(const KeyedUnarchiver& coder);

    friend bool operator==(const NetPrintInfo& a, const NetPrintInfo& b);
};

// The text shown for the result code of a print registration: the localised success message for
// a code of 0 or more; for -1 to -4 (matched by their exact text) the localised reason; for any
// other code, and for a text that holds no number at all, "Unknown type: " and the code as given.
std::string netPrintResultMessage(std::string_view resultCode);

} // namespace norvane
