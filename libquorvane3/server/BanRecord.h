// One server ban, keyed in the node's ban table by the banned IP address.
#ifndef QUORVANE_SERVER_BANRECORD_H
#define QUORVANE_SERVER_BANRECORD_H

#include <string>

#include <ace/Time_Value.h>

namespace quorvane {
namespace server {

struct BanRecord {
    int userId = 0;
    std::string nickname;
    std::string ipAddress;    // text of the address of the user's command connection
    std::string channelPath;  // empty when the user was in no channel
    ACE_Time_Value banTime;   // wall-clock time of the ban
};

}  // namespace server
}  // namespace quorvane

#endif
