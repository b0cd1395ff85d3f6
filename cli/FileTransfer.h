// The data side of a shared-file transfer: a second connection that names a transfer
// registered on the command connection and then carries the file's bytes.
#ifndef QUORVANE_CLI_FILETRANSFER_H
#define QUORVANE_CLI_FILETRANSFER_H

#include <cstdint>
#include <functional>
#include <string>

#include "ClientTls.h"
#include "ProgressBar.h"

namespace quorvane {
namespace cli {

struct TransferEndpoint {
    std::string host;
    int port = 0;
    std::string from;       // this end's numeric address, or empty for any
    int timeoutMs = 10000;  // the longest the other side may stay silent
    ClientTls tls;          // the session's
    // Called while bytes move, so the command connection's keep-alives keep going; false
    // stops the transfer (the person pressed Ctrl+C).
    std::function<bool()> tick;
};

// Sends size bytes of the file for the registered upload and waits for the server to
// confirm it; false with the reason otherwise.
bool UploadFile(const TransferEndpoint& endpoint, int transferId, const std::string& path, int64_t size,
                ProgressBar& progress, std::string& error);

// Receives the registered download into a temporary file beside path and renames it to
// path once every byte is in; nothing is left behind on failure. A file already at path
// is replaced only when replace is set. size is the file's size.
bool DownloadFile(const TransferEndpoint& endpoint, int transferId, const std::string& path, bool replace,
                  ProgressBar& progress, int64_t& size, std::string& error);

}  // namespace cli
}  // namespace quorvane

#endif
