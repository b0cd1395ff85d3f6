// The settings file reader: every getter and the static channel tree of any document.
#include "FuzzXml.h"
#include "settings/QuorvaneSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quorvane::QuorvaneSettings settings;
    if (!fuzzing::LoadBytes(settings, data, size)) return 0;
    settings.GetServerName();
    settings.GetServerPassword();
    settings.GetRootTopic();
    settings.GetRootDiskQuota();
    settings.GetMotd();
    settings.GetHostPort();
    settings.GetSoundPort();
    settings.GetBindIP();
    settings.GetMaxUsers();
    settings.GetAllowChannelCreation();
    settings.GetAllowOperators();
    settings.GetServerLogging();
    settings.GetAdminEnabled();
    settings.GetFilesRoot();
    settings.GetChannelDiskQuota();
    settings.GetMaxConnectionsPerAddress();
    settings.GetPasswordLockout();
    settings.GetLoginTimeout();
    settings.GetMaxChannels();
    quorvane::StaticChannelTable table;
    if (settings.ReadStaticChannels(table)) settings.WriteStaticChannels(table);
    return 0;
}
