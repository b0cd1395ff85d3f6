#!/usr/bin/env bash
# The service as an operator meets it, under a real systemd: boots a throw-away container
# (this machine's own root file system under an overlay whose changes live in memory,
# systemd as PID 1, no network but loopback), then checks -i and -u of a plain binary,
# installs the Debian package and checks the service: active only once both ports
# listen, its status line and start line, a client's login, a reload, a stop, a kill,
# a broken settings file refused before a start, a reload and a reinstallation (the
# running server serving on), /health, the program run by hand with --data-dir, the
# watchdog, the voice thread's priority, the sandbox's exposure score, logrotate, the
# package's first settings and event log, the fail2ban jail without the event log beside
# another jail, removal and purge.
#
# Usage: tests/systemd/run.sh [DEB-DIR]   (default: build/deb, built when it has no package)
#
# Skips with one line (exit 0) when the machine cannot boot such a container. Prints
# "N passed, M failed" at the end and exits 1 when a check failed.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
debs=$(realpath -m "${1:-$repo/build/deb}")

skip() {
    echo "SKIP: the systemd test cannot run here: $*"
    exit 0
}
[ "$(id -u)" -eq 0 ] || skip "it needs root"
command -v systemd-nspawn >/dev/null 2>&1 || skip "systemd-nspawn is missing (apt-get install systemd-container)"
command -v nsenter >/dev/null 2>&1 || skip "nsenter is missing"
grep -qw overlay /proc/filesystems || skip "the kernel has no overlay file system"

if ! ls "$debs"/quorvane-server_*.deb >/dev/null 2>&1; then
    bash "$repo/packaging/build-deb.sh" "$debs" || { echo "FAIL: the package could not be built"; exit 1; }
fi

