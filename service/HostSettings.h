// Every value the host takes from the settings file: read and checked at start-up and
// again by a reload, and handed to the server node.
//
// Threads: plain data; ReadHostSettings runs on the host's thread at start-up and on
// the main loop's thread for a reload, each with a document of its own.
#ifndef QUORVANE_SERVICE_HOSTSETTINGS_H
#define QUORVANE_SERVICE_HOSTSETTINGS_H

#include <cstdint>
#include <string>

#include <ace/Basic_Types.h>

#include "server/ServerNode.h"
#include "settings/QuorvaneSettings.h"
#include "settings/StaticChannelRecord.h"

struct HostSettings {
    enum { DEFAULT_TCP_PORT = 10300, DEFAULT_UDP_PORT = 10301, DEFAULT_MAX_USERS = 32767 };

    std::string bindIp;
    BindAddress where;  // every address unless bind-ip names one
    int tcpPort = DEFAULT_TCP_PORT;
    int udpPort = DEFAULT_UDP_PORT;
    bool serverLogging = false;
    bool adminEnabled = false;
    std::string adminUsername;
    std::string adminPassword;
    std::string serverName;
    std::string serverPassword;
    std::string motd;
    std::string rootTopic;
    bool allowChannelCreation = true;
    bool allowOperators = true;
    int maxUsers = DEFAULT_MAX_USERS;
    std::string filesRoot;
    int64_t rootDiskQuota = 0;
    int64_t channelDiskQuota = 0;
    int maxConnectionsPerAddress = quorvane::server::ServerNode::DEFAULT_MAX_CONNECTIONS_PER_ADDRESS;
    int passwordLockout = quorvane::server::ServerNode::DEFAULT_PASSWORD_LOCKOUT;
    int loginTimeout = quorvane::server::ServerNode::DEFAULT_LOGIN_TIMEOUT_SECONDS;
    int maxChannels = quorvane::server::ServerNode::DEFAULT_MAX_CHANNELS;
    int commandRate = quorvane::server::FloodGuard::DEFAULT_COMMAND_RATE;
    int commandBurst = quorvane::server::FloodGuard::DEFAULT_COMMAND_BURST;
    int transferTimeout = quorvane::server::TransferTable::DEFAULT_TRANSFER_TIMEOUT_SECONDS;
    int maxFilesPerChannel = quorvane::server::FileStore::DEFAULT_MAX_FILES_PER_CHANNEL;
    int maxFiles = quorvane::server::FileStore::DEFAULT_MAX_FILES;
    int ipv6BanPrefix = quorvane::server::FloodGuard::DEFAULT_IPV6_PREFIX;
    int64_t maxOutputQueue = quorvane::server::OutputLimit::DEFAULT_LIMIT;
    bool trustLoopback = true;
    std::string metricsAddress;  // "HOST:PORT"; empty: no metrics
    quorvane::StaticChannelTable staticChannels;
};

// Reads every value; false when the bind address or a value is invalid, with the
// reason in error (the message an administrator reads) and the short form in reason
// (for the service's status line: "bind-ip invalid: ...").
bool ReadHostSettings(quorvane::QuorvaneSettings& settings, HostSettings& host, std::string& error,
                      std::string& reason);

// Hands every value to the node before it starts (the files root included; a root
// that is no directory is logged and leaves file sharing off).
void ApplySettings(quorvane::server::ServerNode& node, const HostSettings& host);

// The administrator account the node is given: empty unless enabled.
std::string EffectiveAdminName(const HostSettings& host);
std::string EffectiveAdminPassword(const HostSettings& host);

#endif
