// The program around a service body on Linux: it reads the command line, runs the body
// in the foreground (in a terminal with -d, quietly with -f or from a shell, or started
// by systemd with its state reported through ServiceStatus), turns stop signals into Stop
// (and, under systemd, SIGHUP into Reload), has the body check its settings (--check),
// and carries out the unit actions -i, -u, -s and -e (UnitActions).
//
// Threads: Main and Run on the process's main thread; Stop and Reload on the thread of
// StopSignalThread; Status from any thread.
#ifndef QUORVANE_SERVICE_SERVICEHOST_H
#define QUORVANE_SERVICE_SERVICEHOST_H

#include <string>

#include "ServiceStatus.h"

class ServiceHost {
public:
    // Process exit statuses, as Linux programs have them.
    enum {
        EXIT_OK = 0,             // a clean stop, an action done, the usage or version printed
        EXIT_ACTION_FAILED = 1,  // -i, -u, -s or -e failed
        EXIT_NOT_STARTED = 2,    // the body could not start, its settings would not let it (--check),
                                 // or the command line was wrong
    };

    // The name is not copied: it must outlive the object.
    explicit ServiceHost(const char* name);
    virtual ~ServiceHost();

    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // The body: returns when the service has stopped (true) or when it could not start
    // (false). Runs once per process.
    virtual bool Run() = 0;
    // Asks the body to end. Called on another thread than Run; must only signal.
    virtual void Stop() = 0;
    // Asks the body to read its settings again (SIGHUP under systemd). Called on the
    // signal thread; must only hand the work over.
    virtual void Reload() {}
    // Told after the options under --help: what the body adds (files, exit statuses).
    virtual const char* UsageNotes() const { return ""; }
    // --check [FILE]: checks the settings file (file empty: the body's own) without running
    // anything; the process exit status, EXIT_OK or EXIT_NOT_STARTED.
    virtual int Check(const std::string& file) = 0;

    // Checks the whole command line first: an unknown option, a stray argument or a
    // missing value prints the usage on standard error and returns EXIT_NOT_STARTED
    // without running anything. Then --help, -h, -?, --version, --check, -d and -f act at
    // once, else the last of -i -u -e -s runs, else the body runs in the foreground. The
    // result is the process exit status.
    int Main(int argc, char** argv);

    const char* GetName() const { return name_; }
    // The name the system log shows: the service's, or under systemd the unit's
    // ("quorvane-server"), since the journal cannot take a name with a blank.
    const std::string& GetSyslogName() const { return syslogName_; }
    // Whether systemd started this run and hears its state.
    bool IsManaged() const { return status_.IsReported(); }
    ServiceStatus& Status() { return status_; }
    // --data-dir's value; empty when not given.
    const std::string& DataDirectoryOption() const { return dataDirectory_; }

private:
    // Started by systemd: runs the body with its state reported; EXIT_OK or
    // EXIT_NOT_STARTED.
    int RunManaged();
    // Runs the body until a stop signal: SIGINT, SIGQUIT and SIGTERM in a terminal
    // (console), SIGTERM, SIGHUP and SIGINT otherwise. EXIT_OK or EXIT_NOT_STARTED.
    int RunInForeground(bool console);

    const char* name_;
    std::string syslogName_;
    std::string dataDirectory_;
    ServiceStatus status_;
};

#endif
