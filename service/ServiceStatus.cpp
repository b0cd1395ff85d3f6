#include "ServiceStatus.h"

#include <syslog.h>

#include "HostLog.h"
#include "ServiceManager.h"

ServiceStatus::ServiceStatus(const std::string& name) : name_(name) {}

void ServiceStatus::SetReported(bool reported) {
    std::lock_guard<std::mutex> guard(lock_);
    reported_ = reported;
}

bool ServiceStatus::IsReported() const {
    std::lock_guard<std::mutex> guard(lock_);
    return reported_;
}

bool ServiceStatus::Set(State state, int waitHintMs, int exitCode) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!reported_ || (state_ == STOPPING && state != STOPPED && state != STOPPING)) return true;
        state_ = state;
        waitHintMs_ = waitHintMs;
        ServiceManager::Phase phase = ServiceManager::PHASE_STOPPED;
        std::string status;
        switch (state) {
        case STARTING:
            phase = ServiceManager::PHASE_STARTING;
            status = "Starting " + name_ + ".";
            break;
        case RUNNING:
            phase = ServiceManager::PHASE_RUNNING;
            status = running_.empty() ? name_ + " is running." : running_;
            break;
        case STOPPING:
            phase = ServiceManager::PHASE_STOPPING;
            status = "Stopping " + name_ + ".";
            break;
        case STOPPED:
            status = exitCode == 0            ? name_ + " stopped."
                     : failureReason_.empty() ? std::string("Failed to start.")
                                              : "Failed to start: " + failureReason_;
            break;
        }
        ServiceManager::Report(phase, waitHintMs_, status);
    }
    return Send();
}

void ServiceStatus::SetRunning(const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (text == running_) return;
        running_ = text;
        if (!reported_ || state_ != RUNNING) return;
        ServiceManager::Report(ServiceManager::PHASE_STATUS, waitHintMs_, running_);
    }
    Send();
}

void ServiceStatus::SetFailureReason(const std::string& reason) {
    std::lock_guard<std::mutex> guard(lock_);
    failureReason_ = reason;
}

void ServiceStatus::Reloading() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!reported_ || state_ != RUNNING) return;
        ServiceManager::Report(ServiceManager::PHASE_RELOADING, waitHintMs_, "Reloading the settings.");
    }
    Send();
}

void ServiceStatus::Reloaded() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!reported_ || state_ != RUNNING) return;
        ServiceManager::Report(ServiceManager::PHASE_RUNNING, waitHintMs_, running_);
    }
    Send();
}

bool ServiceStatus::Send() {
    std::string error;
    if (ServiceManager::SendReports(error)) return true;
    HostLog::SystemLog(LOG_ERR, "Unable to report the state to systemd: " + error);
    return false;
}
