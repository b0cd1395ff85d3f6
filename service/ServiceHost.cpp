#include "ServiceHost.h"

#include <syslog.h>

#include <cstdio>

#include "HostLog.h"
#include "ServiceCommandLine.h"
#include "ServiceManager.h"
#include "StopSignalThread.h"
#include "UnitActions.h"

namespace {

const int START_WAIT_HINT_MS = 3000;

}  // namespace

ServiceHost::ServiceHost(const char* name) : name_(name), syslogName_(name), status_(name) {}

ServiceHost::~ServiceHost() = default;

int ServiceHost::Main(int argc, char** argv) {
    HostLog::SetSyslogName(syslogName_);
    const std::string program = ProgramName(argc, argv);
    std::string account, password;
    const ServiceCommandLine line = ReadCommandLine(argc, argv, account, password);
    if (!line.error.empty()) {
        std::fprintf(stderr, "%s: %s\n\n", program.c_str(), line.error.c_str());
        std::fprintf(stderr, ServiceCommandLine::USAGE, program.c_str());
        std::fputs(UsageNotes(), stderr);
        return EXIT_NOT_STARTED;
    }
    dataDirectory_ = line.dataDirectory;
    switch (line.immediate) {
    case 'c': return Check(line.checkFile);
    case 'h':
        std::printf(ServiceCommandLine::USAGE, program.c_str());
        std::fputs(UsageNotes(), stdout);
        std::fflush(stdout);
        return EXIT_OK;
    case 'v':
        std::printf("%s %s\n", program.c_str(), QUORVANE_VERSION);
        std::fflush(stdout);
        return EXIT_OK;
    case 'd':
    case 'f': return RunInForeground(line.immediate == 'd');
    default: break;
    }
    UnitActions actions(name_, account, password, line.dataDirectory);
    switch (line.action) {
    case ServiceCommandLine::ACTION_INSTALL: return actions.Install();
    case ServiceCommandLine::ACTION_REMOVE: return actions.Uninstall();
    case ServiceCommandLine::ACTION_END: return actions.Stop();
    case ServiceCommandLine::ACTION_START: return actions.Start();
    case ServiceCommandLine::ACTION_NONE: break;
    }
    // From a shell the body runs in the foreground, quietly.
    return ServiceManager::StartedByManager() ? RunManaged() : RunInForeground(false);
}

int ServiceHost::RunManaged() {
    const std::string unit = ServiceManager(name_).GetUnitName();
    syslogName_ = unit.substr(0, unit.rfind(".service"));
    HostLog::SetSyslogName(syslogName_);
    status_.SetReported(true);
    StopSignalThread signals(*this, StopSignalThread::MANAGED);
    std::string error;
    if (!signals.Start(error)) {
        HostLog::SystemLog(LOG_ERR, error);
        return EXIT_NOT_STARTED;
    }
    int result = EXIT_NOT_STARTED;
    if (status_.Set(ServiceStatus::STARTING, START_WAIT_HINT_MS)) result = Run() ? EXIT_OK : EXIT_NOT_STARTED;
    status_.Set(ServiceStatus::STOPPED, START_WAIT_HINT_MS, result);
    return result;
}

int ServiceHost::RunInForeground(bool console) {
    StopSignalThread signals(*this, console ? StopSignalThread::CONSOLE : StopSignalThread::FACELESS);
    std::string error;
    if (!signals.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return EXIT_NOT_STARTED;
    }
    // Printed once a stop signal can no longer end the process unhandled.
    if (console) {
        std::printf("Debugging %s.\n", name_);
        std::fflush(stdout);
    }
    return Run() ? EXIT_OK : EXIT_NOT_STARTED;
}
