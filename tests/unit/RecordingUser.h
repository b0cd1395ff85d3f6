// A ServerUser whose lines are recorded instead of sent, for tests that drive the
// channel model and the command handlers without sockets; and FakeUserLinks, what such a
// user reaches when no server is there.
#ifndef QUORVANE_TESTS_RECORDINGUSER_H
#define QUORVANE_TESTS_RECORDINGUSER_H

#include <memory>
#include <string>
#include <vector>

#include "network/SharedLine.h"
#include "network/StreamHandler.h"
#include "protocol/ErrorCodes.h"
#include "server/CommandRate.h"
#include "server/CommandRunner.h"
#include "server/DepartureFeed.h"
#include "server/OutputPolicy.h"
#include "server/ServerStatistics.h"
#include "server/ServerUser.h"
#include "server/TransferDesk.h"
#include "server/UserEvents.h"

// Runs no command, owes no news, refuses every transfer; counts what it is told.
class FakeUserLinks : public quorvane::server::CommandRunner,
                      public quorvane::server::UserEvents,
                      public quorvane::server::DepartureFeed,
                      public quorvane::server::OutputBound,
                      public quorvane::server::TransferDesk {
public:
    bool AnswersOnRead(const std::string&, size_t, size_t) const override { return false; }
    void Run(quorvane::server::ServerUser&, const std::string&, bool&) override {}
    void UserDisconnected(int userId) override { disconnected.push_back(userId); }
    void UserLagging(int userId) override { lagging.push_back(userId); }
    uint64_t End() const override { return 0; }
    void CatchUp(quorvane::server::ServerUser&) override {}
    void Queued() override { ++queued; }
    int UserBeginFileTransfer(int, int, bool, quorvane::server::FileTransfer&,
                              quorvane::server::TransferFile&) override {
        return quorvane::ERR_FILETRANSFER_NOT_FOUND;
    }
    int FileTransferCompleted(int) override { return quorvane::ERR_FILETRANSFER_NOT_FOUND; }
    void FileTransferDownloaded(int) override {}

    // One for the users of tests that look at none of it.
    static FakeUserLinks& Shared() {
        static FakeUserLinks links;
        return links;
    }

    quorvane::server::ServerStatistics statistics;
    quorvane::server::CommandRate rate;
    quorvane::server::OutputPolicy policy{*this};
    const quorvane::server::UserLinks links{nullptr, statistics, rate, *this, *this, *this, policy, *this};
    std::vector<int> disconnected, lagging;
    int queued = 0;
};

class RecordingUser : public quorvane::server::ServerUser {
public:
    explicit RecordingUser(int id, const quorvane::server::UserLinks& links = FakeUserLinks::Shared().links)
        : ServerUser(id, links, nullptr) {}

    int WriteShared(const SharedLine& line) override {
        return WriteLine(std::string(line.Block().rd_ptr(), line.Block().length()));
    }

    int WriteListing(std::unique_ptr<quorvane::server::Listing> listing) override {
        for (const quorvane::server::listingline_t& line : listing->GetLines()) WriteShared(line->Line());
        return 0;
    }

    // With failSends the output is full, as a connection's that does not read.
    int WriteLine(const std::string& line) override {
        if (failSends) return StreamHandler::SEND_FULL;
        lines.push_back(line);
        return 0;
    }

    // The command words of the recorded lines, in order.
    std::vector<std::string> Words() const {
        std::vector<std::string> words;
        for (size_t i = 0; i < lines.size(); ++i) words.push_back(lines[i].substr(0, lines[i].find_first_of(" \r")));
        return words;
    }

    std::vector<std::string> lines;
    bool failSends = false;
};

inline std::shared_ptr<RecordingUser> MakeLoggedInUser(int id) {
    std::shared_ptr<RecordingUser> user = std::make_shared<RecordingUser>(id);
    user->SetLoggedIn(true);
    return user;
}

#endif
