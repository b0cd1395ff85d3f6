#include "StopSignalThread.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "ServiceHost.h"

StopSignalThread::StopSignalThread(ServiceHost& service, Mode mode)
    : service_(service), console_(mode == CONSOLE), reload_(mode == MANAGED), finished_(false), started_(false) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, console_ ? SIGQUIT : SIGHUP);
}

StopSignalThread::~StopSignalThread() {
    if (started_) {
        finished_ = true;
        // Wakes its sigwait: the signal is blocked on that thread, so nothing is terminated.
        pthread_kill(thread_, SIGTERM);  // NOLINT(bugprone-bad-signal-to-kill-thread)
        pthread_join(thread_, nullptr);
    }
}

bool StopSignalThread::Start(std::string& error) {
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &signals_, &previous) != 0) {
        error = std::string("Unable to block the stop signals for ") + service_.GetName() + ".";
        return false;
    }
    const int result = pthread_create(&thread_, nullptr, Run, this);
    if (result != 0) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        error = std::string("Unable to start the stop-signal thread for ") + service_.GetName() + ": " +
                std::generic_category().message(result);
        return false;
    }
    started_ = true;
    return true;
}

void* StopSignalThread::Run(void* arg) {
    StopSignalThread* self = static_cast<StopSignalThread*>(arg);
    for (;;) {
        int signo = 0;
        if (sigwait(&self->signals_, &signo) != 0) {
            continue;
        }
        // The destructor wakes this thread with a signal of the set.
        if (self->finished_.load()) {
            return nullptr;
        }
        if (signo == SIGHUP && self->reload_) {
            self->service_.Reload();
            continue;
        }
        if (self->console_) {
            std::printf("Stopping %s.\n", self->service_.GetName());
            std::fflush(stdout);
        }
        self->service_.Stop();
    }
}
