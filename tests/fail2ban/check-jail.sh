#!/bin/sh
# fail2ban takes the packaged jail with its filter while the event log does not exist:
# its configuration test passes with the jail enabled, beside another jail. Usage:
# check-jail.sh PACKAGING-FAIL2BAN-DIR
set -eu
examples=$1
if ! command -v fail2ban-client >/dev/null 2>&1 || [ ! -f /etc/fail2ban/jail.conf ]; then
    echo "SKIP: fail2ban is missing (apt-get install fail2ban)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r /etc/fail2ban "$work/config"
rm -f "$work/config/jail.d/"* "$work/config/jail.local"
cp "$examples/filter.d/quorvane-server.conf" "$work/config/filter.d/"
# The shipped jail with its event log somewhere it surely is not.
sed "s|/var/lib/quorvane/QuorvaneService.log|$work/absent/QuorvaneService.log|" \
    "$examples/jail.d/quorvane-server.conf" >"$work/config/jail.d/quorvane-server.conf"
printf '[neighbour]\nenabled = true\nfilter = quorvane-server\nlogpath = %s\n' "$work/present.log" \
    >"$work/config/jail.d/neighbour.conf"
: >"$work/present.log"
if ! fail2ban-client -c "$work/config" -t >"$work/test" 2>&1; then
    cat "$work/test"
    echo "FAIL: fail2ban-client -t refuses the configuration while the event log is missing"
    exit 1
fi
fail2ban-client -c "$work/config" -d >"$work/dump" 2>/dev/null
for jail in quorvane-server neighbour; do
    grep -q "\['add', '$jail'" "$work/dump" || { echo "FAIL: the jail $jail is not in the configuration"; exit 1; }
done
echo "fail2ban takes the jail without its log, beside another jail."
