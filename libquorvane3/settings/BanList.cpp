#include "settings/BanList.h"

#include "settings/DateText.h"
#include "settings/FixedText.h"

namespace quorvane {

namespace {

const char* const SERVERBANS = "serverbans";
const char* const SERVERBAN = "serverban";

}  // namespace

const char* const BanList::DEFAULT_DOCUMENT =
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?><banlist version=\"1.0\"><serverbans><!-- example begin"
    "<serverban address=\"192.168.0.1\"><bantime>2005/05/15 22:35</bantime><nickname>Wren_QX</nickname>"
    "<channel-path>/mychannel/abcd</channel-path></serverban>example end --></serverbans></banlist>";

bool BanList::CreateXMLFile(const std::string& path) { return CreateFromText(path, DEFAULT_DOCUMENT); }

TiXmlElement* BanList::GetRootElement() { return RootOrNew("banlist", "1.0"); }

TiXmlElement* BanList::GetServerBansElement() {
    TiXmlElement* root = GetRootElement();
    TiXmlElement* bans = root->FirstChildElement(SERVERBANS);
    if (bans) return bans;
    bans = root->LinkEndChild(new TiXmlElement(SERVERBANS))->ToElement();
    SaveXMLFile();
    return bans;
}

int BanList::CountBanEntries() {
    int count = 0;
    for (const TiXmlElement* ban = GetServerBansElement()->FirstChildElement(SERVERBAN); ban;
         ban = ban->NextSiblingElement(SERVERBAN))
        ++count;
    return count;
}

void BanList::ClearBanEntries() { GetServerBansElement()->Clear(); }

bool BanList::AddBanEntry(const BanEntry& entry) {
    TiXmlElement ban(SERVERBAN);
    SetAttributeText(ban, "address", FixedText(entry.address));
    ban.InsertEndChild(MakeTextElement("bantime", FormatDateTime(entry.bantime)));
    ban.InsertEndChild(MakeTextElement("nickname", FixedText(entry.nickname)));
    ban.InsertEndChild(MakeTextElement("channel-path", FixedText(entry.channelpath)));
    return GetServerBansElement()->InsertEndChild(ban) && SaveXMLFile();
}

void BanList::ReadEntry(const TiXmlElement& ban, BanEntry& entry) const {
    std::string text;
    GetString(&ban, "bantime", text);
    entry.bantime = ParseDateTime(text);
    text.clear();
    GetString(&ban, "nickname", text);
    CopyFixedText(entry.nickname, text);
    text.clear();
    GetString(&ban, "channel-path", text);
    CopyFixedText(entry.channelpath, text);
    text.clear();
    GetAttributeText(ban, "address", text);
    CopyFixedText(entry.address, text);
}

bool BanList::GetBanEntry(int index, BanEntry& entry) {
    const TiXmlElement* ban = GetServerBansElement()->FirstChildElement(SERVERBAN);
    for (int i = 0; ban && i < index; ++i) ban = ban->NextSiblingElement(SERVERBAN);
    if (!ban || index < 0) return false;
    ReadEntry(*ban, entry);
    return true;
}

// One walk, so that reading a long list costs its length, not its square.
void BanList::GetBanEntries(std::vector<BanEntry>& list) {
    for (const TiXmlElement* ban = GetServerBansElement()->FirstChildElement(SERVERBAN); ban;
         ban = ban->NextSiblingElement(SERVERBAN)) {
        BanEntry entry = {};
        ReadEntry(*ban, entry);
        list.push_back(entry);
    }
}

}  // namespace quorvane
