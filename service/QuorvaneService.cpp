#include "QuorvaneService.h"

#include <limits.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>

#include <ace/ACE.h>
#include <ace/Init_ACE.h>
#include <ace/Dev_Poll_Reactor.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_arpa_inet.h>
#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>
#include <ace/Thread_Manager.h>

#include "ServiceStorage.h"
#include "listeners/EventLog.h"
#include "listeners/Persistence.h"
#include "listeners/ServerListener.h"
#include "network/CpuPlacement.h"
#include "network/ReactorThread.h"
#include "network/ThreadPrecedence.h"
#include "server/ServerNode.h"
#include "settings/QuorvaneSettings.h"

using quorvane::ApplyStaticChannels;
using quorvane::EventLog;
using quorvane::LoadSharedFiles;
using quorvane::QuorvaneSettings;
using quorvane::StaticChannelTable;
using quorvane::server::ServerListener;
using quorvane::server::ServerNode;

const char* const CQuorvaneService::SETTINGS_FILE_NAME = "QuorvaneService.xml";
const char* const CQuorvaneService::LOG_FILE_NAME = "QuorvaneService.log";

namespace {

const int DEFAULT_TCP_PORT = 10300;
const int DEFAULT_UDP_PORT = 10301;
const int DEFAULT_MAX_USERS = 32767;
const int START_WAIT_HINT_MS = 3000;
const int STOP_WAIT_HINT_MS = 5000;
// Guards the epoll reactor's handler table against an unlimited hard limit.
const rlim_t MAX_REACTOR_HANDLES = 1 << 20;

// Every value the host takes from the settings file, read once at start-up.
struct HostSettings {
    std::string bindIp;
    ACE_UINT32 address = 0;  // host byte order, 0 = all local addresses
    int tcpPort = DEFAULT_TCP_PORT;
    int udpPort = DEFAULT_UDP_PORT;
    bool serverLogging = false;
    bool adminEnabled = false;
    std::string adminUsername;
    std::string adminPassword;
    std::string serverName;
    std::string serverPassword;
    std::string motd;
    bool allowChannelCreation = true;
    bool allowOperators = true;
    int maxUsers = DEFAULT_MAX_USERS;
    std::string filesRoot;
    int64_t rootDiskQuota = 0;
    int64_t channelDiskQuota = 0;
    int maxConnectionsPerAddress = ServerNode::DEFAULT_MAX_CONNECTIONS_PER_ADDRESS;
    int passwordLockout = ServerNode::DEFAULT_PASSWORD_LOCKOUT;
    int loginTimeout = ServerNode::DEFAULT_LOGIN_TIMEOUT_SECONDS;
    int maxChannels = ServerNode::DEFAULT_MAX_CHANNELS;
    StaticChannelTable staticChannels;
};

void Log(ACE_Log_Priority priority, const char* format, const std::string& text) {
    ACE_LOG_MSG->log(priority, format, text.c_str());
}

void LogError(const std::string& text) {
    Log(LM_ERROR, "%s\n", text);
}

// Once the server runs the log has no sink but the log file: a failed save must still
// reach the administrator, on standard error and in the system log.
void ReportAfterStart(const std::string& text) {
    fprintf(stderr, "%s\n", text.c_str());
    syslog(LOG_ERR, "%s", text.c_str());
}

// One event-loop thread: its reactor, the CPUs the loops are given, and the event it
// signals once it has registered as the loop's thread.
struct LoopThread {
    LoopThread(ACE_Reactor* loopReactor, bool voiceLoop, const CpuPlacement& cpus)
        : reactor(loopReactor), voice(voiceLoop), placement(cpus), registered(0) {}
    ACE_Reactor* reactor;
    bool voice;
    const CpuPlacement& placement;
    ACE_Manual_Event registered;
};

// The voice loop takes precedence and a CPU of its own where there are several; the main
// loop keeps off that CPU. What each got is told by ThreadPrecedence::Describe.
void PlaceLoopThread(const LoopThread& loop) {
    if (loop.voice) {
        ThreadPrecedence::Prefer();
        ThreadPrecedence::PlaceVoiceLoop(loop.placement);
    } else {
        ThreadPrecedence::PlaceMainLoop(loop.placement);
    }
}

// The event-loop threads' body.
ACE_THR_FUNC_RETURN RunReactorLoop(void* arg) {
    LoopThread* loop = static_cast<LoopThread*>(arg);
    PlaceLoopThread(*loop);
    ReactorThread::RunLoop(loop->reactor, &loop->registered);
    return 0;
}

// Once both loops run: which precedence and CPUs the voice thread got, for the
// administrator (the system log; the journal under systemd).
void ReportLoopPlacement() {
    syslog(LOG_INFO, "%s", ThreadPrecedence::Describe().c_str());
}

// Raises the open-files soft limit to the hard limit, so that the number of clients
// is bounded by the system rather than by a default; returns the limit in force.
size_t RaiseOpenFilesLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return static_cast<size_t>(ACE::max_handles());
    }
    if (limit.rlim_cur != limit.rlim_max) {
        struct rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    const rlim_t handles = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > MAX_REACTOR_HANDLES
                               ? MAX_REACTOR_HANDLES
                               : limit.rlim_cur;
    return static_cast<size_t>(handles);
}

