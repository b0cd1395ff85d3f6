// Takes the signals that end or reload a run on a thread of its own for as long as it
// lives, so that the host's Stop and Reload run in an ordinary thread context: every
// thread blocks the signals (the mask is set before the body starts any), and only this
// one waits for them.
//
// Threads: constructed, started and destroyed on the main thread; the host's Stop and
// Reload are called on its own.
#ifndef QUORVANE_SERVICE_STOPSIGNALTHREAD_H
#define QUORVANE_SERVICE_STOPSIGNALTHREAD_H

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <string>

class ServiceHost;

class StopSignalThread {
public:
    // How a run takes its signals.
    enum Mode {
        CONSOLE,   // SIGINT, SIGQUIT and SIGTERM stop it, announced with "Stopping ..."
        FACELESS,  // SIGTERM, SIGHUP and SIGINT stop it quietly
        MANAGED,   // SIGTERM and SIGINT stop it quietly; SIGHUP reloads the settings
    };

    StopSignalThread(ServiceHost& service, Mode mode);
    // The signals stay blocked: one arriving from now on is never delivered.
    ~StopSignalThread();

    StopSignalThread(const StopSignalThread&) = delete;
    StopSignalThread& operator=(const StopSignalThread&) = delete;

    // Blocks the signals in the calling thread (and so in every thread it starts later)
    // and starts the waiting thread; false with the reason.
    bool Start(std::string& error);

private:
    static void* Run(void* arg);

    ServiceHost& service_;
    const bool console_;
    const bool reload_;
    sigset_t signals_;
    std::atomic<bool> finished_;
    bool started_;
    pthread_t thread_;
};

#endif
