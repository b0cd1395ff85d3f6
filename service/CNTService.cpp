#include "CNTService.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>

// Each line ends in CR LF: the text is printed exactly as stored, on every platform.
const char* const CNTService::USAGE_TEXT =
    "The following parameters will be detected:\r\n"
    "\r\n"
    "\t -i \tinstall the service (calls\r\n"
    "\t\t\"InstallService()\" - see below)\r\n"
    "\r\n"
    "\t -l \t<account>\r\n"
    "\t\t<account> is the name of a user,\r\n"
    "\t\tunder which the service shall run.\r\n"
    "\t\tThis option is useful with -i only.\r\n"
    "\t\t<account> needs to have the advanced\r\n"
    "\t\tuser-right Log on as a service\r\n"
    "\t\t(see User-Manager)\r\n"
    "\t\t<account> should have the following\r\n"
    "\t\tformat: \"<Domain>\\<user>\"\r\n"
    "\t\t\"Corvedom\\qxa\" for instance.\r\n"
    "\t\tThe domain \".\" is predefined as the\r\n"
    "\t\tlocal machine. So one might use\r\n"
    "\t\t\".\\qxa\" too.\r\n"
    "\r\n"
    "\t -p \t<password>\r\n"
    "\t\tThe password of the user, under which\r\n"
    "\t\tthe service shall run. Only useful\r\n"
    "\t\twith -i and -l together.\r\n"
    "\r\n"
    "\t -u \tuninstall the service (calls\r\n"
    "\t\t\"RemoveService()\" - see below)\r\n"
    "\r\n"
    "\t -d \tdebug the service (run as console\r\n"
    "\t\tprocess; calls \"DebugService()\"\r\n"
    "\t\tsee below)\r\n"
    "\r\n"
    "\t -e \tend the service (if it is running)\r\n"
    "\r\n"
    "\t -s \tstart the service (if it is not running)\r\n"
    "\t\t(Note that *you* normally cannot start\r\n"
    "\t\tan NT-service from the command-line.\r\n"
    "\t\tThe SCM can.)\r\n"
    "\r\n";

namespace {

enum Action { ACTION_NONE, ACTION_INSTALL, ACTION_REMOVE, ACTION_END, ACTION_START };

// The value of -l or -p: the rest of the argument, else the next argument (which is
// then consumed). With nothing left the value stays as it was.
void TakeOptionValue(int argc, char** argv, int& index, std::string& value) {
    const char* rest = argv[index] + 2;
    if (*rest != '\0') {
        value = rest;
    } else if (index + 1 < argc && argv[index + 1] != nullptr) {
        value = argv[++index];
    }
}

// Shared between DebugService and its signal-waiting thread.
struct SignalWaiterState {
    CNTService* service;
    sigset_t signals;
    bool faceless;
    std::atomic<bool> finished;
};

// Runs on the wrapper's own thread, the only one that receives the stop signals
// (every thread blocks them), so StopService runs in an ordinary thread context.
void* WaitForStopSignals(void* arg) {
    SignalWaiterState* state = static_cast<SignalWaiterState*>(arg);
    for (;;) {
        int signo = 0;
        if (sigwait(&state->signals, &signo) != 0) {
            continue;
        }
        // DebugService wakes this thread with a signal of the set once the body ended.
        if (state->finished.load()) {
            return nullptr;
        }
        if (!state->faceless) {
            std::printf("Stopping %s.\n", state->service->GetDisplayName());
            std::fflush(stdout);
        }
        state->service->StopService();
    }
}

}  // namespace

CNTService::CNTService(const char* serviceName, const char* displayName)
    : serviceName_(serviceName),
      displayName_(displayName != nullptr ? displayName : serviceName),
      checkPoint_(0),
      debug_(false),
      currentState_(SERVICE_STOPPED),
      waitHintMs_(0),
      serviceExitCode_(0) {}

CNTService::~CNTService() = default;

int CNTService::ProcessCommandLine(int argc, char** argv) {
    Action action = ACTION_NONE;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || (arg[0] != '-' && arg[0] != '/')) {
            continue;
        }
        switch (arg[1]) {
        case '?':
        case 'h':
            std::fputs(USAGE_TEXT, stdout);
            std::fflush(stdout);
            return EXIT_FAILED_ACTION;
        case 'd':
            debug_ = true;
            return DebugService(argc, argv, false);
        case 'f':
            debug_ = true;
            return DebugService(argc, argv, true);
        case 'i':
            action = ACTION_INSTALL;
            break;
        case 'u':
            action = ACTION_REMOVE;
            break;
        case 'e':
            action = ACTION_END;
            break;
        case 's':
            action = ACTION_START;
            break;
        case 'l':
            TakeOptionValue(argc, argv, i, accountName_);
            break;
        case 'p':
            TakeOptionValue(argc, argv, i, accountPassword_);
            break;
        default:
            break;
        }
    }
    switch (action) {
    case ACTION_INSTALL:
        return InstallService();
    case ACTION_REMOVE:
        return RemoveService();
    case ACTION_END:
        return EndRunningService();
    case ACTION_START:
        return StartInstalledService();
    case ACTION_NONE:
        break;
    }
    // No service manager to hand the process to: run in the foreground, quietly.
    debug_ = true;
    return DebugService(argc, argv, true);
}

int CNTService::ReportUnsupported(const char* action) {
    std::fprintf(stderr, "%s %s is not supported on this platform.\n", action, displayName_);
    return EXIT_FAILED_ACTION;
}

int CNTService::InstallService() {
    return ReportUnsupported("Installing");
}

int CNTService::RemoveService() {
    return ReportUnsupported("Removing");
}

int CNTService::EndRunningService() {
    return ReportUnsupported("Ending");
}

int CNTService::StartInstalledService() {
    return ReportUnsupported("Starting");
}

int CNTService::DebugService(int argc, char** argv, bool faceless) {
    SignalWaiterState state;
    state.service = this;
    state.faceless = faceless;
    state.finished = false;
    sigemptyset(&state.signals);
    sigaddset(&state.signals, SIGINT);
    sigaddset(&state.signals, SIGTERM);
    sigaddset(&state.signals, faceless ? SIGHUP : SIGQUIT);

    // Blocked before any other thread exists, so that every thread the body starts
    // inherits the mask and only the waiter receives these signals.
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &state.signals, &previous) != 0) {
        std::fprintf(stderr, "Unable to block the stop signals for %s.\n", displayName_);
        return EXIT_START_FAILED;
    }
    pthread_t waiter;
    const int error = pthread_create(&waiter, nullptr, WaitForStopSignals, &state);
    if (error != 0) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        std::fprintf(stderr, "Unable to start the stop-signal thread for %s: %s\n", displayName_,
                     std::strerror(error));
        return EXIT_START_FAILED;
    }

    // Printed once a stop signal can no longer end the process unhandled.
    if (!faceless) {
        std::printf("Debugging %s.\n", displayName_);
        std::fflush(stdout);
    }
    const bool started = RunService(argc, argv);

    // The signals stay blocked: one arriving from now on is simply never delivered.
    state.finished = true;
    pthread_kill(waiter, SIGTERM);
    pthread_join(waiter, nullptr);
    return started ? EXIT_STOPPED : EXIT_START_FAILED;
}

bool CNTService::UpdateServiceStatus(ServiceState state, int waitHintMs, int serviceExitCode) {
    if (debug_) {
        return true;
    }
    // No service manager on this platform: the status is only kept.
    currentState_ = state;
    waitHintMs_ = waitHintMs;
    serviceExitCode_ = serviceExitCode;
    checkPoint_ = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : checkPoint_ + 1;
    return true;
}
