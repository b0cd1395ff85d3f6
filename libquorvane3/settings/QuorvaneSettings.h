// The settings file: the document whose <hosting> holds the settings of SettingsTable
// (read by SettingsCheck), the first start's document, writers of single settings and the
// static channel tree. Every writer rewrites the file.
#ifndef QUORVANE_SETTINGS_QUORVANESETTINGS_H
#define QUORVANE_SETTINGS_QUORVANESETTINGS_H

#include <cstdint>
#include <string>

#include "settings/StaticChannelRecord.h"
#include "settings/XMLDocument.h"

namespace quorvane {

class QuorvaneSettings : public XMLDocument {
public:
    static const char* const MINIMAL_DOCUMENT;

    bool CreateXMLFile(const std::string& path) override;
    TiXmlElement* GetRootElement() override;
    TiXmlElement* GetHostingElement();

    // The first start's file: every row of SettingsTable but the retired ones, in the
    // table's order, at its initial value; one line.
    static const std::string& DefaultDocument();
    bool SetDefaultSettings();
    // The first start's file in memory under the file name path; nothing is written.
    void TakeDefaults(const std::string& path);

    // Writes one setting under <hosting> (replacing the first element of that name, or
    // appending one) and saves; the element must be a row of SettingsTable of that type.
    // The values are read by SettingsCheck.
    bool PutText(const char* element, const std::string& value);
    bool PutNumber(const char* element, int64_t value);
    bool PutFlag(const char* element, bool value);

    bool ReadStaticChannels(StaticChannelTable& table);
    bool WriteStaticChannels(const StaticChannelTable& table);
};

}  // namespace quorvane

#endif
