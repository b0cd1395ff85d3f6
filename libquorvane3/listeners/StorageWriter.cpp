#include "listeners/StorageWriter.h"

#include <system_error>
#include <utility>

#include <ace/Reactor.h>

#include "network/ReactorThread.h"
#include "settings/XMLDocument.h"

namespace quorvane {

StorageWriter::StorageWriter(ACE_Reactor* loop, Reporter report, WriteFile write)
    : reactor_(loop),
      report_(std::move(report)),
      write_(write ? std::move(write) : WriteFile(&XMLDocument::WriteSnapshot)),
      wakeup_(*this) {}

StorageWriter::~StorageWriter() { Stop(); }

void StorageWriter::Attach(XMLDocument& document, const char* kind, int spacingMs) {
    Slot slot;
    slot.document = &document;
    slot.kind = kind;
    slot.path = document.GetFileName();
    slot.spacingMs = spacingMs;
    slots_.push_back(slot);
    std::lock_guard<std::mutex> guard(mutex_);
    jobs_.resize(slots_.size());
}

bool StorageWriter::Start() {
    if (thread_.joinable()) return true;
    try {
        thread_ = std::thread(&StorageWriter::Run, this);
    } catch (const std::system_error&) {
        return false;
    }
    for (Slot& slot : slots_) {
        XMLDocument* document = slot.document;
        document->PrepareSnapshots();
        document->DeferSaves([this, document] { Changed(*document); });
    }
    return true;
}

size_t StorageWriter::SlotOf(const XMLDocument& document) const {
    for (size_t i = 0; i < slots_.size(); ++i)
        if (slots_[i].document == &document) return i;
    return slots_.size();
}

void StorageWriter::Changed(XMLDocument& document) {
    ReactorThread::AssertLoopThread(reactor_);
    const size_t index = SlotOf(document);
    if (index == slots_.size()) return;
    slots_[index].dirty = true;
    Wake();
}

void StorageWriter::SaveAll(const Done& done) {
    ReactorThread::AssertLoopThread(reactor_);
    const joint_t joint = std::make_shared<Joint>(Joint{slots_.size(), true, done});
    if (slots_.empty() || !Running()) {
        if (done) done(slots_.empty());  // without the thread nothing was written here
        return;
    }
    for (Slot& slot : slots_) {
        slot.dirty = true;
        slot.waiting.push_back(joint);
    }
    Wake();
}

void StorageWriter::Wake() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (notified_) return;
        notified_ = true;
    }
    if (reactor_->notify(&wakeup_, ACE_Event_Handler::EXCEPT_MASK) == 0) return;
    // Not queued: the next change, result or Flush asks again.
    std::lock_guard<std::mutex> guard(mutex_);
    notified_ = false;
}

int StorageWriter::Wakeup::handle_exception(ACE_HANDLE) {
    writer_.RunLoopPart();
    return 0;
}

int StorageWriter::Wakeup::handle_timeout(const ACE_Time_Value&, const void*) {
    writer_.timerArmed_ = false;
    writer_.RunLoopPart();
    return 0;
}

bool StorageWriter::Spaced(Slot& slot, std::chrono::steady_clock::time_point now) {
    if (slot.spacingMs <= 0 || !slot.snapshotTaken || flushing_ || !slot.waiting.empty()) return false;
    const std::chrono::steady_clock::time_point due = slot.lastSnapshot + std::chrono::milliseconds(slot.spacingMs);
    if (now >= due) return false;
    if (timerArmed_) return true;
    const long long micros = std::chrono::duration_cast<std::chrono::microseconds>(due - now).count() + 1;
    const ACE_Time_Value delay(static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000));
    timerArmed_ = reactor_->schedule_timer(&wakeup_, 0, delay) != -1;
    return timerArmed_;  // without a timer nothing would take it later: now
}

void StorageWriter::RunLoopPart() {
    ReactorThread::AssertLoopThread(reactor_);
    std::vector<Result> results;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        notified_ = false;
        results.swap(results_);
    }
    for (const Result& result : results) Finish(slots_[result.slot], result.written);
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < slots_.size(); ++i)
        if (slots_[i].dirty && !slots_[i].inFlight && !Spaced(slots_[i], now)) TakeSnapshot(i);
}

void StorageWriter::Finish(Slot& slot, bool written) {
    slot.inFlight = false;
    if (!written) failedSaves_.fetch_add(1, std::memory_order_relaxed);
    if (!written && report_) {
        const std::string path = slot.document->GetFileName().empty() ? slot.path : slot.document->GetFileName();
        report_("Quorvane service failed to save " + slot.kind + " file: " + path + ".");
    }
    Complete(slot.writing, written);
}

void StorageWriter::TakeSnapshot(size_t index) {
    Slot& slot = slots_[index];
    slot.dirty = false;
    slot.lastSnapshot = std::chrono::steady_clock::now();
    slot.snapshotTaken = true;
    slot.writing.swap(slot.waiting);
    slot.waiting.clear();
    Job job;
    if (!slot.document->Snapshot(job.path, job.pieces)) {
        // A document without a file (one set aside at start-up) may not replace anything.
        Finish(slot, false);
        return;
    }
    slot.inFlight = true;
    job.queued = true;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        jobs_[index] = std::move(job);
    }
    work_.notify_one();
}

void StorageWriter::Complete(std::vector<joint_t>& joints, bool written) {
    std::vector<joint_t> finished;
    finished.swap(joints);
    for (const joint_t& joint : finished) {
        joint->written = joint->written && written;
        if (--joint->remaining == 0 && joint->done) joint->done(joint->written);
    }
}

void StorageWriter::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        size_t next = 0;
        while (next < jobs_.size() && !jobs_[next].queued) ++next;
        if (next == jobs_.size()) {
            if (stopping_) return;
            work_.wait(lock);
            continue;
        }
        Job job = std::move(jobs_[next]);
        jobs_[next] = Job();
        lock.unlock();
        size_t size = 0;
        for (const std::shared_ptr<const std::string>& piece : job.pieces) size += piece->size();
        std::string text;
        text.reserve(size);
        for (const std::shared_ptr<const std::string>& piece : job.pieces) text += *piece;
        job.pieces.clear();
        const bool written = write_(job.path, text);
        lock.lock();
        ++writes_;
        results_.push_back(Result{next, written});
        finished_.notify_all();
        if (!notified_) {
            lock.unlock();
            Wake();
            lock.lock();
        }
    }
}

bool StorageWriter::LoopIdle() const {
    for (const Slot& slot : slots_)
        if (slot.dirty || slot.inFlight) return false;
    return true;
}

void StorageWriter::Flush() {
    if (!thread_.joinable()) return;
    flushing_ = true;
    for (;;) {
        RunLoopPart();
        if (LoopIdle()) {
            flushing_ = false;
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [this] { return !results_.empty(); });
    }
}

void StorageWriter::Stop() {
    if (!thread_.joinable()) return;
    Flush();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
    reactor_->purge_pending_notifications(&wakeup_);
    if (timerArmed_) reactor_->cancel_timer(&wakeup_);
    timerArmed_ = false;
    for (Slot& slot : slots_) slot.document->DeferSaves(std::function<void()>());
}

unsigned long StorageWriter::Writes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return writes_;
}

}  // namespace quorvane
