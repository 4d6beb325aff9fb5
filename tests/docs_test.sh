#!/usr/bin/env bash
# What the README and the program's manual page say about the exclusive open
# must match what the lock does: it stops other copies of the program and
# ordinary users, not root, nor a program that ignores the advisory lock.
#   docs_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
failures=0
for doc in README.md packaging/melvix-programmer.1; do
    # Joined into one line, since a sentence may break anywhere.
    text=$(sed 's/\\f[BIRP]//g; s/^\.[A-Z]* //' "$source_dir/$doc" | tr '\n' ' ' | tr -s ' ')
    if grep -qiE 'no other program can (open|use)' <<<"$text"; then
        echo "FAIL: $doc claims that no other program can open a held port" >&2
        failures=$((failures + 1))
    fi
    for needed in 'TIOCEXCL' 'CAP_SYS_ADMIN' 'advisory lock' 'root'; do
        if ! grep -qF "$needed" <<<"$text"; then
            echo "FAIL: $doc does not say what the lock does with '$needed'" >&2
            failures=$((failures + 1))
        fi
    done
done
[ "$failures" -eq 0 ] || exit 1
echo "README.md and melvix-programmer(1) say what the exclusive open stops"