// Makes an epoll reactor for that many handles the process-wide reactor; ACE deletes
// it when it is finished. It restarts a wait that a signal interrupted: otherwise a
// SIGSTOP and SIGCONT (a debugger, Ctrl+Z, a paused container) ended the loop for good.
// Notifications (closes, and output passes and turns when a reactor has no output line)
// handled before the loop looks at its sockets again: a storm's thousands of them would
// otherwise hold up every client's read.
const int NOTIFICATIONS_PER_WAKE = 4;

void InstallMainReactor(size_t maxHandles) {
    ACE_Reactor* reactor = new ACE_Reactor(new ACE_Dev_Poll_Reactor(maxHandles, true), true);
    reactor->max_notify_iterations(NOTIFICATIONS_PER_WAKE);
    ACE_Reactor* previous = ACE_Reactor::instance(reactor, true);
    delete previous;
}

// The directory of the executable, without a trailing "/"; the current directory when
// the executable's path cannot be read.
std::string GetProgramDirectory() {
    char path[PATH_MAX + 1];
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length > 0) {
        const std::string exe(path, static_cast<size_t>(length));
        const size_t slash = exe.rfind('/');
        if (slash != std::string::npos) {
            return exe.substr(0, slash);
        }
    }
    if (getcwd(path, sizeof(path)) != nullptr) {
        return path;
    }
    return ".";
}

// Dotted IPv4 text to a host-order address. "255.255.255.255" reads as the parser's
// no-address value and is refused with the malformed texts.
bool ParseBindAddress(const std::string& text, ACE_UINT32& address) {
    const ACE_UINT32 networkOrder = ACE_OS::inet_addr(text.c_str());
    if (networkOrder == INADDR_NONE) {
        return false;
    }
    address = ACE_NTOHL(networkOrder);
    return true;
}

// The 32-bit setting getters answer -1 for a missing element.
int OrDefault(int value, int fallback) { return value == -1 ? fallback : value; }

// A present setting outside its range stops start-up rather than being put to some
// other use (a port of 65536 would listen on port 0's random choice, say).
bool InRange(QuorvaneSettings& settings, const char* name, int64_t value, int64_t low, int64_t high) {
    std::string text;
    if (!settings.GetString(settings.GetHostingElement(), name, text) || (value >= low && value <= high)) return true;
    LogError("Quorvane service found an invalid setting in " + settings.GetFileName() + ": " + name + " is \"" + text +
             "\"; it must be a number from " + std::to_string(low) + " to " + std::to_string(high) + ".");
    return false;
}

bool SettingsInRange(QuorvaneSettings& settings, const HostSettings& host) {
    const int64_t MAX = INT64_MAX;
    bool valid = InRange(settings, "hostport", host.tcpPort, 1, 65535) &&
                 InRange(settings, "soundport", host.udpPort, 1, 65535) &&
                 InRange(settings, "max-users", host.maxUsers, 0, INT32_MAX) &&
                 InRange(settings, "max-connections-per-address", host.maxConnectionsPerAddress, 0, INT32_MAX) &&
                 InRange(settings, "password-lockout", host.passwordLockout, 0, INT32_MAX) &&
                 InRange(settings, "login-timeout", host.loginTimeout, 0, INT32_MAX / 1000) &&
                 InRange(settings, "max-channels", host.maxChannels, 0, INT32_MAX) &&
                 InRange(settings, "root-diskquota", host.rootDiskQuota, 0, MAX) &&
                 InRange(settings, "channel-diskquota", host.channelDiskQuota, 0, MAX);
    for (StaticChannelTable::const_iterator it = host.staticChannels.begin(); valid && it != host.staticChannels.end();
         ++it) {
        if (it->second.diskquota >= 0) continue;
        LogError("Quorvane service found an invalid setting in " + settings.GetFileName() +
                 ": the diskquota of a static channel is " + std::to_string(it->second.diskquota) +
                 "; it must not be negative.");
        valid = false;
    }
    return valid;
}

