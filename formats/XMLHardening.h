#pragma once

namespace norvane {

// Readies libxml2 once for the process and makes it refuse every external resource (DTDs and
// external entities are never fetched, whoever parses). Every parser of outside XML calls it first.
void initialiseHardenedXMLParser();

// The calling thread's entity and DTD settings, which libxml2 hands to every parser or reader made
// on it, forced off for the lifetime of this object and restored afterwards.
class HardenedXMLParserDefaults {
public:
    HardenedXMLParserDefaults();
    ~HardenedXMLParserDefaults();
    HardenedXMLParserDefaults(const HardenedXMLParserDefaults&) = delete;
    HardenedXMLParserDefaults& operator=(const HardenedXMLParserDefaults&) = delete;

private:
    int substitute_;
    int loadExternalDtd_;
    int validate_;
};

} // namespace norvane
