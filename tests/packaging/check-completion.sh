#!/bin/bash
# The bash completion of quorvane-cli completes its options and, after -c, the words of
# its commands. Usage: check-completion.sh COMPLETION-FILE CLIENT-BINARY
set -u
[ -f /usr/share/bash-completion/bash_completion ] || {
    echo "SKIP: bash-completion is missing (apt-get install bash-completion)"
    exit 77
}
source /usr/share/bash-completion/bash_completion
source "$1"
client=$2
failed=0
# What is typed after the client's name | what completes it
while IFS='|' read -r typed expected; do
    read -r -a words <<<"$typed"
    [ "${typed: -1}" = " " ] && words+=("")
    COMP_WORDS=("$client" "${words[@]}")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$client $typed"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _quorvane_cli "$client" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    if [ "${COMPREPLY[*]}" != "$expected" ]; then
        echo "FAIL: quorvane-cli $typed<Tab> gives \"${COMPREPLY[*]}\", not \"$expected\""
        failed=1
    fi
done <<'CASES'
-c w|who
-c ba|ban bans
--admin root -c s|say stats status setchan server save
--ti|--timeout
--js|--json
--port |
CASES
exit $failed
