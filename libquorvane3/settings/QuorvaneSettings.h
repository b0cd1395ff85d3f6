// The settings file: typed getters and setters for the elements under <hosting>, the
// default document, and the static channel tree. Every setter rewrites the file.
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
    static const char* const DEFAULT_DOCUMENT;

    bool CreateXMLFile(const std::string& path) override;
    TiXmlElement* GetRootElement() override;
    TiXmlElement* GetHostingElement();

    bool SetDefaultSettings();

    // Getters give the "missing element" value of each setting when it is absent;
    // the 32-bit integer getters give -1 then.
    std::string GetServerName();
    std::string GetServerPassword();
    std::string GetRootTopic();
    int64_t GetRootDiskQuota();
    std::string GetMotd();
    int GetHostPort();
    int GetSoundPort();
    std::string GetBindIP();
    int GetMaxUsers();
    bool GetAllowChannelCreation();
    bool GetAllowOperators();
    bool GetServerLogging();
    bool GetAdminEnabled();
    std::string GetAdminUsername();
    std::string GetAdminPassword();
    std::string GetFilesRoot();
    int64_t GetChannelDiskQuota();
    // Flood limits: the default given when the element is missing; 0 means no limit.
    int GetMaxConnectionsPerAddress();
    int GetPasswordLockout();
    int GetLoginTimeout();
    int GetMaxChannels();
    // Commands per second and at once per connection (0 rate: no throttle), seconds an
    // idle file transfer is kept (0: no limit), the loopback channel-password exemption.
    int GetCommandRate();
    int GetCommandBurst();
    int GetTransferTimeout();
    // Shared files a channel and the whole server may hold; 0: no limit.
    int GetMaxFilesPerChannel();
    int GetMaxFiles();
    // The bits of an IPv6 address by which bans and the limits per address count a client.
    int GetIpv6BanPrefix();
    // Bytes of output every connection together may hold; 0: no bound.
    int64_t GetMaxOutputQueue();
    bool GetTrustLoopback();
    // "HOST:PORT" where the metrics are served over HTTP; empty: none.
    std::string GetMetricsAddress();

    bool SetServerName(const std::string& value);
    bool SetServerPassword(const std::string& value);
    bool SetMotd(const std::string& value);
    bool SetRootTopic(const std::string& value);
    bool SetAdminUsername(const std::string& value);
    bool SetAdminPassword(const std::string& value);
    bool SetFilesRoot(const std::string& value);
    bool SetRootDiskQuota(int64_t value);
    bool SetChannelDiskQuota(int64_t value);
    bool SetAdminEnabled(bool value);
    bool SetAllowOperators(bool value);
    bool SetAllowChannelCreation(bool value);

    bool ReadStaticChannels(StaticChannelTable& table);
    bool WriteStaticChannels(const StaticChannelTable& table);
};

}  // namespace quorvane

#endif
