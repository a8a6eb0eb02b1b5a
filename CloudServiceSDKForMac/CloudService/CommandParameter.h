#pragma once

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "formats/KeyedArchive.h"
#include "platform/Value.h"

#include <memory>
#include <string>

namespace norvane {

// The inputs of a command, or (a second record) its outputs.
//
// memoryData and fileInfo are shared: the caller keeps a pointer to the buffer a download or a
// publish writes into, and to the list a listing fills, while the command and its copies write
// through to them. A null pointer means "none was given"; the factory says which commands get
// one. cmdOption holds the option keys of CloudServiceConstants.h and those of the adaptor.
class CommandParameter {
public:
    std::string authString; // login and change-password credentials
    std::string pathName; // server folder or file: ls, search, mkdir, netPrint
    std::string localFileName; // local file (put source, get target); source server path of cp and mv
    std::string remoteFileName; // server path acted on; destination of cp and mv
    std::shared_ptr<Bytes> memoryData; // put source without a local file; get and publish receiving buffer
    std::shared_ptr<FileInfoList> fileInfo; // ls and search results
    std::string displayName; // name shown in the batch list
    ValueMap cmdOption;

    // A new record holding the same fields; the buffer and the list are the same objects.
    std::shared_ptr<CommandParameter> copy() const { return std::make_shared<CommandParameter>(*this); }
    std::string description() const;

    // Archived under the field names; memoryData and fileInfo only when present.
    void encodeWithCoder(KeyedArchiver& coder) const;
    // Missing keys read as an empty record; never null.
    static std::shared_ptr<CommandParameter> initWithCoder(const KeyedUnarchiver& coder);
};

} // namespace norvane
