#include "QuorvaneService.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <ace/ACE.h>
#include <ace/Dev_Poll_Reactor.h>
#include <ace/Init_ACE.h>
#include <ace/Log_Msg.h>
#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>
#include <ace/Thread_Manager.h>

#include "DataDirectory.h"
#include "HostLog.h"
#include "HostSettings.h"
#include "ServiceManager.h"
#include "ServiceStorage.h"
#include "ServiceTicker.h"
#include "SettingHooks.h"
#include "SettingsReload.h"
#include "StartCheck.h"
#include "StartReport.h"
#include "listeners/EventLog.h"
#include "listeners/Persistence.h"
#include "listeners/PersistenceListener.h"
#include "listeners/ServerListener.h"
#include "listeners/StorageWriter.h"
#include "network/CpuPlacement.h"
#include "network/Heartbeat.h"
#include "network/MetricsServer.h"
#include "network/ReactorThread.h"
#include "network/ThreadPrecedence.h"
#include "network/TlsContext.h"
#include "server/MetricsText.h"
#include "server/ServerNode.h"
#include "settings/QuorvaneSettings.h"

using quorvane::ApplyStaticChannels;
using quorvane::EventLog;
using quorvane::LoadSharedFiles;
using quorvane::QuorvaneSettings;
using quorvane::StaticChannelTable;
using quorvane::StorageWriter;
using quorvane::server::MetricsText;
using quorvane::server::PersistenceListener;
using quorvane::server::ServerListener;
using quorvane::server::ServerNode;

const char* const QuorvaneService::SETTINGS_FILE_NAME = "QuorvaneService.xml";
const char* const QuorvaneService::LOG_FILE_NAME = "QuorvaneService.log";

namespace {

const int START_WAIT_HINT_MS = 3000;
const int STOP_WAIT_HINT_MS = 5000;
// Guards the epoll reactor's handler table against an unlimited hard limit.
const rlim_t MAX_REACTOR_HANDLES = 1 << 20;

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
    const rlim_t handles =
        limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > MAX_REACTOR_HANDLES ? MAX_REACTOR_HANDLES : limit.rlim_cur;
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

std::string FormatLaunchFailure(const HostSettings& host) {
    char text[512];
    if (host.BindIp().empty()) {
        std::snprintf(text, sizeof(text),
                      "Unable to launch server using TCP port %d UDP port %d.\r\n"
                      "Make sure the ports are not currently in use.",
                      host.TcpPort(), host.UdpPort());
        return text;
    }
    // The bind address may be long: only the fixed part goes through snprintf.
    std::snprintf(text, sizeof(text), " TCP port %d UDP port %d.\r\nMake sure the ports are not currently in use.",
                  host.TcpPort(), host.UdpPort());
    return "Unable to launch server using IP-address " + host.BindIp() + text;
}

}  // namespace

QuorvaneService::QuorvaneService(const char* name) : ServiceHost(name), stopEvent_(0), reload_(nullptr) {}

const char* QuorvaneService::UsageNotes() const {
    return "\n"
           "Files: QuorvaneService.xml (the settings), BanList.xml, FilesList.xml and the\n"
           "event log QuorvaneService.log live in the data directory: the one of\n"
           "--data-dir; else $STATE_DIRECTORY when systemd sets it (/var/lib/quorvane for\n"
           "the package's service); else beside the program, unless the program lies under\n"
           "/usr, where nothing is written: the package's program run by hand then uses\n"
           "/var/lib/quorvane (as the user who owns it), any other needs --data-dir.\n"
           "\n"
           "Exit status: 0 after a clean stop, a successful -i, -u, -s or -e, --help, or a\n"
           "check that found the settings fit to start; 1 when -i, -u, -s or -e failed;\n"
           "2 when the server could not start, the check found the settings unfit, or the\n"
           "command line was wrong.\n";
}

int QuorvaneService::Check(const std::string& file) {
    std::string directory, refusal;
    const bool known = DataDirectory::Find(DataDirectoryOption(), false, directory, refusal);
    if (!known && (file.empty() || !DataDirectoryOption().empty())) {
        std::fprintf(stderr, "%s\n", refusal.c_str());
        return EXIT_NOT_STARTED;
    }
    ACE::init();
    const int status = StartCheck::Main(file.empty() ? directory + "/" + SETTINGS_FILE_NAME : file, file.empty(),
                                        known ? directory : "", std::getenv("MAINPID") == nullptr);
    ACE::fini();
    return status;
}

