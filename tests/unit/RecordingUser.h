// A ServerUser whose lines are recorded instead of sent, for tests that drive the
// channel model and the command handlers without sockets.
#ifndef QUORVANE_TESTS_RECORDINGUSER_H
#define QUORVANE_TESTS_RECORDINGUSER_H

#include <memory>
#include <string>
#include <vector>

#include "network/SharedLine.h"
#include "server/ServerUser.h"

class RecordingUser : public quorvane::server::ServerUser {
public:
    explicit RecordingUser(int id, quorvane::server::ServerNode* node = 0)
        : ServerUser(id, node, static_cast<ACE_HANDLE>(1000 + id)) {}

    int WriteShared(const SharedLine& line) override {
        return WriteLine(std::string(line.Block().rd_ptr(), line.Block().length()));
    }

    int WriteListing(std::unique_ptr<quorvane::server::Listing> listing) override {
        for (const quorvane::server::listingline_t& line : listing->GetLines()) WriteShared(line->Line());
        return 0;
    }

    int WriteLine(const std::string& line) override {
        if (failSends) {
            SetLoggedIn(false);
            SetAdmin(false);
            return -1;
        }
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