// False (logged) when the bind address or a value is invalid.
bool ReadHostSettings(QuorvaneSettings& settings, HostSettings& host) {
    host.bindIp = settings.GetBindIP();
    if (!host.bindIp.empty() && !ParseBindAddress(host.bindIp, host.address)) {
        LogError("This specified IP-address to bind to is invalid.");
        return false;
    }
    host.tcpPort = OrDefault(settings.GetHostPort(), DEFAULT_TCP_PORT);
    host.udpPort = OrDefault(settings.GetSoundPort(), DEFAULT_UDP_PORT);
    host.serverLogging = settings.GetServerLogging();
    host.adminEnabled = settings.GetAdminEnabled();
    host.adminUsername = settings.GetAdminUsername();
    host.adminPassword = settings.GetAdminPassword();
    host.serverName = settings.GetServerName();
    host.serverPassword = settings.GetServerPassword();
    host.motd = settings.GetMotd();
    host.allowChannelCreation = settings.GetAllowChannelCreation();
    host.allowOperators = settings.GetAllowOperators();
    host.maxUsers = OrDefault(settings.GetMaxUsers(), DEFAULT_MAX_USERS);
    host.filesRoot = settings.GetFilesRoot();
    host.rootDiskQuota = settings.GetRootDiskQuota();
    host.channelDiskQuota = settings.GetChannelDiskQuota();
    host.maxConnectionsPerAddress = settings.GetMaxConnectionsPerAddress();
    host.passwordLockout = settings.GetPasswordLockout();
    host.loginTimeout = settings.GetLoginTimeout();
    host.maxChannels = settings.GetMaxChannels();
    host.staticChannels.clear();
    settings.ReadStaticChannels(host.staticChannels);
    return SettingsInRange(settings, host);
}

void ApplySettings(ServerNode& node, const HostSettings& host) {
    if (host.adminEnabled) {
        node.Admin().SetAdminAccount(host.adminUsername, host.adminPassword);
    } else {
        node.Admin().SetAdminAccount("", "");
    }
    node.Properties().SetServerName(host.serverName);
    node.Properties().SetServerPassword(host.serverPassword);
    node.Channels().SetRootDiskQuota(host.rootDiskQuota);
    node.Properties().SetMotd(host.motd);
    node.Properties().SetAllowChannelCreation(host.allowChannelCreation);
    node.Properties().SetAllowOperators(host.allowOperators);
    node.Properties().SetMaxUsers(host.maxUsers);
    node.Properties().SetChannelDiskQuota(host.channelDiskQuota);
    node.Limits().SetMaxConnectionsPerAddress(host.maxConnectionsPerAddress);
    node.Limits().SetPasswordLockout(host.passwordLockout);
    node.Limits().SetLoginTimeout(host.loginTimeout);
    node.Channels().SetMaxChannels(host.maxChannels);
    if (!host.filesRoot.empty() && !node.Files().SetFilesRoot(host.filesRoot)) {
        LogError("File sharing failed to initialize properly.");
    }
}

std::string FormatLaunchFailure(const HostSettings& host) {
    char text[512];
    if (host.bindIp.empty()) {
        std::snprintf(text, sizeof(text),
                      "Unable to launch server using TCP port %d UDP port %d.\r\n"
                      "Make sure the ports are not currently in use.",
                      host.tcpPort, host.udpPort);
        return text;
    }
    // The bind address may be long: only the fixed part goes through snprintf.
    std::snprintf(text, sizeof(text),
                  " TCP port %d UDP port %d.\r\nMake sure the ports are not currently in use.",
                  host.tcpPort, host.udpPort);
    return "Unable to launch server using IP-address " + host.bindIp + text;
}

}  // namespace

CQuorvaneService::CQuorvaneService(const char* serviceName)
    : CNTService(serviceName, serviceName), stopEvent_(0) {}

void CQuorvaneService::StopService() {
    UpdateServiceStatus(SERVICE_STOP_PENDING, STOP_WAIT_HINT_MS);
    stopEvent_.signal();
}

void CQuorvaneService::WaitForStop() {
    while (stopEvent_.wait() != 0) {
    }
}