void QuorvaneService::Stop() {
    Status().Set(ServiceStatus::STOPPING, STOP_WAIT_HINT_MS);
    stopEvent_.signal();
}

void QuorvaneService::Reload() {
    bool running = false, asked = false;
    {
        // Only the hand-over under the lock: the reports may wait on the system log.
        std::lock_guard<std::mutex> guard(reloadLock_);
        running = reload_ != nullptr;
        asked = running && reload_->Request();
    }
    if (!running) {
        HostLog::Report(false, "Reload ignored: the server is not running.");
    } else if (!asked) {
        HostLog::Report(true, "Reload failed: the main loop could not be told.");
    }
}

void QuorvaneService::WaitForStop() {
    while (stopEvent_.wait() != 0) {
    }
}

bool QuorvaneService::Run() {
    Status().Set(ServiceStatus::STARTING, START_WAIT_HINT_MS);
    ACE::init();
    // Until the server runs, failures go to the system log and to standard error (under
    // systemd only to the system log: the journal would show each twice).
    HostLog::Open(GetSyslogName().c_str(), IsManaged());

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

bool QuorvaneService::Serve(ACE_Reactor* voiceReactor) {
    std::string noDirectory;
    if (!DataDirectory::Find(DataDirectoryOption(), true, dataDirectory_, noDirectory)) {
        HostLog::Error(noDirectory);
        Status().SetFailureReason("no data directory");
        return false;
    }
    const std::string& directory = dataDirectory_;
    if (chdir(directory.c_str()) != 0) {
        HostLog::Error("Quorvane service failed to enter its directory: " + directory + ".");
    }
    ServiceStorage storage(directory);
    std::string reason;
    if (!storage.LoadSettings(reason)) {
        Status().SetFailureReason(reason);
        return false;
    }
    storage.LoadLists();
    HostSettings host;
    HostSettings::Findings findings;
    const bool valid = HostSettings::Read(storage.Settings(), host, findings);
    for (const std::string& error : findings.errors) HostLog::Error(error);
    for (const std::string& unknown : findings.unknown) HostLog::Warning(unknown);
    if (!valid) {
        Status().SetFailureReason(findings.reason);
        return false;
    }
    // A relative files root lies in the data directory and is made there when missing,
    // so that sharing files needs no more than the setting.
    const std::string& filesRoot = host.values.Text("files-root");
    if (!filesRoot.empty() && filesRoot[0] != '/' && mkdir(filesRoot.c_str(), 0750) == 0) {
        HostLog::Info("Created the files root " + directory + "/" + filesRoot + ".");
    }

    // The event lines go to their own file; the host's messages stay on the system log
    // and standard error until the server runs.
    EventLog eventLog;
    const std::string logPath = directory + "/" + LOG_FILE_NAME;
    if (host.values.Flag("server-logging") && !eventLog.Open(logPath)) {
        HostLog::Error("Quorvane service failed to open the log file: " + logPath + ".");
    }

    // A save that failed goes to the event log and the system log.
    const auto reportFailure = [&eventLog](const std::string& text) {
        eventLog.Write(text);
        HostLog::Report(true, text);
    };
    // The files are written by a thread of their own, never on the event loop.
    StorageWriter writer(ACE_Reactor::instance(), reportFailure);
    storage.AttachTo(writer);
    if (!writer.Start()) {
        HostLog::Error("Quorvane service failed to start its storage writer: the files are written on the event loop.");
    }
    bool started = false;
    {
        PersistenceListener persistence(storage.Settings(), storage.Bans(), storage.Files(), reportFailure, &writer);
        ServerListener listener(&eventLog, &persistence);
        ServerNode node(ACE_Reactor::instance(), voiceReactor, &listener, false);
        SettingHooks::ApplyAll(node, host.values);
        if (host.tls) {
            node.SetTlsContext(host.tls);
            HostLog::Info("The TLS port's certificate: " + host.tls->Describe() + ".");
        }
        // The table stays: a reload compares the file's tree with it.
        const quorvane::SkippedStaticChannels skipped = ApplyStaticChannels(node, host.values.Channels());
        storage.ReportSkippedChannels(skipped, eventLog);
        persistence.KeepStaticChannels(skipped);
        if (!node.Files().GetFilesRoot().empty()) {
            LoadSharedFiles(node, storage.Files());
            storage.TidyFilesRoot(node.Files().GetFilesRoot(), eventLog);
            // Uploads into a root that cannot be written would each fail, silently.
            const std::string refusal = CheckFilesRoot(node.Files().GetFilesRoot());
            if (!refusal.empty()) {
                HostLog::Error(refusal);
                eventLog.Write(refusal);
            }
        }
        storage.AddStoredBans(node);
        // The metrics and the health are read without the loops, on the HTTP server's own
        // thread: the health from the heartbeat the main loop stamps. An address that cannot
        // be had stops the start as an invalid setting does: a server whose "down" alert
        // could never fire must not look as if it ran.
        Heartbeat heartbeat(ACE_Reactor::instance());
        const int tcpPort = host.TcpPort(), udpPort = host.UdpPort();
        MetricsServer metrics(
            [&node, &writer] {
                return MetricsText::Render(node.Statistics(), node.Voice(), node.IsStarted(), writer.FailedSaves());
            },
            [&node, &heartbeat, tcpPort, udpPort](std::string& line) {
                return HealthStatus(node.IsStarted(), heartbeat.SilenceMs(), tcpPort, udpPort,
                                    node.Users().GetUsersOnline(), line);
            });
        std::string metricsError;
        const std::string& metricsAddress = host.values.Text("metrics-address");
        if (!metricsAddress.empty() && !metrics.Start(metricsAddress, metricsError)) {
            HostLog::Error("Quorvane service cannot serve its metrics: " + metricsError + ".");
            Status().SetFailureReason("metrics " + metricsError);
        } else if (node.StartServer(host.TcpPort(), host.UdpPort(), host.where, host.TlsPort())) {
            started =
                RunStartedServer(node, voiceReactor, host, storage.Settings(), eventLog, logPath, metrics, heartbeat);
        } else if (!node.GetStartError().empty()) {
            HostLog::Error(node.GetStartError());
            Status().SetFailureReason(node.GetStartError());
        } else {
            HostLog::Error(FormatLaunchFailure(host));
            Status().SetFailureReason(DescribeBindFailure(host));
        }
        // No loop runs any more: the live ban table is written once more (each ban and unban
        // was already handed to the writer), and what is pending is written, and answered,
        // before the node goes.
        if (started) persistence.WriteBans(node);
        writer.Stop();
    }
    return started;
}

bool QuorvaneService::RunStartedServer(ServerNode& node, ACE_Reactor* voiceReactor, const HostSettings& host,
                                       ReloadableSettings& settings, EventLog& eventLog, const std::string& logPath,
                                       MetricsServer& metrics, Heartbeat& heartbeat) {
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
    // Both live until the loops have ended: the loop may still run their handlers.
    std::unique_ptr<ServiceTicker> ticker;
    std::unique_ptr<SettingsReload> reload;
    if (loopsRunning) {
        const std::string root = node.Files().GetFilesRoot();
        const std::string shownRoot = root.empty() || root[0] == '/' ? root : dataDirectory_ + "/" + root;
        HostLog::Info(StartLine(GetName(), host, shownRoot, ThreadPrecedence::Describe()));
        // From now on log output goes only to the log file, if there is one.
        HostLog::EndStartUp();
        ACE_LOG_MSG->log(LM_TRACE, "%D %s\n", "Started Quorvane server.");
        ticker.reset(new ServiceTicker(mainReactor, Status(), node, host.TcpPort(), host.UdpPort()));
        if (!ticker->Start()) {
            HostLog::Report(true, "Unable to schedule the status timer: the watchdog is not fed.");
        }
        if (!heartbeat.Start()) HostLog::Report(true, "Unable to schedule the heartbeat: /health answers 503.");
        ServiceTicker* status = ticker.get();
        reload.reset(new SettingsReload(
            mainReactor, SettingsReload::Target{node, eventLog, logPath, metrics}, settings, host,
            [this] { Status().Reloading(); },
            [this, status](const std::string& note) {
                status->SetNote(note);
                Status().Reloaded();
            }));
        {
            std::lock_guard<std::mutex> guard(reloadLock_);
            reload_ = reload.get();
        }
        Status().Set(ServiceStatus::RUNNING, START_WAIT_HINT_MS);
        WaitForStop();
        std::lock_guard<std::mutex> guard(reloadLock_);
        reload_ = nullptr;
    } else {
        HostLog::Error("Unable to start the event-loop threads of the server.");
        Status().SetFailureReason("the event loops could not be started");
    }

    // Stopped while the loops still run: the node hands its work to the main loop.
    node.StopServer();
    ACE_LOG_MSG->log(LM_TRACE, "%D %s\n", "Stopped Quorvane server.");
    mainReactor->end_reactor_event_loop();
    voiceReactor->end_reactor_event_loop();
    // The node is destroyed by the caller only after this, when no loop can reach it.
    threads->wait();
    return loopsRunning;
}
