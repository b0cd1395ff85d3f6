#include "settings/QuorvaneSettings.h"

#include "settings/FixedText.h"
#include "settings/SettingsTable.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <queue>
#include <set>
#include <utility>

namespace quorvane {

const char* const QuorvaneSettings::MINIMAL_DOCUMENT =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><quorvane version=\"3.3\"></quorvane>";

namespace {

const char* const STATIC_CHANNELS = "static-channels";
const char* const CHANNEL = "channel";

StaticChannelRecord MakeRecord(int32_t id, int32_t parentid, const std::string& name, const std::string& password,
                               const std::string& topic, int64_t diskquota, int32_t line = 0) {
    StaticChannelRecord record{};
    record.id = id;
    record.parentid = parentid;
    CopyFixedText(record.name, name);
    CopyFixedText(record.password, password);
    CopyFixedText(record.topic, topic);
    record.diskquota = diskquota;
    record.line = line;
    return record;
}

void AppendTextElement(TiXmlElement& parent, const char* name, const std::string& text) {
    parent.InsertEndChild(XMLDocument::MakeTextElement(name, text));
}

TiXmlElement MakeChannelElement(const StaticChannelRecord& record) {
    TiXmlElement channel(CHANNEL);
    AppendTextElement(channel, "name", FixedText(record.name));
    AppendTextElement(channel, "password", FixedText(record.password));
    AppendTextElement(channel, "topic", FixedText(record.topic));
    AppendTextElement(channel, "diskquota", std::to_string(record.diskquota));
    return channel;
}

}  // namespace

bool QuorvaneSettings::CreateXMLFile(const std::string& path) { return CreateFromText(path, MINIMAL_DOCUMENT); }

TiXmlElement* QuorvaneSettings::GetRootElement() { return RootOrNew("quorvane", "3.3"); }

TiXmlElement* QuorvaneSettings::GetHostingElement() {
    TiXmlElement* root = GetRootElement();
    TiXmlElement* hosting = root->FirstChildElement("hosting");
    if (hosting) return hosting;
    hosting = new TiXmlElement("hosting");
    root->LinkEndChild(hosting);
    return hosting;
}

const std::string& QuorvaneSettings::DefaultDocument() {
    static const std::string document = [] {
        std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?><quorvane version=\"3.3\"><hosting>";
        for (const SettingRow& row : SettingsTable::ROWS)
            if (row.context != SettingRow::RETIRED)
                text += std::string("<") + row.element + ">" + SettingsTable::Initial(row) + "</" + row.element + ">";
        return text + "</hosting></quorvane>";
    }();
    return document;
}

bool QuorvaneSettings::SetDefaultSettings() {
    ParseText(DefaultDocument());
    return SaveXMLFile();
}

void QuorvaneSettings::TakeDefaults(const std::string& path) {
    document_.SetValue(path);
    ParseText(DefaultDocument());
}

bool QuorvaneSettings::PutText(const char* element, const std::string& value) {
    return PutString(GetHostingElement(), SettingsTable::Require(element, SettingRow::TEXT).element, value);
}

bool QuorvaneSettings::PutNumber(const char* element, int64_t value) {
    return PutInteger64(GetHostingElement(), SettingsTable::Require(element, SettingRow::NUMBER).element, value);
}

bool QuorvaneSettings::PutFlag(const char* element, bool value) {
    return PutBoolean(GetHostingElement(), SettingsTable::Require(element, SettingRow::BOOLEAN).element, value);
}

// Breadth-first over the nested <channel> elements: the root is 1, its sub-channels in
// document order 2, 3, ..., then theirs. A channel without <name> is skipped together with
// everything below it. Without <static-channels> the table is left as it was.
bool QuorvaneSettings::ReadStaticChannels(StaticChannelTable& table) {
    const TiXmlElement* hosting = GetHostingElement();
    std::string rootTopic;
    int64_t rootQuota = 0;
    GetString(hosting, "root-topic", rootTopic);
    GetInteger64(hosting, "root-diskquota", rootQuota);
    const StaticChannelRecord root = MakeRecord(1, 0, "", "", rootTopic, rootQuota);
    const TiXmlElement* channels = hosting->FirstChildElement(STATIC_CHANNELS);
    if (!channels) return true;

    std::queue<std::pair<const TiXmlElement*, StaticChannelRecord>> pending;
    pending.push(std::make_pair(channels, root));
    int32_t lastId = 1;
    while (!pending.empty()) {
        const TiXmlElement* element = pending.front().first;
        const StaticChannelRecord record = pending.front().second;
        pending.pop();
        table[record.id] = record;
        for (const TiXmlElement* child = element->FirstChildElement(CHANNEL); child;
             child = child->NextSiblingElement(CHANNEL)) {
            std::string name, password, topic;
            int64_t diskquota = 0;
            if (!GetString(child, "name", name)) continue;
            GetString(child, "password", password);
            GetString(child, "topic", topic);
            GetInteger64(child, "diskquota", diskquota);
            pending.push(
                std::make_pair(child, MakeRecord(++lastId, record.id, name, password, topic, diskquota, child->Row())));
        }
    }
    return true;
}

// Writes the root topic, then replaces <static-channels> by the tree below the root,
// children in ascending id order. Each record is written at most once, so a table whose
// parent links loop still ends. The result is that of the final save.
bool QuorvaneSettings::WriteStaticChannels(const StaticChannelTable& table) {
    const StaticChannelRecord* root = nullptr;
    for (const auto& entry : table) {
        if (entry.second.parentid == 0) {
            root = &entry.second;
            break;
        }
    }
    if (!root) return true;

    PutText("root-topic", FixedText(root->topic));

    std::multimap<int32_t, const StaticChannelRecord*> childrenOf;
    for (const auto& entry : table)
        if (&entry.second != root) childrenOf.insert(std::make_pair(entry.second.parentid, &entry.second));

    TiXmlElement channels(STATIC_CHANNELS);
    std::set<const StaticChannelRecord*> written;
    std::queue<std::pair<const StaticChannelRecord*, TiXmlElement*>> pending;
    pending.push(std::make_pair(root, &channels));
    while (!pending.empty()) {
        const StaticChannelRecord* record = pending.front().first;
        TiXmlElement* parent = pending.front().second;
        pending.pop();
        auto children = childrenOf.equal_range(record->id);
        for (auto it = children.first; it != children.second; ++it) {
            const StaticChannelRecord* child = it->second;
            if (!written.insert(child).second) continue;
            TiXmlNode* appended = parent->InsertEndChild(MakeChannelElement(*child));
            if (appended) pending.push(std::make_pair(child, appended->ToElement()));
        }
    }
    return ReplaceOrAppendInTree(GetHostingElement(), channels) && SaveXMLFile();
}

}  // namespace quorvane
