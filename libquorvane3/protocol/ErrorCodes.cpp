#include "protocol/ErrorCodes.h"

#include <algorithm>
#include <iterator>

namespace quorvane {

namespace {

struct ErrorText {
    int code;
    const char* text;
};

// Sorted by code for the binary search below.
const ErrorText ERROR_TEXTS[] = {
    {ERR_SYNTAX_ERROR, "Syntax error in command"},
    {ERR_UNKNOWN_COMMAND, "Command not recognized"},
    {ERR_INCOMPATIBLE_PROTOCOLS, "Incompatible protocols"},
    {ERR_INCORRECT_SERVER_PASSWORD, "Incorrect password"},
    {ERR_INCORRECT_CHANNEL_PASSWORD, "Incorrect channel password"},
    {ERR_SERVER_BANNED, "Banned from server"},
    {ERR_NOT_AUTHORIZED, "Command requires operator rights"},
    {ERR_CHANNEL_CREATION_NOT_ALLOWED, "Channel creation not allowed"},
    {ERR_NOT_ADMIN, "Command requires administrator rights"},
    {ERR_REQUIRES_USER_LOGON, "Command requires user logon"},
    {ERR_CHANNEL_BANNED, "Banned from channel"},
    {ERR_MAX_USERS_EXCEEDED, "Maximum number of users exceeded"},
    {ERR_MAX_DISKUSAGE_EXCEEDED, "Maximum disk usage exceeded"},
    {ERR_OPEN_FILE_FAILED, "Failed to open file"},
    {ERR_ALREADY_LOGGEDIN, "Already logged in"},
    {ERR_NOT_LOGGEDIN, "Not logged in"},
    {ERR_NOT_UDPCONNECTED, "Connect on UDP has not yet occurred"},
    {ERR_CHANNEL_ALREADY_EXISTS, "Channel already exists"},
    {ERR_USER_NOT_FOUND, "No such user"},
    {ERR_CHANNEL_NOT_FOUND, "Incorrect channel path"},
    {ERR_BAN_NOT_FOUND, "No such ban exists"},
    {ERR_FILETRANSFER_NOT_FOUND, "Unknown file transfer"},
    {ERR_FILE_NOT_FOUND, "File not found"},
    {ERR_FILE_ALREADY_EXISTS, "File already exists"},
    {ERR_FILESHARING_OFF, "File sharing is disabled"},
    {ERR_FILEPATH_NOT_FOUND, "File path not found"},
    {ERR_FILE_TRANSFER_FAILED, "File transfer failed"},
};

const int FIRST_PARAMETER_CODE = 2000;
const int LAST_PARAMETER_CODE = 2999;

// Suffixes of the parameter codes, indexed by code - 2000; a null entry (and every code
// past the table) takes the generic suffix.
const char* const PARAMETER_SUFFIXES[] = {
    "userid parameter",            // 2000
    "nickname parameter",          // 2001
    "serverpassword parameter",    // 2002
    "bandmode parameter",          // 2003
    "version parameter",           // 2004
    "channel parameter",           // 2005
    "statusmode parameter",        // 2006
    "statusmessage parameter",     // 2007
    "content parameter",           // 2008
    "from parameter",              // 2009
    "to parameter",                // 2010
    "fpp parameter",               // 2011
    "type parameter",              // 2012
    "username parameter",          // 2013
    "topic parameter",             // 2014
    "static parameter",            // 2015
    "srcchannel parameter",        // 2016
    "destchannel parameter",       // 2017
    nullptr,                       // 2018
    nullptr,                       // 2019
    nullptr,                       // 2020
    nullptr,                       // 2021
    nullptr,                       // 2022
    nullptr,                       // 2023
    nullptr,                       // 2024
    nullptr,                       // 2025
    nullptr,                       // 2026
    "password parameter",          // 2027
    "motd parameter",              // 2028
    "address parameter",           // 2029
    "framesize parameter",         // 2030
    "encodedframesize parameter",  // 2031
    "transferid parameter",        // 2032
    "diskquota parameter",         // 2033
    "filesroot parameter",         // 2034
};

// Starts with a space, so these messages read "Missing  a parameter" (two spaces).
const char GENERIC_SUFFIX[] = " a parameter";

}  // namespace

std::string GetErrorMessage(int code) {
    if (code >= FIRST_PARAMETER_CODE && code <= LAST_PARAMETER_CODE) {
        const size_t index = static_cast<size_t>(code - FIRST_PARAMETER_CODE);
        const char* suffix = nullptr;
        if (index < std::size(PARAMETER_SUFFIXES)) suffix = PARAMETER_SUFFIXES[index];
        return std::string("Missing ") + (suffix ? suffix : GENERIC_SUFFIX);
    }
    const ErrorText* end = std::end(ERROR_TEXTS);
    const ErrorText* found =
        std::lower_bound(std::begin(ERROR_TEXTS), end, code, [](const ErrorText& e, int c) { return e.code < c; });
    if (found != end && found->code == code) return found->text;
    return "Unknown error";
}

}  // namespace quorvane
