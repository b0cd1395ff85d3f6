#include "server/MetricsText.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "network/StreamHandler.h"
#include "server/CommandTable.h"
#include "server/ServerStatistics.h"
#include "server/VoiceRelay.h"

namespace quorvane {
namespace server {

namespace {

typedef ServerStatistics S;

// The shortest decimal text that reads back as the same double: 5.27 rather than
// 5.2699999999999996, while a figure that needs every digit keeps them.
std::string Figure(double value) {
    char number[64];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(number, sizeof number, "%.*g", digits, value);
        if (std::strtod(number, nullptr) == value) break;
    }
    return number;
}

// One family: its header, then the samples appended to it.
class Family {
public:
    Family(std::string& out, const char* name, const char* type, const char* help) : out_(out), name_(name) {
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    Family& Sample(double value, const std::string& labels = std::string(), const char* suffix = "") {
        out_ += name_ + suffix + (labels.empty() ? "" : "{" + labels + "}") + " " + Figure(value) + "\n";
        return *this;
    }

private:
    std::string& out_;
    std::string name_;
};

std::string Label(const char* name, const std::string& value) { return std::string(name) + "=\"" + value + "\""; }

// The process's own figures from /proc; -1 when unreadable.
double ResidentBytes() {
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (!file) return -1;
    unsigned long long size = 0, resident = 0;
    const bool read = std::fscanf(file, "%llu %llu", &size, &resident) == 2;
    std::fclose(file);
    return read ? static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) : -1;
}

double OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    double count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

double CpuSeconds() {
    FILE* file = std::fopen("/proc/self/stat", "r");
    if (!file) return -1;
    char line[1024];
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    const char* fields = read ? std::strrchr(line, ')') : nullptr;  // the name may hold spaces
    unsigned long long user = 0, system = 0;
    if (!fields ||
        std::sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) != 2)
        return -1;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

std::string MetricsText::Render(const ServerStatistics& stats, const VoiceRelay& voice, bool started,
                                uint64_t failedSaves) {
    std::string out;
    const int64_t admins = stats.Get(S::ADMINS), connections = stats.Get(S::CONNECTIONS);
    const int64_t users = stats.Get(S::USERS), uploads = stats.Get(S::UPLOADS), downloads = stats.Get(S::DOWNLOADS);
    Family(out, "quorvane_up", "gauge", "1 while the server runs.").Sample(started ? 1 : 0);
    Family(out, "quorvane_uptime_seconds", "gauge", "Seconds since the server started.")
        .Sample(started ? stats.GetUptime().msec() / 1000.0 : 0);
    Family(out, "quorvane_users_online", "gauge", "Logged-in users, the administrator not counted.").Sample(users);
    Family(out, "quorvane_users_served_total", "counter", "Successful logins.").Sample(stats.GetUsersServed());
    Family(out, "quorvane_users_peak", "gauge", "Most users online at a login.").Sample(stats.GetUsersPeak());
    Family(out, "quorvane_channels", "gauge", "Channels besides the root.").Sample(stats.Get(S::CHANNELS));
    Family(out, "quorvane_connections", "gauge", "Command and data connections by state.")
        .Sample(users, Label("state", "user"))
        .Sample(admins, Label("state", "admin"))
        .Sample(uploads + downloads, Label("state", "transfer"))
        .Sample(std::max<int64_t>(0, connections - users - admins - uploads - downloads), Label("state", "login"));
    Family commands(out, "quorvane_commands_total", "counter", "Commands received, by command word.");
    for (size_t i = 0; i < CommandTable::Count(); ++i)
        commands.Sample(stats.GetCommandCount(i), Label("command", CommandTable::At(i).word));
    commands.Sample(stats.GetCommandCount(S::MAX_COMMANDS - 1), Label("command", "unknown"));
    Family(out, "quorvane_lines_sent_total", "counter", "Lines queued to connections.")
        .Sample(StreamHandler::LinesQueuedOfAll());
    Family(out, "quorvane_sent_bytes_total", "counter", "Bytes written to connections.")
        .Sample(StreamHandler::BytesWrittenOfAll());
    Family(out, "quorvane_output_queue_bytes", "gauge", "Bytes queued to connections and not yet written.")
        .Sample(StreamHandler::QueuedBytesOfAll());
    Family(out, "quorvane_voice_datagrams_received_total", "counter", "Voice datagrams received.")
        .Sample(stats.Get(S::VOICE_DATAGRAMS_RECEIVED));
    Family(out, "quorvane_voice_datagrams_relayed_total", "counter", "Copies of voice datagrams sent.")
        .Sample(stats.Get(S::VOICE_DATAGRAMS_RELAYED));
    Family(out, "quorvane_voice_datagrams_dropped_total", "counter", "Voice datagrams or copies dropped, by reason.")
        .Sample(stats.Get(S::VOICE_DROPPED_MALFORMED) + voice.GetDroppedBySocket(), Label("reason", "malformed"))
        .Sample(stats.Get(S::VOICE_DROPPED_STRANGER), Label("reason", "stranger"))
        .Sample(stats.Get(S::VOICE_DROPPED_SILENT), Label("reason", "not_logged_in"))
        .Sample(stats.Get(S::VOICE_DROPPED_REFUSED), Label("reason", "send_refused"));
    Family(out, "quorvane_voice_bytes_total", "counter", "Voice bytes received and sent.")
        .Sample(stats.GetVoiceRxBytes(), Label("direction", "received"))
        .Sample(stats.GetVoiceTxBytes(), Label("direction", "sent"));
    Family latency(out, "quorvane_voice_relay_latency_seconds", "histogram",
                   "From a voice datagram's arrival to its last copy sent.");
    for (size_t i = 0; i + 1 < S::LATENCY_BUCKETS; ++i) {
        char bound[32];
        std::snprintf(bound, sizeof bound, "%g", S::LATENCY_BOUNDS_US[i] / 1e6);
        latency.Sample(stats.GetLatencyBucket(i), Label("le", bound), "_bucket");
    }
    latency.Sample(stats.GetLatencyCount(), Label("le", "+Inf"), "_bucket")
        .Sample(stats.GetLatencySumSeconds(), "", "_sum")
        .Sample(stats.GetLatencyCount(), "", "_count");
    Family(out, "quorvane_connections_closed_total", "counter", "Connections the server closed, by reason.")
        .Sample(stats.Get(S::CLOSED_LAGGING), Label("reason", "lagging"))
        .Sample(stats.Get(S::CLOSED_LOGIN_TIMEOUT), Label("reason", "login_timeout"))
        .Sample(stats.Get(S::CLOSED_ADDRESS_LIMIT), Label("reason", "address_limit"))
        .Sample(stats.Get(S::CLOSED_INACTIVE), Label("reason", "inactive"))
        .Sample(stats.Get(S::CLOSED_TRANSFER_TIMEOUT), Label("reason", "transfer_timeout"))
        .Sample(stats.Get(S::CLOSED_TLS_HANDSHAKE), Label("reason", "tls_handshake"));
    Family(out, "quorvane_password_lockouts_total", "counter", "Addresses locked out after wrong passwords.")
        .Sample(stats.Get(S::PASSWORD_LOCKOUTS));
    Family(out, "quorvane_bans", "gauge", "Banned addresses.").Sample(stats.Get(S::BANS));
    Family(out, "quorvane_transfers_running", "gauge", "File transfers moving data, by direction.")
        .Sample(uploads, Label("direction", "upload"))
        .Sample(downloads, Label("direction", "download"));
    Family(out, "quorvane_transfer_bytes_total", "counter", "File bytes moved, by direction.")
        .Sample(stats.Get(S::UPLOADED_BYTES), Label("direction", "upload"))
        .Sample(stats.Get(S::DOWNLOADED_BYTES), Label("direction", "download"));
    Family(out, "quorvane_files_root_bytes", "gauge", "Bytes of the files shared in every channel.")
        .Sample(stats.Get(S::FILES_BYTES));
    Family(out, "quorvane_files", "gauge", "Files shared in every channel.").Sample(stats.Get(S::FILES));
    Family(out, "quorvane_failed_saves_total", "counter", "Saves of the settings, ban list or files list that failed.")
        .Sample(failedSaves);
    Family(out, "quorvane_process_resident_memory_bytes", "gauge", "Resident memory of the server process.")
        .Sample(ResidentBytes());
    Family(out, "quorvane_process_open_fds", "gauge", "Open file descriptors of the server process.")
        .Sample(OpenDescriptors());
    Family(out, "quorvane_process_cpu_seconds_total", "counter", "CPU time of the server process, user and system.")
        .Sample(CpuSeconds());
    return out;
}

}  // namespace server
}  // namespace quorvane
