#include "formats/XMLHardening.h"

#include "platform/Log.h"

#include <libxml/parser.h>
#include <mutex>
#include <string>

namespace norvane {

namespace {
// Defence in depth: even if some path of libxml2 decided to fetch an external DTD or entity, it
// finds nothing. The attempt is logged so that it shows up in diagnostics (and in tests).
xmlParserInputPtr refuseExternalEntity(const char* url, const char* id, xmlParserCtxtPtr)
{
    std::string what = url ? url : (id ? id : "(unnamed)");
    if (what.size() > 200)
        what.resize(200);
    Log::line("XML: refused to load the external resource " + what);
    return nullptr;
}
} // namespace

void initialiseHardenedXMLParser()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(refuseExternalEntity);
        // Defaults for threads that libxml2 has not seen yet; the parsing thread's own are forced
        // off around each parse.
        xmlThrDefSubstituteEntitiesDefaultValue(0);
        xmlThrDefLoadExtDtdDefaultValue(0);
        xmlThrDefDoValidityCheckingDefaultValue(0);
    });
}

HardenedXMLParserDefaults::HardenedXMLParserDefaults()
    : substitute_(xmlSubstituteEntitiesDefault(0))
    , loadExternalDtd_(xmlLoadExtDtdDefaultValue)
    , validate_(xmlDoValidityCheckingDefaultValue)
{
    xmlLoadExtDtdDefaultValue = 0;
    xmlDoValidityCheckingDefaultValue = 0;
}

HardenedXMLParserDefaults::~HardenedXMLParserDefaults()
{
    xmlSubstituteEntitiesDefault(substitute_);
    xmlLoadExtDtdDefaultValue = loadExternalDtd_;
    xmlDoValidityCheckingDefaultValue = validate_;
}

} // namespace norvane
