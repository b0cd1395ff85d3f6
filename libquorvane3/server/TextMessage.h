#ifndef QUORVANE_SERVER_TEXTMESSAGE_H
#define QUORVANE_SERVER_TEXTMESSAGE_H

#include <string>

namespace quorvane {
namespace server {

enum TextMessageType {
    TEXTMSG_USER = 1,
    TEXTMSG_CHANNEL = 2,
};

struct TextMessage {
    int type = 0;
    int from = 0;
    int to = 0;  // receiver, user messages only
    std::string content;
    std::string channel;  // channel path, channel messages only
};

}  // namespace server
}  // namespace quorvane

#endif
