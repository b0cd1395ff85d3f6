// Writes the server's XML files on a thread of its own, so that no save holds up the
// event loop. A document that changed is marked; at the end of the loop's turn (a
// notification of the main reactor) the loop takes a snapshot of its text and hands it
// over, and the writer thread replaces the file with it (temporary file, fsync, rename).
// Changes made while a write of that document is under way are taken in one snapshot
// when it ends: at most one snapshot per document waits, so the queue is bounded by the
// number of documents and a burst of changes costs a few writes. When several documents
// wait they are written in the order they were attached. A document may ask for its writes
// to start at least some time apart (the files list, whose snapshot grows with every file):
// changes within that time wait, and are written together; SaveAll and Flush do not wait.
//
// Threads:
//  - Attach, Start, Flush and Stop: the host's thread while no event loop runs.
//  - Changed (through the documents' saves), SaveAll and the loop's part: the main
//    loop's thread, or the host's while no loop runs. The documents are touched only
//    there; the writer thread sees nothing but the snapshots' texts.
//  - The writer thread: writes. It shares the queue and the results with the loop
//    under mutex_, which is never held across a write, an fsync or an unlink.
#ifndef QUORVANE_LISTENERS_STORAGEWRITER_H
#define QUORVANE_LISTENERS_STORAGEWRITER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ace/Event_Handler.h>

#include "settings/XMLDocument.h"

class ACE_Reactor;

namespace quorvane {

class StorageWriter {
public:
    // Told, on the loop's thread, whether every file asked for was written.
    typedef std::function<void(bool written)> Done;
    // Told the text of every failed write, on the loop's thread.
    typedef std::function<void(const std::string& text)> Reporter;
    // Replaces the file at path by text; any thread. The default is XMLDocument's.
    typedef std::function<bool(const std::string& path, const std::string& text)> WriteFile;

    StorageWriter(ACE_Reactor* loop, Reporter report, WriteFile write = WriteFile());
    // Stops the writer (pending snapshots are written first).
    ~StorageWriter();
    StorageWriter(const StorageWriter&) = delete;
    StorageWriter& operator=(const StorageWriter&) = delete;

    // Host thread, before Start: the document is written by this writer once it runs;
    // kind names it in the reports ("settings", "ban-list", "files-list"). Its snapshots
    // are taken at least spacingMs apart.
    void Attach(XMLDocument& document, const char* kind, int spacingMs = 0);
    // Starts the thread, prepares the documents' snapshots and defers their saves to it;
    // false (and the documents keep saving at once) when the thread cannot be started.
    bool Start();
    // Loop thread: the document changed and will be written (its saves call this).
    void Changed(XMLDocument& document);
    // Loop thread: writes every attached document as it is now, and then tells done
    // whether all of them were written.
    void SaveAll(const Done& done);
    // Host thread while no loop runs: writes every pending change and waits for it,
    // running the loop's part (reports, Done calls) on this thread.
    void Flush();
    // Flush, end the thread; the documents save at once again. Host thread.
    void Stop();

    // Whether the thread runs (between Start and Stop): the documents' saves come here.
    // The host's or the loop's thread.
    bool Running() const { return thread_.joinable(); }
    // Writes that failed since the start. Any thread.
    uint64_t FailedSaves() const { return failedSaves_.load(std::memory_order_relaxed); }
    // Files written so far, whether or not the writes succeeded. Any thread.
    unsigned long Writes() const;

private:
    // One save that several documents' writes make up.
    struct Joint {
        size_t remaining;
        bool written;
        Done done;
    };
    typedef std::shared_ptr<Joint> joint_t;

    struct Slot {
        XMLDocument* document;
        std::string kind;
        std::string path;  // at attachment, for reports when the document forgot its file
        int spacingMs = 0;
        // Loop thread only.
        std::chrono::steady_clock::time_point lastSnapshot;
        bool snapshotTaken = false;
        bool dirty = false;
        bool inFlight = false;
        std::vector<joint_t> waiting;  // for the next snapshot
        std::vector<joint_t> writing;  // for the write under way
    };

    struct Job {
        bool queued = false;
        std::string path;
        XMLDocument::TextPieces pieces;  // joined on the writer thread
    };

    struct Result {
        size_t slot;
        bool written;
    };

    class Wakeup : public ACE_Event_Handler {
    public:
        explicit Wakeup(StorageWriter& writer) : writer_(writer) {}
        int handle_exception(ACE_HANDLE) override;
        // A spaced snapshot is due.
        int handle_timeout(const ACE_Time_Value& now, const void* act) override;

    private:
        StorageWriter& writer_;
    };

    // Asks the loop for a turn of its part, unless one is asked for already. Any thread.
    void Wake();
    // The loop's part: the results of finished writes, then snapshots of the changed
    // documents that have no write under way (and whose spacing has passed).
    void RunLoopPart();
    // Whether the slot's snapshot must wait for its spacing; arms the timer then.
    bool Spaced(Slot& slot, std::chrono::steady_clock::time_point now);
    void Finish(Slot& slot, bool written);
    void TakeSnapshot(size_t index);
    static void Complete(std::vector<joint_t>& joints, bool written);
    size_t SlotOf(const XMLDocument& document) const;
    bool LoopIdle() const;
    // The writer thread's body.
    void Run();

    ACE_Reactor* const reactor_;
    const Reporter report_;
    const WriteFile write_;
    Wakeup wakeup_;
    std::vector<Slot> slots_;
    std::thread thread_;
    std::atomic<uint64_t> failedSaves_{0};
    bool timerArmed_ = false;  // loop thread: a spaced snapshot's timer is pending
    bool flushing_ = false;    // Flush runs: no snapshot waits for its spacing

    mutable std::mutex mutex_;          // guards what follows; any thread
    std::condition_variable work_;      // a job was queued, or stopping
    std::condition_variable finished_;  // a result was added
    std::vector<Job> jobs_;             // by slot: at most one each
    std::vector<Result> results_;
    bool notified_ = false;  // a wake-up waits in the reactor's queue
    bool stopping_ = false;
    unsigned long writes_ = 0;
};

}  // namespace quorvane

#endif
