// Test listener for connections: records every call; optional hook inside OnStreamData.
#ifndef QUORVANE_TESTS_RECORDINGSTREAMLISTENER_H
#define QUORVANE_TESTS_RECORDINGSTREAMLISTENER_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "network/StreamListener.h"

namespace networktest {

class RecordingStreamListener : public StreamListener {
public:
    std::function<void(bool& keepOpen)> onData;  // runs inside OnStreamData, after recording

    void OnStreamOpened() override { Bump(opened_); }
    void OnStreamClosed() override {
        std::lock_guard<std::mutex> guard(mutex_);
        ++closed_;
        closedOn_ = std::this_thread::get_id();
    }
    void OnStreamData(const char* data, ssize_t length, bool& keepOpen) override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            data_.append(data, static_cast<size_t>(length));
        }
        if (onData) onData(keepOpen);
    }
    void OnStreamReady() override { Bump(ready_); }
    // Input held for a later turn while pending is set; onResume runs on that turn.
    std::atomic<bool> pending{false};
    std::function<void(bool& keepOpen)> onResume;
    bool HasPendingInput() const override { return pending; }
    void OnStreamResume(bool& keepOpen) override {
        pending = false;
        if (onResume) onResume(keepOpen);
    }

    std::string Data() const { return Read(data_); }
    int Opened() const { return Read(opened_); }
    int Closed() const { return Read(closed_); }
    int Ready() const { return Read(ready_); }
    std::thread::id ClosedOn() const { return Read(closedOn_); }

private:
    void Bump(int& counter) {
        std::lock_guard<std::mutex> guard(mutex_);
        ++counter;
    }
    template <typename T>
    T Read(const T& field) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return field;
    }

    mutable std::mutex mutex_;
    std::string data_;
    int opened_ = 0;
    int closed_ = 0;
    int ready_ = 0;
    std::thread::id closedOn_;
};

}  // namespace networktest

#endif
