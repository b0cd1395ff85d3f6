#include "settings/QuorvaneSettings.h"

#include "settings/FixedText.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <queue>
#include <set>
#include <utility>

namespace quorvane {

const char* const QuorvaneSettings::MINIMAL_DOCUMENT =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><quorvane version=\"3.3\"></quorvane>";

// One line; the comment shows an administrator how a static channel is written.
const char* const QuorvaneSettings::DEFAULT_DOCUMENT =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<quorvane version=\"3.3\">"
    "<hosting>"
    "<server-name>Quorvane Server</server-name>"
    "<server-password></server-password>"
    "<root-topic></root-topic>"
    "<root-diskquota>0</root-diskquota>"
    "<motd></motd>"
    "<hostport>10300</hostport>"
    "<soundport>10301</soundport>"
    "<bind-ip></bind-ip>"
    "<max-users>500</max-users>"
    "<allow-channel-creation>true</allow-channel-creation>"
    "<allow-operators>true</allow-operators>"
    "<server-logging>false</server-logging>"
    "<admin-enabled>false</admin-enabled>"
    "<admin-username></admin-username>"
    "<admin-password></admin-password>"
    "<files-root></files-root>"
    "<channel-diskquota>0</channel-diskquota>"
    "<max-connections-per-address>64</max-connections-per-address>"
    "<password-lockout>10</password-lockout>"
    "<login-timeout>60</login-timeout>"
    "<max-channels>10000</max-channels>"
    "<command-rate>20</command-rate>"
    "<command-burst>200</command-burst>"
    "<transfer-timeout>60</transfer-timeout>"
    "<max-files-per-channel>1000</max-files-per-channel>"
    "<max-files>100000</max-files>"
    "<ipv6-ban-prefix>64</ipv6-ban-prefix>"
    "<max-output-queue>268435456</max-output-queue>"
    "<trust-loopback>true</trust-loopback>"
    "<metrics-address></metrics-address>"
    "<static-channels>"
    "<!--\t<channel>"
    "\t\t<name>Channel 1</name>"
    "\t\t<password></password>"
    "\t\t<topic></topic>"
    "\t\t<diskquota>0</diskquota>"
    "\t</channel>\t-->"
    "</static-channels>"
    "</hosting>"
    "</quorvane>";

namespace {

const char* const STATIC_CHANNELS = "static-channels";
const char* const CHANNEL = "channel";

StaticChannelRecord MakeRecord(int32_t id, int32_t parentid, const std::string& name, const std::string& password,
                               const std::string& topic, int64_t diskquota) {
    StaticChannelRecord record{};
    record.id = id;
    record.parentid = parentid;
    CopyFixedText(record.name, name);
    CopyFixedText(record.password, password);
    CopyFixedText(record.topic, topic);
    record.diskquota = diskquota;
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

bool QuorvaneSettings::SetDefaultSettings() {
    ParseText(DEFAULT_DOCUMENT);
    return SaveXMLFile();
}

namespace {

// Typed readers of one setting under <hosting>, each with the value of a missing element.
std::string TextSetting(QuorvaneSettings& settings, const char* name) {
    std::string value;
    settings.GetString(settings.GetHostingElement(), name, value);
    return value;
}

int NumberSetting(QuorvaneSettings& settings, const char* name) {
    int value = -1;
    settings.GetInteger(settings.GetHostingElement(), name, value);
    return value;
}

int NumberSetting(QuorvaneSettings& settings, const char* name, int missing) {
    int value = missing;
    settings.GetInteger(settings.GetHostingElement(), name, value);
    return value;
}

int64_t Number64Setting(QuorvaneSettings& settings, const char* name, int64_t missing = 0) {
    int64_t value = missing;
    settings.GetInteger64(settings.GetHostingElement(), name, value);
    return value;
}

bool FlagSetting(QuorvaneSettings& settings, const char* name, bool missing) {
    bool value = missing;
    settings.GetBoolean(settings.GetHostingElement(), name, value);
    return value;
}

}  // namespace

std::string QuorvaneSettings::GetServerName() { return TextSetting(*this, "server-name"); }
std::string QuorvaneSettings::GetServerPassword() { return TextSetting(*this, "server-password"); }
std::string QuorvaneSettings::GetRootTopic() { return TextSetting(*this, "root-topic"); }
int64_t QuorvaneSettings::GetRootDiskQuota() { return Number64Setting(*this, "root-diskquota"); }
std::string QuorvaneSettings::GetMotd() { return TextSetting(*this, "motd"); }
int QuorvaneSettings::GetHostPort() { return NumberSetting(*this, "hostport"); }
int QuorvaneSettings::GetSoundPort() { return NumberSetting(*this, "soundport"); }
std::string QuorvaneSettings::GetBindIP() { return TextSetting(*this, "bind-ip"); }
int QuorvaneSettings::GetMaxUsers() { return NumberSetting(*this, "max-users"); }
bool QuorvaneSettings::GetAllowChannelCreation() { return FlagSetting(*this, "allow-channel-creation", true); }
bool QuorvaneSettings::GetAllowOperators() { return FlagSetting(*this, "allow-operators", true); }
bool QuorvaneSettings::GetServerLogging() { return FlagSetting(*this, "server-logging", false); }
bool QuorvaneSettings::GetAdminEnabled() { return FlagSetting(*this, "admin-enabled", false); }
std::string QuorvaneSettings::GetAdminUsername() { return TextSetting(*this, "admin-username"); }
std::string QuorvaneSettings::GetAdminPassword() { return TextSetting(*this, "admin-password"); }
std::string QuorvaneSettings::GetFilesRoot() { return TextSetting(*this, "files-root"); }
int64_t QuorvaneSettings::GetChannelDiskQuota() { return Number64Setting(*this, "channel-diskquota"); }
int QuorvaneSettings::GetMaxConnectionsPerAddress() { return NumberSetting(*this, "max-connections-per-address", 64); }
int QuorvaneSettings::GetPasswordLockout() { return NumberSetting(*this, "password-lockout", 10); }
int QuorvaneSettings::GetLoginTimeout() { return NumberSetting(*this, "login-timeout", 60); }
int QuorvaneSettings::GetMaxChannels() { return NumberSetting(*this, "max-channels", 10000); }
int QuorvaneSettings::GetCommandRate() { return NumberSetting(*this, "command-rate", 20); }
int QuorvaneSettings::GetCommandBurst() { return NumberSetting(*this, "command-burst", 200); }
int QuorvaneSettings::GetTransferTimeout() { return NumberSetting(*this, "transfer-timeout", 60); }
int QuorvaneSettings::GetMaxFilesPerChannel() { return NumberSetting(*this, "max-files-per-channel", 1000); }
int QuorvaneSettings::GetMaxFiles() { return NumberSetting(*this, "max-files", 100000); }
int QuorvaneSettings::GetIpv6BanPrefix() { return NumberSetting(*this, "ipv6-ban-prefix", 64); }
int64_t QuorvaneSettings::GetMaxOutputQueue() { return Number64Setting(*this, "max-output-queue", 268435456); }
bool QuorvaneSettings::GetTrustLoopback() { return FlagSetting(*this, "trust-loopback", true); }
std::string QuorvaneSettings::GetMetricsAddress() { return TextSetting(*this, "metrics-address"); }

bool QuorvaneSettings::SetServerName(const std::string& value) {
    return PutString(GetHostingElement(), "server-name", value);
}

bool QuorvaneSettings::SetServerPassword(const std::string& value) {
    return PutString(GetHostingElement(), "server-password", value);
}

bool QuorvaneSettings::SetMotd(const std::string& value) { return PutString(GetHostingElement(), "motd", value); }

bool QuorvaneSettings::SetRootTopic(const std::string& value) {
    return PutString(GetHostingElement(), "root-topic", value);
}

bool QuorvaneSettings::SetAdminUsername(const std::string& value) {
    return PutString(GetHostingElement(), "admin-username", value);
}

bool QuorvaneSettings::SetAdminPassword(const std::string& value) {
    return PutString(GetHostingElement(), "admin-password", value);
}

bool QuorvaneSettings::SetFilesRoot(const std::string& value) {
    return PutString(GetHostingElement(), "files-root", value);
}

bool QuorvaneSettings::SetRootDiskQuota(int64_t value) {
    return PutInteger64(GetHostingElement(), "root-diskquota", value);
}

bool QuorvaneSettings::SetChannelDiskQuota(int64_t value) {
    return PutInteger64(GetHostingElement(), "channel-diskquota", value);
}

bool QuorvaneSettings::SetAdminEnabled(bool value) { return PutBoolean(GetHostingElement(), "admin-enabled", value); }

bool QuorvaneSettings::SetAllowOperators(bool value) {
    return PutBoolean(GetHostingElement(), "allow-operators", value);
}

bool QuorvaneSettings::SetAllowChannelCreation(bool value) {
    return PutBoolean(GetHostingElement(), "allow-channel-creation", value);
}

// Breadth-first over the nested <channel> elements: the root is 1, its sub-channels in
// document order 2, 3, ..., then theirs. A channel without <name> is skipped together with
// everything below it. Without <static-channels> the table is left as it was.
bool QuorvaneSettings::ReadStaticChannels(StaticChannelTable& table) {
    const TiXmlElement* hosting = GetHostingElement();
    const StaticChannelRecord root = MakeRecord(1, 0, "", "", GetRootTopic(), GetRootDiskQuota());
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
            pending.push(std::make_pair(child, MakeRecord(++lastId, record.id, name, password, topic, diskquota)));
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

    SetRootTopic(FixedText(root->topic));

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
