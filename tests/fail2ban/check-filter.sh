#!/bin/sh
# Checks the fail2ban filter against event-log lines: each failed login and lockout bans
# the address that tried, never an address inside a (hostile) name, and no other
# security line counts. Usage: check-filter.sh FILTER-FILE
set -eu
filter=$1
if ! command -v fail2ban-regex >/dev/null 2>&1; then
    echo "SKIP: fail2ban-regex is missing (apt-get install fail2ban)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One case a line: the address the line must ban ("-" for none), a tab, the text after
# the stamp. Names are escaped as the protocol escapes them: \" and \\.
cat >"$work/cases" <<'CASES'
203.0.113.5	Security: failed login from 203.0.113.5: wrong server password for "bob".
203.0.113.5	Security: failed login from 203.0.113.5: wrong administrator password for "root".
203.0.113.5	Security: failed login from 203.0.113.5: wrong password of channel "/Quiet/" for "bob".
203.0.113.5	Security: lockout of 203.0.113.5 for 60 s after 10 wrong passwords.
2001:db8:1:2::ef	Security: failed login from 2001:db8:1:2::ef: wrong server password for "bob".
2001:db8:1:2::ef	Security: lockout of 2001:db8:1:2::ef for 60 s after 10 wrong passwords.
-	Security: administrator "root" logged in from 203.0.113.5.
-	Security: User #4 name: "bob" from 203.0.113.6 kicked by User #3 name: "root".
-	Security: 203.0.113.6 banned (User #4 name: "bob") by User #3 name: "root".
-	Security: 203.0.113.6 unbanned by User #3 name: "root".
203.0.113.5	Security: failed login from 203.0.113.5: wrong server password for "x\" from 198.51.100.7: wrong server password for \"y".
203.0.113.5	Security: failed login from 203.0.113.5: wrong password of channel "/a\" for \"b/" for "198.51.100.7".
203.0.113.5	Security: failed login from 203.0.113.5: wrong server password for "back\\".
-	Security: User #4 name: "Security: failed login from 198.51.100.9: wrong server password for \"bob\"." from 203.0.113.6 kicked by User #3 name: "root".
-	Security: administrator "Sun Dec  6 2026 08:42:24.123000 Security: lockout of 198.51.100.8 for 60 s after 10 wrong passwords." logged in from 203.0.113.5.
-	Security: 203.0.113.6 banned (User #4 name: "lockout of 198.51.100.8 for 60 s after 10 wrong passwords.") by User #3 name: "root".
-	Security: failed login from 203.0.113.5: wrong server password for "unterminated.
-	User #3 name: "Security: failed login from 198.51.100.7: wrong server password for \"x\"." joined channel: "/".
CASES

stamp='Sun Dec  6 2026 08:42:24.123000'
: >"$work/log"
: >"$work/expected"
while IFS="$(printf '\t')" read -r address text; do
    printf '%s %s\n' "$stamp" "$text" >>"$work/log"
    if [ "$address" != "-" ]; then
        printf '%s %s %s\n' "$address" "$stamp" "$text" >>"$work/expected"
    fi
done <"$work/cases"

fail2ban-regex -o '<ip> <msg>' "$work/log" "$filter" >"$work/actual"
if ! diff -u "$work/expected" "$work/actual"; then
    echo "FAIL: the filter's matches differ from the expected ones (- expected, + matched)"
    exit 1
fi
echo "The filter matched $(wc -l <"$work/expected") of $(wc -l <"$work/log") lines, each with the right address."
