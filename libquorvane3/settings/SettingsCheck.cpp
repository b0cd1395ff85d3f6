#include "settings/SettingsCheck.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "settings/QuorvaneSettings.h"
#include "settings/SettingsTable.h"
#include "settings/ValueRules.h"

namespace quorvane {

namespace {

const size_t SHOWN_BYTES = 64;  // of a value in a problem: a megabyte of motd is not echoed

std::string Trimmed(const std::string& text) {
    const char* const blanks = " \t\r\n";
    const size_t start = text.find_first_not_of(blanks);
    if (start == std::string::npos) return std::string();
    return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

// A whole number with an optional sign and blanks around it; one beyond 64 bits reads
// as the nearest end, which no range takes.
bool ParseWhole(const std::string& text, int64_t& out) {
    const std::string number = Trimmed(text);
    const size_t first = number.empty() || (number[0] != '-' && number[0] != '+') ? 0 : 1;
    if (first == number.size() || number.find_first_not_of("0123456789", first) != std::string::npos) return false;
    const bool negative = number[0] == '-';
    out = 0;
    for (size_t i = first; i < number.size(); ++i) {
        const int digit = number[i] - '0';
        if (out > (INT64_MAX - digit) / 10) {
            out = negative ? INT64_MIN : INT64_MAX;
            return true;
        }
        out = out * 10 + digit;
    }
    if (negative) out = -out;
    return true;
}

bool ParseBoolean(const std::string& text, bool& out) {
    const std::string word = Trimmed(text);
    if (strcasecmp(word.c_str(), "true") == 0) out = true;
    else if (strcasecmp(word.c_str(), "false") == 0) out = false;
    else return false;
    return true;
}

std::string RangeRequirement(int64_t low, int64_t high) {
    return "it must be a number from " + std::to_string(low) + " to " + std::to_string(high);
}

// Edits that turn one name into the other (insert, delete, replace).
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known element a misspelt one most likely meant; empty when none is close.
std::string Likeliest(const std::string& name) {
    std::string best;
    size_t bestDistance = 3;
    for (const SettingRow& row : SettingsTable::ROWS) {
        const size_t distance = Distance(name, row.element);
        if (distance < bestDistance) {
            best = row.element;
            bestDistance = distance;
        }
    }
    return best;
}

class Reader {
public:
    Reader(SettingValues& values, const std::vector<SettingsCheck::ExtraCheck>& checks)
        : values_(values), checks_(checks) {}

    // Past MAX_PROBLEMS a problem is only counted (Finish tells how many).
    void Add(const TiXmlElement& element, const std::string& subject, const std::string& requirement,
             bool unknown = false) {
        ++found_;
        refusesUntold_ = refusesUntold_ || (!unknown && problems_.size() >= SettingsCheck::MAX_PROBLEMS);
        if (problems_.size() < SettingsCheck::MAX_PROBLEMS)
            problems_.push_back(SettingsCheck::Problem{element.Row(), subject, requirement, unknown});
    }

    void Finish() {
        const size_t untold = found_ - problems_.size();
        if (untold == 0) return;
        problems_.push_back(SettingsCheck::Problem{
            0, std::to_string(untold) + " more problems are not told",
            "only the first " + std::to_string(SettingsCheck::MAX_PROBLEMS) + " are", !refusesUntold_});
    }

    void ReadElement(const TiXmlElement& element) {
        const std::string name = element.ValueStr();
        const SettingRow* row = SettingsTable::Find(name);
        // Only the first element of a name counts; unknown names are remembered only while
        // they are told, so the memory stays bounded.
        if (row != nullptr && rowSeen_[SettingsTable::IndexOf(*row)]) return;
        if (row != nullptr) rowSeen_[SettingsTable::IndexOf(*row)] = true;
        if (row == nullptr && problems_.size() < SettingsCheck::MAX_PROBLEMS && !unknownSeen_.insert(name).second)
            return;
        if (row == nullptr) {
            const std::string meant = Likeliest(name);
            Add(element, name + " is no setting of this server" + (meant.empty() ? "" : " (" + meant + "?)"),
                "it is kept in the file and has no effect", true);
            return;
        }
        if (row->context == SettingRow::RETIRED) return;
        const std::string text = XMLDocument::GetElementText(&element);
        const std::string subject = name + " is " + SettingsCheck::Quote(text);
        const size_t before = found_;
        int64_t number = 0;
        bool flag = false;
        switch (row->type) {
        case SettingRow::TEXT: values_.SetText(name, text); break;
        case SettingRow::NUMBER:
            if (ParseWhole(text, number) && number >= row->low && number <= row->high) values_.SetNumber(name, number);
            else Add(element, subject, RangeRequirement(row->low, row->high));
            break;
        case SettingRow::BOOLEAN:
            if (ParseBoolean(text, flag)) values_.SetFlag(name, flag);
            else Add(element, subject, "it must be true or false");
            break;
        case SettingRow::CHANNELS: ReadChannels(element); break;
        }
        if (found_ != before) return;
        for (const SettingsCheck::ExtraCheck& extra : checks_) {
            const std::string requirement = name == extra.element ? extra.check(text) : std::string();
            if (!requirement.empty()) Add(element, subject, requirement);
        }
    }

    // The channels the reader makes (those with a name, and theirs) in document order,
    // without recursion: a file may nest them thousands deep.
    void ReadChannels(const TiXmlElement& tree) {
        std::vector<const TiXmlElement*> pending(1, &tree);
        while (!pending.empty()) {
            const TiXmlElement* parent = pending.back();
            pending.pop_back();
            std::vector<const TiXmlElement*> children;
            for (const TiXmlElement* channel = parent->FirstChildElement("channel"); channel;
                 channel = channel->NextSiblingElement("channel"))
                if (channel->FirstChildElement("name") != nullptr) children.push_back(channel);
            pending.insert(pending.end(), children.rbegin(), children.rend());
            if (parent != &tree) ReadQuota(*parent);
        }
    }

    void ReadQuota(const TiXmlElement& channel) {
        const TiXmlElement* quota = channel.FirstChildElement("diskquota");
        if (quota == nullptr) return;
        const std::string text = XMLDocument::GetElementText(quota);
        int64_t number = 0, low = 0, high = 0;
        const bool whole = ParseWhole(text, number);
        ValueRules::FindRange("diskquota", low, high);
        if (whole && number >= low && number <= high) return;
        Add(*quota, "the diskquota of a static channel is " + (whole ? Trimmed(text) : SettingsCheck::Quote(text)),
            RangeRequirement(low, high));
    }

    SettingsCheck::Problems problems_;

private:
    SettingValues& values_;
    const std::vector<SettingsCheck::ExtraCheck>& checks_;
    std::vector<bool> rowSeen_ = std::vector<bool>(SettingsTable::COUNT);
    std::set<std::string> unknownSeen_;
    size_t found_ = 0;
    bool refusesUntold_ = false;
};

}  // namespace

SettingsCheck::Problems SettingsCheck::Read(QuorvaneSettings& document, SettingValues& values,
                                            const std::vector<ExtraCheck>& checks) {
    Reader reader(values, checks);
    for (const TiXmlElement* element = document.GetHostingElement()->FirstChildElement(); element;
         element = element->NextSiblingElement())
        reader.ReadElement(*element);
    StaticChannelTable channels;
    document.ReadStaticChannels(channels);
    values.SetChannels(channels);
    reader.Finish();
    return reader.problems_;
}

bool SettingsCheck::Refuses(const Problems& problems) {
    return std::any_of(problems.begin(), problems.end(), [](const Problem& p) { return !p.unknown; });
}

std::string SettingsCheck::Quote(const std::string& text) {
    std::string quoted = "\"";
    for (size_t i = 0; i < text.size() && i < SHOWN_BYTES; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    quoted += '"';
    if (text.size() > SHOWN_BYTES) quoted += "... (" + std::to_string(text.size()) + " bytes)";
    return quoted;
}

}  // namespace quorvane
