// Where the host's own messages go. Until the server runs they go through ACE's log:
// to the system log and standard error from a terminal, to the system log alone when
// systemd runs the service (the journal records both, so each message would appear
// twice). Once the server runs, ACE's log keeps only the log file, and what the host
// still has to say (a failed save, a reload) goes through Report.
//
// Threads: Open and EndStartUp on the host's thread; the rest from any thread.
#ifndef QUORVANE_SERVICE_HOSTLOG_H
#define QUORVANE_SERVICE_HOSTLOG_H

#include <string>

class HostLog {
public:
    // The name the system log shows for the program's messages.
    static void SetSyslogName(const std::string& name);
    // Opens ACE's log under the name; underManager: systemd runs the service.
    static void Open(const char* name, bool underManager);
    // Through ACE's log, at LM_ERROR, LM_WARNING and LM_INFO.
    static void Error(const std::string& text);
    static void Warning(const std::string& text);
    static void Info(const std::string& text);
    // From now on ACE's log writes only to the log file, if there is one.
    static void EndStartUp();
    // One message while the server runs: the system log, and standard error unless
    // systemd runs the service.
    static void Report(bool error, const std::string& text);
    // Writes each line of the text as one system-log message, without carriage returns,
    // which the journal would show as binary data.
    static void SystemLog(int priority, const std::string& text);
};

#endif
