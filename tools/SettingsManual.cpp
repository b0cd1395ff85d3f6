// quorvane-settings-manual: writes the manual page quorvane-server.xml(5), the settings
// file, from the table of settings, so that the page names every setting with its type,
// range, values and whether a reload applies it. The package installs the page. Not
// installed itself.
//
// Usage: quorvane-settings-manual FILE
// Exit status: 0 written; 1 FILE could not be written; 2 wrong arguments.
#include <cstdio>
#include <string>

#include "settings/SettingsTable.h"

using quorvane::SettingRow;
using quorvane::SettingsTable;

namespace {

// Text as roff reads it literally: backslashes and hyphens escaped, and no line that
// starts with a control character.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
        if (c == '\n') out += "\\&";
    }
    return (out.empty() || (out[0] != '.' && out[0] != '\'')) ? out : "\\&" + out;
}

std::string Capitalized(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

std::string Page() {
    std::string page =
        ".TH QUORVANE\\-SERVER.XML 5 \"\" \"quorvane " QUORVANE_VERSION
        "\" \"File formats\"\n"
        ".SH NAME\n"
        "quorvane\\-server.xml \\- settings file of the Quorvane voice\\-conferencing server\n"
        ".SH SYNOPSIS\n"
        ".I /var/lib/quorvane/QuorvaneService.xml\n"
        ".SH DESCRIPTION\n"
        "The settings of\n"
        ".BR quorvane\\-server (8)\n"
        "are the XML file QuorvaneService.xml in its data directory: /var/lib/quorvane for the package's "
        "service, the directory of \\fB\\-\\-data\\-dir\\fR, or the program's own directory for a program "
        "outside /usr. The first start writes it with every setting below at its first value; the "
        "administrator's \\fBsaveconfig\\fR writes it again. Each setting is an element under \\fB<hosting>\\fR "
        "in the root element \\fB<quorvane>\\fR, in any layout:\n"
        ".PP\n.nf\n.ft CR\n"
        "<?xml version=\"1.0\" encoding=\"utf\\-8\"?>\n"
        "<quorvane version=\"3.3\">\n"
        "  <hosting>\n";
    for (const SettingRow& row : SettingsTable::ROWS) {
        if (row.context == SettingRow::RETIRED || row.type == SettingRow::CHANNELS) continue;
        page +=
            Roff("    <" + std::string(row.element) + ">" + SettingsTable::Initial(row) + "</" + row.element + ">") +
            "\n";
    }
    page +=
        "    <static\\-channels>\n"
        "      <channel>\n"
        "        <name>Lobby</name>\n"
        "        <password></password>\n"
        "        <topic>Say hello</topic>\n"
        "        <diskquota>0</diskquota>\n"
        "      </channel>\n"
        "    </static\\-channels>\n"
        "  </hosting>\n"
        "</quorvane>\n"
        ".ft\n.fi\n.PP\n"
        "Values are read strictly, at a start and at a reload alike: a number must be a whole number within "
        "its range, a boolean \\fBtrue\\fR or \\fBfalse\\fR in any letter case. Anything else stops the start "
        "with exit status 2 (a reload then changes nothing), and the message names the file, the line, the "
        "element and its value. A file that is not well\\-formed XML is refused with the line where the fault "
        "begins. An element the server does not know is reported with the setting it most likely meant, "
        "stays in the file and has no effect; of two elements of one name only the first counts.\n"
        ".PP\n"
        "\\fBquorvane\\-server \\-\\-check\\fR [\\fIFILE\\fR] checks a file as a start would, without starting "
        "anything; the packaged service runs it before each start and each reload. A reload "
        "(\\fBsystemctl reload quorvane\\-server\\fR) applies the settings marked so below and names the "
        "others, which the next start takes.\n"
        ".SH SETTINGS\n";
    for (const SettingRow& row : SettingsTable::ROWS) {
        if (row.context == SettingRow::RETIRED) continue;
        page += ".TP\n.B " + Roff(row.element) + "\n" + Roff(Capitalized(row.meaning)) + ".\n" +
                Roff(Capitalized(SettingsTable::Facts(row))) + ".\n";
    }
    page +=
        ".SH STATIC CHANNELS\n"
        "\\fB<static\\-channels>\\fR holds \\fB<channel>\\fR elements, each with \\fB<name>\\fR, "
        "\\fB<password>\\fR, \\fB<topic>\\fR and \\fB<diskquota>\\fR (bytes, a number from 0 on), and the "
        "channels below it nested inside. These channels exist from the start and stay when their last user "
        "leaves. A \\fB<channel>\\fR without \\fB<name>\\fR is left out with the channels inside it. One that "
        "cannot be made (a name that is empty or holds \"/\", a name taken twice, the channel limit "
        "\\fBmax\\-channels\\fR) is reported and skipped with the channels inside it, and stays in the file.\n"
        ".SH IGNORED SETTINGS\n"
        "Older files may hold these; they are known, never checked, and have no effect:\n";
    std::string retired;
    for (const SettingRow& row : SettingsTable::ROWS)
        if (row.context == SettingRow::RETIRED)
            retired += (retired.empty() ? "" : ",\n") + ("\\fB" + Roff(row.element) + "\\fR");
    page += retired +
            ".\n"
            ".SH FILES\n"
            ".TP\n"
            ".I /var/lib/quorvane/QuorvaneService.xml\n"
            "The package's settings, 0600, owned by the service's user quorvane.\n"
            ".SH SEE ALSO\n"
            ".BR quorvane\\-server (8),\n"
            ".BR quorvane\\-cli (1)\n";
    return page;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    const std::string page = Page();
    FILE* file = std::fopen(argv[1], "w");
    if (file == nullptr || std::fwrite(page.data(), 1, page.size(), file) != page.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "could not write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