bool CQuorvaneService::RunService(int /*argc*/, char** /*argv*/) {
    UpdateServiceStatus(SERVICE_START_PENDING, START_WAIT_HINT_MS);
    ACE::init();
    // Until the server runs, failures go to the system log and to standard error.
    ACE_LOG_MSG->open(GetServiceName(), ACE_Log_Msg::SYSLOG | ACE_Log_Msg::STDERR);

    InstallMainReactor(RaiseOpenFilesLimit());
    // A write past the file-size limit must fail, ending that upload, not the server.
    ::signal(SIGXFSZ, SIG_IGN);
    // Stop signals are blocked in every thread and taken by the signal thread, so the
    // voice loop need not mask them around each wait (two system calls per wake-up).
    ACE_Reactor* voiceReactor =
        new ACE_Reactor(new ACE_Select_Reactor(0, 0, ACE_DISABLE_NOTIFY_PIPE_DEFAULT, 0, false), true);
    voiceReactor->restart(true);  // as the main loop: an interrupted wait is waited again

    const bool started = Serve(voiceReactor);

    delete voiceReactor;
    ACE::fini();
    return started;
}

bool CQuorvaneService::Serve(ACE_Reactor* voiceReactor) {
    const std::string directory = GetProgramDirectory();
    if (chdir(directory.empty() ? "/" : directory.c_str()) != 0) {
        LogError("Quorvane service failed to enter its directory: " + directory + ".");
    }
    ServiceStorage storage(directory);
    if (!storage.LoadSettings()) {
        return false;
    }
    storage.LoadLists();
    QuorvaneSettings& settings = storage.Settings();
    HostSettings host;
    if (!ReadHostSettings(settings, host)) {
        return false;
    }

    // The event lines go to their own file; the host's messages stay on the system log
    // and standard error until the server runs.
    EventLog eventLog;
    if (host.serverLogging && !eventLog.Open(directory + "/" + LOG_FILE_NAME)) {
        LogError("Quorvane service failed to open the log file: " + directory + "/" + LOG_FILE_NAME + ".");
    }

    bool started = false;
    {
        ServerListener listener(settings, storage.Bans(), storage.Files(), &eventLog, ReportAfterStart);
        ServerNode node(ACE_Reactor::instance(), voiceReactor, &listener, false);
        ApplySettings(node, host);
        ApplyStaticChannels(node, host.staticChannels);
        host.staticChannels.clear();
        if (!node.Files().GetFilesRoot().empty()) {
            LoadSharedFiles(node, storage.Files());
            storage.TidyFilesRoot(node.Files().GetFilesRoot(), eventLog);
        }
        storage.AddStoredBans(node);
        if (node.StartServer(host.tcpPort, host.udpPort, host.address)) {
            started = RunStartedServer(node, voiceReactor);
        } else {
            LogError(node.GetStartError().empty() ? FormatLaunchFailure(host) : node.GetStartError());
        }
    }
    // The loop threads have ended: nothing touches the ban list any more.
    if (started) {
        storage.SaveBanList();
    }
    return started;
}

bool CQuorvaneService::RunStartedServer(ServerNode& node, ACE_Reactor* voiceReactor) {
    // From now on log output goes only to the log file, if there is one.
    ACE_LOG_MSG->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::SYSLOG);

    ACE_Reactor* mainReactor = ACE_Reactor::instance();
    ACE_Thread_Manager* threads = ACE_Thread_Manager::instance();
    const CpuPlacement placement = CpuPlacement::OfThisThread();
    LoopThread loops[] = {LoopThread(mainReactor, false, placement), LoopThread(voiceReactor, true, placement)};
    size_t spawned = 0;
    while (spawned < 2 && threads->spawn(RunReactorLoop, &loops[spawned]) != -1) {
        ++spawned;
    }
    // Until a loop's thread has registered, this thread would pass for it, and a stop
    // asked for during start-up would run here while that loop already dispatches.
    for (size_t i = 0; i < spawned; ++i) {
        loops[i].registered.wait();
    }
    const bool loopsRunning = spawned == 2;
    if (loopsRunning) {
        ReportLoopPlacement();
        Log(LM_TRACE, "%D %s\n", "Started Quorvane server.");
        UpdateServiceStatus(SERVICE_RUNNING, START_WAIT_HINT_MS);
        WaitForStop();
    } else {
        LogError("Unable to start the event-loop threads of the server.");
    }

    // Stopped while the loops still run: the node hands its work to the main loop.
    node.StopServer();
    Log(LM_TRACE, "%D %s\n", "Stopped Quorvane server.");
    mainReactor->end_reactor_event_loop();
    voiceReactor->end_reactor_event_loop();
    // The node is destroyed by the caller only after this, when no loop can reach it.
    threads->wait();
    return loopsRunning;
}
