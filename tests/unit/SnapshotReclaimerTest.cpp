// Snapshots the voice thread follows without a lock: a replaced one stays alive while a
// reader's batch may still hold it, and goes once the reader has left that batch (or at
// once when no reader is inside one). Run under ThreadSanitizer, the churn case is the
// race check of the scheme.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "network/PublishedPointer.h"
#include "network/SnapshotReclaimer.h"

namespace {

TEST(SnapshotReclaimerTest, ReplacedSnapshotLivesUntilTheReaderLeavesItsBatch) {
    SnapshotReclaimer& reclaimer = SnapshotReclaimer::Instance();
    PublishedPointer<const int> published(std::make_shared<const int>(1));
    const std::weak_ptr<const int> first = published.Owner();
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false, replaced = false;
    int seen = 0;
    std::thread reader([&] {
        reclaimer.Enter();
        const int* held = published.Get();
        std::unique_lock<std::mutex> lock(mutex);
        inside = true;
        changed.notify_all();
        changed.wait(lock, [&] { return replaced; });
        seen = *held;  // still valid: the batch has not ended
        reclaimer.Leave();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return inside; });
    }
    published.Set(std::make_shared<const int>(2));
    reclaimer.Reclaim();
    EXPECT_FALSE(first.expired());
    {
        std::lock_guard<std::mutex> lock(mutex);
        replaced = true;
    }
    changed.notify_all();
    reader.join();
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(reclaimer.Reclaim(), 0u);
    EXPECT_TRUE(first.expired());

    // No reader inside a batch: the replaced snapshot goes at once.
    const std::weak_ptr<const int> second = published.Owner();
    published.Set(std::make_shared<const int>(3));
    EXPECT_TRUE(second.expired());
    EXPECT_EQ(*published.Get(), 3);
}

TEST(SnapshotReclaimerTest, ReaderNeverSeesAReleasedSnapshotWhileTheWriterChurns) {
    struct Snapshot {
        explicit Snapshot(int v) : value(v), check(v) {}
        ~Snapshot() { check = -1; }
        int value;
        std::atomic<int> check;
    };
    PublishedPointer<const Snapshot> published(std::make_shared<const Snapshot>(0));
    std::atomic<bool> done(false);
    std::atomic<int> torn(0);
    std::thread reader([&] {
        SnapshotReclaimer& reclaimer = SnapshotReclaimer::Instance();
        while (!done.load()) {
            reclaimer.Enter();
            const Snapshot* snapshot = published.Get();
            for (int i = 0; i < 10; ++i)
                if (snapshot->check.load() != snapshot->value) ++torn;
            reclaimer.Leave();
        }
    });
    for (int i = 1; i <= 20000; ++i) published.Set(std::make_shared<const Snapshot>(i));
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(SnapshotReclaimer::Instance().Reclaim(), 0u);
}

}  // namespace
