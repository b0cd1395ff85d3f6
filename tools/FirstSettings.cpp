// quorvane-first-settings: writes the settings file that the server writes on its first
// start, with some of its values changed. The Debian package ships one made so (the
// event log on); ./run.sh makes one for the quick start (file sharing on). Not installed.
//
// Usage: quorvane-first-settings FILE [NAME=VALUE]...
// NAME is one of the settings the server reads, VALUE one it takes. Exit status: 0
// written; 1 FILE exists or could not be written; 2 wrong arguments.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "settings/QuorvaneSettings.h"
#include "settings/SettingsCheck.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [NAME=VALUE]...\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    struct stat info;
    if (lstat(path.c_str(), &info) == 0) {
        std::fprintf(stderr, "%s exists; nothing written\n", path.c_str());
        return 1;
    }
    quorvane::QuorvaneSettings settings;
    if (!settings.CreateXMLFile(path) || !settings.SetDefaultSettings()) {
        std::fprintf(stderr, "could not write %s\n", path.c_str());
        return 1;
    }
    settings.BeginBatch();
    TiXmlElement* hosting = settings.GetHostingElement();
    for (int i = 2; i < argc; ++i) {
        const std::string assignment = argv[i];
        const size_t equals = assignment.find('=');
        const std::string name = assignment.substr(0, equals);
        // Only the values the server knows: a misspelt one would be ignored at start.
        if (equals == std::string::npos || hosting->FirstChildElement(name.c_str()) == nullptr) {
            std::fprintf(stderr, "\"%s\" is not NAME=VALUE with NAME a setting\n", assignment.c_str());
            unlink(path.c_str());
            return 2;
        }
        settings.PutString(hosting, name, assignment.substr(equals + 1));
    }
    // A value the server would refuse would stop its first start.
    quorvane::SettingValues values;
    for (const quorvane::SettingsCheck::Problem& problem : quorvane::SettingsCheck::Read(settings, values)) {
        if (problem.unknown) continue;
        std::fprintf(stderr, "%s\n", problem.Text().c_str());
        unlink(path.c_str());
        return 2;
    }
    if (!settings.EndBatch()) {
        std::fprintf(stderr, "could not write %s\n", path.c_str());
        unlink(path.c_str());
        return 1;
    }
    return 0;
}