work=$(mktemp -d /tmp/quorvane-systemd.XXXXXX)
root=$work/root
layer=$work/layer
nspawn_pid=""
leader=""
cleanup() {
    if [ -n "${QUORVANE_SYSTEMD_KEEP:-}" ] && [ -n "$leader" ]; then
        echo "Kept the container: nsenter -t $leader -a; then kill $nspawn_pid, umount $root $layer"
        return
    fi
    if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
        kill "$nspawn_pid" 2>/dev/null  # nspawn powers the container off
        for _ in $(seq 150); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
        kill -9 "$nspawn_pid" 2>/dev/null
    fi
    mountpoint -q "$root" && umount "$root"
    mountpoint -q "$layer" && umount "$layer"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# --- The container ---
mkdir -p "$root" "$layer"
mount -t tmpfs -o size=4g tmpfs "$layer" || skip "cannot mount a tmpfs"
mkdir "$layer/up" "$layer/work"
mount -t overlay overlay -o "lowerdir=/,upperdir=$layer/up,workdir=$layer/work" "$root" ||
    skip "cannot mount an overlay of the root file system"
# What this machine starts at boot has no business in the test's container, nor a
# policy that forbids packages to start their services (as container images have).
rm -f "$root"/etc/systemd/system/*.wants/* "$root/usr/sbin/policy-rc.d"
systemd-nspawn --quiet --register=no --keep-unit --private-network -D "$root" \
    --bind-ro="$debs:/mnt/quorvane" -b >"$work/console.log" 2>&1 &
nspawn_pid=$!

# Polls a command (every 0.2 s) until it succeeds or the seconds have passed.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}
container_leader() {
    leader=$(pgrep -P "$nspawn_pid" -x systemd | head -n 1)
    [ -n "$leader" ]
}
if ! wait_for 30 container_leader; then
    skip "the container did not boot ($(tail -n 1 "$work/console.log"))"
fi
inside() { nsenter -t "$leader" -a -- "$@"; }
wait_for 30 inside test -S /run/systemd/private
state=$(inside timeout 60 systemctl is-system-running --wait 2>"$work/state.err")
case "$state" in
running | degraded) ;;
*) skip "the container's systemd did not come up (state: ${state:-none}; $(head -c 200 "$work/state.err"))" ;;
esac

# --- Checks ---
passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@" >/dev/null; then
        passed=$((passed + 1))
        echo "ok - $what"
    else
        failed=$((failed + 1))
        echo "FAIL - $what"
        return 1
    fi
}
unit=quorvane-server
prop() { inside systemctl show -p "$2" --value "$1"; }
# What the service's current run wrote to the journal.
journal() { inside journalctl -q -o cat "_SYSTEMD_INVOCATION_ID=$(prop "$unit" InvocationID)" "$@"; }
listening() { inside ss -H -ltn 'sport = :10300' | grep -q . && inside ss -H -lun 'sport = :10301' | grep -q .; }
settings=/var/lib/quorvane/QuorvaneService.xml
journal_has() { journal | grep -qF -- "$1"; }
# Signals the service's main process; never "process" 0, which would be this script's group.
signal_main() { [ "${2:-0}" -gt 1 ] && inside kill "$1" "$2"; }
systemd_said() { inside journalctl -q -u "$unit" | grep -qF -- "$1"; }
status_is() { [ "$(prop "$unit" StatusText)" = "$1" ]; }
no_network_online() { ! inside systemctl show -p After,Wants "$unit" | grep -q network-online; }

# -i and -u of a plain binary, before the package is there.
inside mkdir -p /opt/quorvane /tmp/extract
inside sh -c "dpkg-deb -x /mnt/quorvane/$(basename "$(ls "$debs"/quorvane-server_*.deb | tail -n 1)") /tmp/extract"
inside cp /tmp/extract/usr/sbin/quorvane-server /opt/quorvane/
out=$(inside /opt/quorvane/quorvane-server -i -l nosuchuser 2>&1)
check "-i -l refuses a user that does not exist" test $? -eq 1 -a "$out" = "Unable to install Quorvane Server - the user nosuchuser does not exist"
inside useradd --system --no-create-home quorvane-plain
inside chown quorvane-plain /opt/quorvane
out=$(inside /opt/quorvane/quorvane-server -i -l quorvane-plain 2>&1)
check "-i installs the unit for the plain binary" test $? -eq 0 -a "$(inside systemctl is-enabled "$unit")" = enabled
check "-i names the directory its user must write" grep -q "must be able to write /opt/quorvane" <<<"$out"
out=$(inside /opt/quorvane/quorvane-server -s 2>&1)
check "-s starts it" test $? -eq 0 -a "$(prop "$unit" ActiveState)" = active
check "its files stay beside the program" inside test -f /opt/quorvane/QuorvaneService.xml
check "it runs as the user of -l" test "$(inside ps -o user= -p "$(prop "$unit" MainPID)")" = quorvane-plain
out=$(inside /opt/quorvane/quorvane-server -u 2>&1)
check "-u stops and removes it" test $? -eq 0 -a ! -e "$root/etc/systemd/system/$unit.service" \
    -a "$(prop "$unit" LoadState)" = not-found
inside userdel quorvane-plain

# The package.
server_deb=$(basename "$(ls "$debs"/quorvane-server_*.deb | tail -n 1)")
cli_deb=$(basename "$(ls "$debs"/quorvane-cli_*.deb | tail -n 1)")
inside env DEBIAN_FRONTEND=noninteractive dpkg -i "/mnt/quorvane/$server_deb" "/mnt/quorvane/$cli_deb" >"$work/dpkg.log" 2>&1
installed=$?
check "the package installs" test $installed -eq 0
if [ $installed -ne 0 ]; then
    tail -n 30 "$work/dpkg.log"
    echo "systemd: $passed passed, $((failed + 1)) failed"
    exit 1
fi
check "it creates the system user quorvane" inside id -u quorvane
check "it enables the service" test "$(inside systemctl is-enabled "$unit")" = enabled
check "the service is active once installed" test "$(prop "$unit" ActiveState)" = active
check "active means both ports listen" listening
status=$(inside systemctl status --no-pager "$unit")
check "systemctl status shows its status line" grep -q 'Status: "Running: TCP 10300, UDP 10301, 0 users"' <<<"$status"
main=$(prop "$unit" MainPID)
check "it runs as quorvane" test "$(inside ps -o user= -p "$main")" = quorvane
check "its files are in the state directory" inside test -f "$settings" -a -f /var/lib/quorvane/BanList.xml
check "its first settings have the event log on" inside grep -q '<server-logging>true</server-logging>' "$settings"
check "its settings are 0600 and the event log 0640, both owned by quorvane" \
    test "$(inside stat -c '%a %U' "$settings" /var/lib/quorvane/QuorvaneService.log | tr '\n' ' ')" = \
    "600 quorvane 640 quorvane "
check "it installs the client's bash completion and the Grafana dashboard" inside test \
    -f /usr/share/bash-completion/completions/quorvane-cli -a \
    -f /usr/share/doc/quorvane-server/examples/grafana/quorvane-server.json
package_version=$(inside dpkg-query -W -f '${Version}' quorvane-server)
check "both programs say the package's version ($package_version)" test \
    "$(inside quorvane-server --version | awk '{print $NF}') $(inside quorvane-cli --version | awk '{print $2}')" = \
    "$package_version $package_version"
start_line=$(journal | grep "Quorvane Server started: ")
check "the start line names ports and files root, once" test "$(grep -c . <<<"$start_line")" -eq 1 -a \
    "${start_line%%, voice thread*}" = "Quorvane Server started: TCP 10300 and UDP 10301 on every address, file sharing off"
fifo_threads=$(inside ps -L -o cls= -p "$main" | grep -c FF)
if grep -q "voice thread: real-time priority 1" <<<"$start_line"; then
    check "the voice thread runs at real-time priority 1, as the start line says" test "$fifo_threads" -eq 1
else
    check "no thread runs at real-time priority, as the start line says" test "$fifo_threads" -eq 0
fi
echo "   ($start_line)"
echo "   (the unit's LimitRTPRIO=$(prop "$unit" LimitRTPRIO); the process has$(inside grep -o 'Max realtime priority.*' "/proc/$main/limits" | tr -s ' ' | cut -d' ' -f4-5 | sed 's/^/ soft /; s/ / hard /3'))"
out=$(inside env QUORVANE_PASSWORD= quorvane-cli --host 127.0.0.1 --user tester -c "join /" -c stats 2>&1)
check "quorvane-cli logs in" test $? -eq 0 -a -n "$(grep '^users_online' <<<"$out")" || echo "$out"
check "no network-online wait" no_network_online
out=$(inside quorvane-server -i 2>&1)
check "-i refuses to override the package's unit" test $? -eq 1 -a ! -e "$root/etc/systemd/system/$unit.service"
echo "   ($out)"

# Reload: a connected client gets serverupdate.
inside bash -c 'exec 3<>/dev/tcp/127.0.0.1/10300; timeout 60 cat <&3 >/tmp/client.log' &
client=$!
wait_for 10 inside grep -q '^welcome' /tmp/client.log
inside sed -i 's|<server-name>[^<]*</server-name>|<server-name>Renamed</server-name>|; s|<server-logging>false<|<server-logging>true<|; s|<metrics-address>[^<]*</metrics-address>|<metrics-address />|; s|<metrics-address */>|<metrics-address>127.0.0.1:10302</metrics-address>|' "$settings"
inside systemctl reload "$unit"
check "systemctl reload succeeds" test $? -eq 0
check "a connected client gets serverupdate" wait_for 10 inside grep -q 'serverupdate servername="Renamed"' /tmp/client.log
check "the reload names each change" wait_for 10 journal_has 'Reload: server-name changed from "Quorvane Server" to "Renamed".'
check "it is active with its status after the reload" wait_for 10 status_is "Running: TCP 10300, UDP 10301, 0 users"
check "the main process stayed" test "$(prop "$unit" MainPID)" = "$main"
kill "$client" 2>/dev/null

# /health on the metrics address the reload moved to.
health() { inside bash -c 'exec 3<>/dev/tcp/127.0.0.1/10302; printf "GET /health HTTP/1.0\r\n\r\n" >&3; cat <&3'; }
healthy() { health | tr -d '\r' | grep -qx 'Running: TCP 10300, UDP 10301, 0 users' && health | grep -q '^HTTP/1.1 200'; }
check "GET /health answers 200 with the running status" wait_for 10 healthy ||
    { echo "   ($(health 2>&1 | tr -d '\r' | tr '\n' ' ' | head -c 300))"; journal | tail -n 5; inside grep metrics "$settings"; }

# A broken file and a reload: the check refuses it, the reload fails visibly, and the
# running server serves on with what it had.
inside cp "$settings" /tmp/settings.xml
inside sed -i 's|<password-lockout>[^<]*</password-lockout>|<password-lockout>ten</password-lockout>|' "$settings"
out=$(inside systemctl reload "$unit" 2>&1)
check "systemctl reload with a broken file fails" test $? -ne 0
echo "   ($(head -n 1 <<<"$out"))"
check "the journal says what is wrong, with its line" journal_has 'password-lockout is "ten"; it must be a number'
check "the server serves on: same process, active, listening" test "$(prop "$unit" MainPID)" = "$main" -a \
    "$(prop "$unit" ActiveState)" = active
check "and answers" listening
check "the refused file never reached it" test "$(journal | grep -c 'Reload failed')" -eq 0
inside cp /tmp/settings.xml "$settings"

# Reinstalling with a broken file: the package says what is wrong and does not restart.
inside sed -i 's|<password-lockout>[^<]*</password-lockout>|<password-lockout>ten</password-lockout>|' "$settings"
out=$(inside env DEBIAN_FRONTEND=noninteractive dpkg -i "/mnt/quorvane/$server_deb" 2>&1)
check "reinstalling with a broken file: dpkg succeeds" test $? -eq 0
check "and says what is wrong instead of a failed systemctl" grep -q 'password-lockout is "ten"' <<<"$out"
grep -q "Could not execute systemctl" <<<"$out" && check "no failed systemctl" false
check "the running server was not restarted" test "$(prop "$unit" MainPID)" = "$main" -a \
    "$(prop "$unit" ActiveState)" = active
inside cp /tmp/settings.xml "$settings"

# The program by hand: as root it leaves the service's directory alone and says how to
# run it; its check reads the service's file; --data-dir keeps everything there.
out=$(inside quorvane-server -d 2>&1)
check "by hand as root it refuses the service's directory, saying how" test $? -eq 2
grep -q "/var/lib/quorvane is the service's data directory, owned by quorvane" <<<"$out" || echo "   ($out)"
out=$(inside quorvane-server --check 2>&1)
check "by hand its --check reads /var/lib/quorvane/QuorvaneService.xml" grep -q "^$settings: the server would start from it" <<<"$out"
before=$(inside ls -A /var/lib/quorvane /usr/sbin | md5sum)
inside sh -c "mkdir -p /tmp/hand && sed 's|<hostport>10300<|<hostport>10400<|; s|<soundport>10301<|<soundport>10401<|; s|<metrics-address>[^<]*<|<metrics-address><|; s|<server-logging>false<|<server-logging>true<|' $settings >/tmp/hand/QuorvaneService.xml"
hand=$(inside sh -c 'quorvane-server --data-dir /tmp/hand -f >/tmp/hand.out 2>&1 & echo $!')
hand_listens() { inside ss -H -ltn 'sport = :10400' | grep -q .; }
check "--data-dir by hand: it serves" wait_for 20 hand_listens
inside kill "$hand"
wait_for 20 sh -c "! nsenter -t $leader -a -- kill -0 $hand"
check "its files are in the data directory" inside test -f /tmp/hand/BanList.xml -a -f /tmp/hand/FilesList.xml \
    -a -f /tmp/hand/QuorvaneService.log
check "nothing was written in /usr/sbin or /var/lib/quorvane" test "$(inside ls -A /var/lib/quorvane /usr/sbin | md5sum)" = "$before"

# logrotate moves the event log away; the reload it asks for reopens the log.
inside logrotate -f /etc/logrotate.d/quorvane-server
check "logrotate rotates the event log" inside test -f /var/lib/quorvane/QuorvaneService.log.1
inside bash -c 'exec 3<>/dev/tcp/127.0.0.1/10300; read -t 10 -r line <&3'
check "the server writes to the new log" wait_for 10 inside grep -q 'connected' /var/lib/quorvane/QuorvaneService.log

# A clean stop, counted as success.
inside systemctl stop "$unit"
check "systemctl stop: exit 0, result success" test "$(prop "$unit" ExecMainStatus)" = 0 -a "$(prop "$unit" Result)" = success

# The TLS port, as the README tells an operator to set it up: a certificate made here (a CA
# and a server certificate for localhost), the key readable by the service's user only.
inside sh -c 'cd /tmp && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=CA &&
    openssl req -newkey rsa:2048 -nodes -keyout key.pem -out req.csr -subj /CN=localhost &&
    printf "subjectAltName=DNS:localhost,IP:127.0.0.1\n" >ext &&
    openssl x509 -req -in req.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out cert.pem -days 2 -extfile ext &&
    install -d -o quorvane -g quorvane -m 0750 /var/lib/quorvane/tls &&
    install -o quorvane -g quorvane -m 0644 cert.pem /var/lib/quorvane/tls/fullchain.pem &&
    install -o quorvane -g quorvane -m 0600 key.pem /var/lib/quorvane/tls/privkey.pem' >/dev/null 2>&1
inside sed -i -e 's|<tls-port>[^<]*</tls-port>|<tls-port>10443</tls-port>|' \
    -e 's|<certificate-file */>|<certificate-file>/var/lib/quorvane/tls/fullchain.pem</certificate-file>|' \
    -e 's|<privatekey-file */>|<privatekey-file>/var/lib/quorvane/tls/privkey.pem</privatekey-file>|' "$settings"
inside systemctl start "$unit"
main=$(prop "$unit" MainPID)
tls_listens() { inside ss -H -ltn 'sport = :10443' | grep -q .; }
check "with tls-port it listens on the TLS port too" wait_for 20 tls_listens
out=$(inside env QUORVANE_PASSWORD= quorvane-cli --host localhost --port 10443 --udp-port 10301 --tls --ca /tmp/ca.pem \
    --user secure -c "join /" -c stats 2>&1)
check "quorvane-cli logs in over TLS" test $? -eq 0 -a -n "$(grep '^users_online' <<<"$out")" || echo "$out"

# kill -9: restarted.
signal_main -KILL "$main"
new_main() { local pid; pid=$(prop "$unit" MainPID); [ "$pid" != 0 ] && [ "$pid" != "$main" ] && [ "$(prop "$unit" ActiveState)" = active ]; }
check "after kill -9 systemd restarts it" wait_for 20 new_main
check "and it listens again" wait_for 10 listening
main=$(prop "$unit" MainPID)

# The watchdog: a main loop that does not run is restarted (a shorter period here).
inside mkdir -p "/etc/systemd/system/$unit.service.d"
inside sh -c "printf '[Service]\nWatchdogSec=3s\n' >/etc/systemd/system/$unit.service.d/watchdog.conf"
inside systemctl daemon-reload
inside systemctl restart "$unit"
main=$(prop "$unit" MainPID)
wait_for 10 listening
signal_main -STOP "$main"
check "a stopped main loop misses the watchdog and is restarted" wait_for 30 new_main
check "the journal says why" systemd_said "Watchdog timeout"
inside rm -r "/etc/systemd/system/$unit.service.d"
inside systemctl daemon-reload
inside systemctl restart "$unit"

# A broken settings file: refused by the check before the start (exit 2), not
# restarted, the reason in the journal and in systemctl status.
inside cp "$settings" /tmp/settings.xml
inside sh -c "echo '<quorvane><hosting>' >$settings"
restarts=$(prop "$unit" NRestarts)
inside systemctl restart "$unit" 2>/dev/null
check "a broken settings file: ExecStartPre's check fails with 2" \
    grep -q 'ExecStartPre=.*--check.*status=2' <<<"$(inside systemctl show -p ExecStartPre "$unit")"
check "the server itself never ran" test "$(prop "$unit" ExecMainPID)" = 0
check "not restarted" test "$(prop "$unit" SubState)" = failed -a "$(prop "$unit" NRestarts)" = "$restarts" ||
    echo "   SubState $(prop "$unit" SubState), NRestarts $(prop "$unit" NRestarts) (was $restarts)"
check "systemctl status says why" grep -q 'failed to read settings file' <<<"$(inside systemctl status --no-pager -n 20 "$unit")" ||
    inside systemctl status --no-pager -n 20 "$unit"
check "the journal says why, once" test "$(journal | grep -c 'failed to read settings file')" -eq 1
inside cp /tmp/settings.xml "$settings"
inside systemctl reset-failed "$unit"
inside systemctl start "$unit"
check "it starts again with the file mended" test "$(prop "$unit" ActiveState)" = active

# The sandbox: what the unit allows the service.
exposure=$(inside systemd-analyze security --no-pager "$unit" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
echo "   systemd-analyze security $unit: exposure $exposure"
check "exposure score below 2.0" awk -v x="$exposure" 'BEGIN { exit !(x != "" && x < 2.0) }'

# The fail2ban example: fail2ban takes it as a jail of its own (with no other jail).
if inside sh -c 'command -v fail2ban-client' >/dev/null; then
    examples=/usr/share/doc/quorvane-server/examples/fail2ban
    inside sh -c "cp -r /etc/fail2ban /tmp/fail2ban && rm -f /tmp/fail2ban/jail.d/* &&
        cp $examples/filter.d/quorvane-server.conf /tmp/fail2ban/filter.d/ &&
        cp $examples/jail.d/quorvane-server.conf /tmp/fail2ban/jail.d/"
    check "fail2ban accepts the jail and filter" inside sh -c 'fail2ban-client -c /tmp/fail2ban --test 2>&1'

    # The jail as an operator installs it, beside another jail, under the real fail2ban:
    # without the event log it loads and the other jail runs; it watches the log once a
    # reload finds it.
    inside sh -c "rm -f /etc/fail2ban/jail.d/* /etc/fail2ban/jail.local &&
        cp $examples/filter.d/quorvane-server.conf /etc/fail2ban/filter.d/ &&
        cp $examples/jail.d/quorvane-server.conf /etc/fail2ban/jail.d/ && : >/var/log/neighbour.log &&
        printf '[neighbour]\nenabled = true\nfilter = sshd\nlogpath = /var/log/neighbour.log\n' \
            >/etc/fail2ban/jail.d/neighbour.conf"
    both_jails() { inside fail2ban-client status | grep -q 'Jail list:.*neighbour' &&
        inside fail2ban-client status | grep -q 'Jail list:.*quorvane-server'; }
    watches_log() { inside fail2ban-client get quorvane-server logpath | grep -q QuorvaneService.log; }
    inside mv /var/lib/quorvane/QuorvaneService.log /tmp/QuorvaneService.log.away
    check "with no event log, fail2ban-client -t passes with the jail enabled" inside sh -c 'fail2ban-client -t 2>&1'
    inside systemctl restart fail2ban
    check "fail2ban runs the jail and another one with no event log" wait_for 30 both_jails
    inside systemctl reload "$unit"  # the server makes its event log again
    wait_for 10 inside test -f /var/lib/quorvane/QuorvaneService.log
    inside fail2ban-client reload >/dev/null 2>&1
    check "after fail2ban's reload the jail watches the event log" wait_for 30 watches_log
fi

# Removal stops it; purging removes the state.
inside env DEBIAN_FRONTEND=noninteractive dpkg -r quorvane-server >>"$work/dpkg.log" 2>&1
check "removing the package stops the service" test "$(prop "$unit" ActiveState)" != active -a -d "$root/var/lib/quorvane"
inside env DEBIAN_FRONTEND=noninteractive dpkg --purge quorvane-server >>"$work/dpkg.log" 2>&1
check "purging removes /var/lib/quorvane" test ! -e "$root/var/lib/quorvane"
if inside systemctl --quiet is-active fail2ban 2>/dev/null; then
    inside fail2ban-client reload >/dev/null 2>&1
    check "after the purge fail2ban reloads with the jail, and the other jail runs" wait_for 30 both_jails
    inside systemctl stop fail2ban
fi

echo "systemd: $passed passed, $failed failed"
if [ "$failed" -ne 0 ]; then
    echo "--- journal of $unit ---"
    journal --no-pager | tail -n 40
    exit 1
fi
