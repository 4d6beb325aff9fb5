#!/usr/bin/env bash
# write --each on a terminal keeps a table of its ports in place: a module in
# its pause shows "writing" with the time left, then "programmed" with its
# channel and the count; the same run into a pipe prints the lines alone.
# Run in a tmux session on a private server, whose screen the test reads.
#   live_table_test.sh MELVIX_MODULE MODULESIM
# Exits with 77, which ctest counts as skipped, where tmux is missing.
set -euo pipefail
command -v tmux >/dev/null || { echo "tmux is not installed: skipped"; exit 77; }
# shellcheck source=tools/lib.sh
source "$(dirname "$0")/../tools/lib.sh"
program=$1
simulator=$2

start_work live-table
server=melvix-table-$$
stop_also=(tmux -L "$server" kill-server)
mkdir "$work/ports"

screen() {
    tmux -L "$server" capture-pane -p -t table
}
# shows PATTERN: the screen holds a line that matches the extended regular
# expression.
shows() {
    screen | grep -qE "$1"
}

# Started from a script, so that the run's status and the summary on stderr
# stay on the screen after it ends.
cat >"$work/line.sh" <<SCRIPT
MELVIX_PORT_DIR='$work/ports' '$program' write --each --channel 42 --ports COM2-COM3
echo "status \$?"
sleep 600
SCRIPT
tmux -L "$server" -f /dev/null new-session -d -s table -x 120 -y 30 bash "$work/line.sh"
if wait_for 100 shows '^0 programmed, 0 failed'; then
    pass "the table is up before any module"
else
    fail "no table on the screen" "$(screen)"
fi
if shows '^COM3 +waiting'; then
    pass "a port of --ports waits"
else
    fail "no waiting row" "$(screen)"
fi

"$simulator" --port-dir "$work/ports" --com 2 --channel 5 >"$work/simulator.out" &
pids+=($!)
# The pause lasts half a second; the screen is read every tenth.
if wait_for 100 shows '^COM2 +writing +WXYZ +storing, [0-9]+ ms left'; then
    pass "the pause is counted down"
else
    fail "no countdown seen" "$(screen)"
fi
if wait_for 100 shows '^COM2 +programmed +WXYZ +channel 42'; then
    pass "the module is shown programmed with its channel"
else
    fail "no programmed row" "$(screen)"
fi
if shows '^1 programmed, 0 failed, [0-9]+ per hour'; then
    pass "the count and rate"
else
    fail "no count of one" "$(screen)"
fi

tmux -L "$server" send-keys -t table C-c
if wait_for 100 shows '^status 0$'; then
    pass "Ctrl+C ends the line"
else
    fail "the line did not end on Ctrl+C" "$(screen)"
fi
# The last frame stays, with the summary below it.
summary=$(screen | grep -n 'melvix-module: 1 programmed, 0 failed' | cut -d: -f1 || true)
programmed=$(screen | grep -nE '^COM2 +programmed' | cut -d: -f1 || true)
if [ -n "$summary" ] && [ -n "$programmed" ] && [ "$programmed" -lt "$summary" ]; then
    pass "the table stays above the summary"
else
    fail "the table or the summary is gone" "$(screen)"
fi

# Into a pipe: the lines alone, without escapes.
MELVIX_PORT_DIR=$work/ports "$program" write --each --channel 43 --ports COM2-COM3 \
    >"$work/piped.out" 2>/dev/null &
line=$!
pids+=("$line")
wait_for 100 test -s "$work/piped.out" || true
kill -TERM "$line"
wait "$line" || true
if grep -qE '^1 [^ ]+ COM2 WXYZ channel 42 -> 43: written and verified$' "$work/piped.out" &&
    [ "$(wc -l <"$work/piped.out")" -eq 1 ] && ! grep -q $'\033' "$work/piped.out"; then
    pass "a pipe gets the line alone"
else
    fail "the piped output changed" "$(cat -v "$work/piped.out")"
fi
[ "$failed" -eq 0 ]
