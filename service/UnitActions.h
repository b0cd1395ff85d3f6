// The actions on the program's systemd unit that the command line asks for: install
// (-i, as a user with -l, with its files in the directory of --data-dir), uninstall (-u), start (-s) and stop (-e), carried out through
// ServiceManager with their progress printed, a dot a second while a start or stop is
// pending. Each answers the process exit status.
//
// Threads: the main thread of a short-lived process.
#ifndef QUORVANE_SERVICE_UNITACTIONS_H
#define QUORVANE_SERVICE_UNITACTIONS_H

#include <string>

class UnitActions {
public:
    // name: the service's ("Quorvane Server"), from which the unit's is made. account,
    // password and dataDirectory: -l, -p and --data-dir, empty when not given.
    UnitActions(const std::string& name, const std::string& account, const std::string& password,
                const std::string& dataDirectory);

    int Install();
    int Uninstall();
    int Start();
    int Stop();

private:
    // Stops the unit if it runs and waits; 1 when it stopped, 0 when it failed to, -1
    // when it was not running (nothing printed).
    int StopRunning();
    // "Unable to <verb> Quorvane Server - <why>" on standard output; the failed status.
    int Fail(const char* verb, const std::string& why) const;

    const std::string name_;
    const std::string account_;
    const std::string password_;
    const std::string dataDirectory_;
};

#endif
