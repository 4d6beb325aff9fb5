#!/usr/bin/env bash
# What the README and the program's manual page say about the exclusive open
# must match what the lock does: it stops other copies of the program and
# ordinary users, not root, nor a program that ignores the advisory lock.
#   docs_test.sh SOURCE_DIR
set -euo pipefail
# shellcheck source=tools/lib.sh
source "$(dirname "$0")/../tools/lib.sh"
source_dir=$1
for doc in README.md packaging/melvix-programmer.1; do
    # Joined into one line, since a sentence may break anywhere.
    text=$(sed 's/\\f[BIRP]//g; s/^\.[A-Z]* //' "$source_dir/$doc" | tr '\n' ' ' | tr -s ' ')
    if grep -qiE 'no other program can (open|use)' <<<"$text"; then
        fail "$doc claims that no other program can open a held port"
    fi
    for needed in 'TIOCEXCL' 'CAP_SYS_ADMIN' 'advisory lock' 'root'; do
        if ! grep -qF "$needed" <<<"$text"; then
            fail "$doc does not say what the lock does with '$needed'"
        fi
    done
done
[ "$failed" -eq 0 ] || exit 1
echo "README.md and melvix-programmer(1) say what the exclusive open stops"
