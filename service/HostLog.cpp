#include "HostLog.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Backend.h>
#include <ace/Log_Record.h>

namespace {

std::atomic<bool> underManager(false);
std::mutex syslogLock;  // openlog and syslog as one step: others open syslog too
std::string syslogName;

int SyslogPriority(ACE_Log_Priority priority) {
    switch (priority) {
    case LM_EMERGENCY:
    case LM_ALERT:
    case LM_CRITICAL:
    case LM_ERROR: return LOG_ERR;
    case LM_WARNING: return LOG_WARNING;
    case LM_NOTICE: return LOG_NOTICE;
    case LM_INFO: return LOG_INFO;
    default: return LOG_DEBUG;
    }
}

// ACE's log under systemd: the system log alone, a message a line.
class JournalBackend : public ACE_Log_Msg_Backend {
public:
    int open(const ACE_TCHAR*) override { return 0; }
    int reset() override { return 0; }
    int close() override { return 0; }
    ssize_t log(ACE_Log_Record& record) override {
        HostLog::SystemLog(SyslogPriority(static_cast<ACE_Log_Priority>(record.type())), record.msg_data());
        return 0;
    }
};

JournalBackend journal;

}  // namespace

void HostLog::SetSyslogName(const std::string& name) {
    std::lock_guard<std::mutex> guard(syslogLock);
    syslogName = name;
}

void HostLog::Open(const char* name, bool manager) {
    underManager = manager;
    SetSyslogName(name);
    if (manager) {
        ACE_Log_Msg::msg_backend(&journal);
        ACE_LOG_MSG->open(name, ACE_Log_Msg::CUSTOM);
    } else {
        ACE_LOG_MSG->open(name, ACE_Log_Msg::SYSLOG | ACE_Log_Msg::STDERR);
    }
}

void HostLog::Error(const std::string& text) { ACE_LOG_MSG->log(LM_ERROR, "%s\n", text.c_str()); }

void HostLog::Warning(const std::string& text) { ACE_LOG_MSG->log(LM_WARNING, "%s\n", text.c_str()); }

void HostLog::Info(const std::string& text) { ACE_LOG_MSG->log(LM_INFO, "%s\n", text.c_str()); }

void HostLog::EndStartUp() { ACE_LOG_MSG->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::SYSLOG | ACE_Log_Msg::CUSTOM); }

void HostLog::Report(bool error, const std::string& text) {
    if (!underManager) {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    SystemLog(error ? LOG_ERR : LOG_INFO, text);
}

void HostLog::SystemLog(int priority, const std::string& text) {
    std::lock_guard<std::mutex> guard(syslogLock);
    openlog(syslogName.empty() ? nullptr : syslogName.c_str(), LOG_PID, LOG_DAEMON);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) syslog(LOG_DAEMON | priority, "%s", line.c_str());
        start = end + 1;
    }
}
