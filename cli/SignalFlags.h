// The signals the prompt handles, each turned into a flag that the poll loop reads:
// SIGTERM and SIGHUP end the session (the terminal is put back as found), SIGINT stops
// the command that runs (Ctrl+C while a transfer runs) or, at the prompt, ends the
// session, SIGWINCH redraws the line. The handlers are installed for the object's life;
// a signal the client was started with ignored stays ignored.
#ifndef QUORVANE_CLI_SIGNALFLAGS_H
#define QUORVANE_CLI_SIGNALFLAGS_H

#include <csignal>

namespace quorvane {
namespace cli {

class SignalFlags {
public:
    SignalFlags();
    ~SignalFlags();
    SignalFlags(const SignalFlags&) = delete;
    SignalFlags& operator=(const SignalFlags&) = delete;

    // Any thread, any time: they only read or clear a flag.
    static bool Stopped() { return stop_ != 0 || interrupt_ != 0; }
    // The last signal that asked to stop or interrupt (0: none), to raise it again once
    // the handlers are gone.
    static int Caught() { return caught_; }
    static bool TakeInterrupt() { return Take(interrupt_); }
    static bool TakeResized() { return Take(resized_); }

private:
    static bool Take(volatile std::sig_atomic_t& flag) {
        const bool was = flag != 0;
        flag = 0;
        return was;
    }
    static void OnSignal(int signo);

    static volatile std::sig_atomic_t stop_;
    static volatile std::sig_atomic_t interrupt_;
    static volatile std::sig_atomic_t resized_;
    static volatile std::sig_atomic_t caught_;
    struct sigaction previous_[4];
};

}  // namespace cli
}  // namespace quorvane

#endif
