#!/bin/bash
# Installs the build into a throwaway DESTDIR, as make install does, and checks what a user
# gets: the programs, man pages that render without warnings and document every long option
# their --help lists, and a bash completion that offers each of quarrow's.
set -eu
build=$1 dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR=$dest cmake --install "$build" --prefix /usr/local >/dev/null
root=$dest/usr/local
cmp <("$root/bin/quarrow" --version) <("$build/quarrow" --version) || fail "installed quarrow differs"

long_options() { "$1" --help | sed -n 's/^ *\(-[a-zA-Z], \)\{0,1\}\(--[a-z][a-z-]*\).*/\2/p'; }

for command in quarrow quarrow-cluster; do
    page=$root/share/man/man1/$command.1
    [ -f "$page" ] || fail "no man page $page"
    warnings=$(groff -man -Tascii -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$command.1 renders with warnings: $warnings"
    # Wide lines without hyphenation, so that no option name is broken.
    text=$(groff -man -Tascii -P-c -P-b -P-u -rLL=2000n -rHY=0 "$page")
    options=$(long_options "$root/bin/$command")
    [ -n "$options" ] || fail "$command --help lists no options"
    for option in $options; do
        grep -q -e "$option\([^a-z-]\|$\)" <<<"$text" || fail "$command.1 does not document $option"
    done
done

completion=$root/share/bash-completion/completions/quarrow
offered=$(bash -c 'compopt() { :; }; source "$1"; COMP_WORDS=(quarrow --); COMP_CWORD=1
    _quarrow; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion")
missing=$(comm -23 <(long_options "$root/bin/quarrow" | sort) <(sort <<<"$offered"))
[ -z "$missing" ] || fail "completion does not offer $missing"
cmp "$completion" "$root/share/bash-completion/completions/quarrow-cluster" ||
    fail "quarrow-cluster has no completion"
echo "install tree complete"
