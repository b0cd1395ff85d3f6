#include "SignalFlags.h"

#include <cstring>

namespace quorvane {
namespace cli {

namespace {

const int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGWINCH};

}  // namespace

volatile std::sig_atomic_t SignalFlags::stop_ = 0;
volatile std::sig_atomic_t SignalFlags::interrupt_ = 0;
volatile std::sig_atomic_t SignalFlags::resized_ = 0;
volatile std::sig_atomic_t SignalFlags::caught_ = 0;

void SignalFlags::OnSignal(int signo) {
    if (signo == SIGWINCH) {
        resized_ = 1;
        return;
    }
    if (signo == SIGINT) interrupt_ = 1;
    else stop_ = 1;
    caught_ = signo;
}

SignalFlags::SignalFlags() {
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: poll returns at once, so the loop sees the flag.
    for (size_t i = 0; i < sizeof(SIGNALS) / sizeof(SIGNALS[0]); ++i) {
        sigaction(SIGNALS[i], &action, &previous_[i]);
        if (previous_[i].sa_handler == SIG_IGN) sigaction(SIGNALS[i], &previous_[i], nullptr);
    }
}

SignalFlags::~SignalFlags() {
    for (size_t i = 0; i < sizeof(SIGNALS) / sizeof(SIGNALS[0]); ++i) sigaction(SIGNALS[i], &previous_[i], nullptr);
}

}  // namespace cli
}  // namespace quorvane
