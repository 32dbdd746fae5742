#!/bin/sh
# Host test of the man page: it renders without a warning, and its
# CONFIGURATION section documents, section by section, exactly the keys
# that the daemon reads (daemon/config.cc and the list-key table in
# daemon/config.h) and the shipped file sets.
#
#   check-manpage.sh zentroped.8 config/config.txt daemon/config.cc daemon/config.h
# Exit 0 when both hold, 1 when not, 77 (skipped) without groff.
set -u
page=$1 config=$2 source=$3 table=$4
rc=0

if ! command -v groff >/dev/null; then
	echo "check-manpage.sh: groff is not installed; skipped"
	exit 77
fi
warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
	printf 'groff warns about %s:\n%s\n' "$page" "$warnings"
	rc=1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# "section:key" of every key the man page describes: a `.BR key " (` line
# under ".SS Section <name>".
awk '/^\.SH / { on = ($2 == "CONFIGURATION") }
	on && /^\.SS Section / { s = $3 }
	on && s != "" && /^\.BR [a-z_]+ " \(/ { print s ":" $2 }' "$page" | sort >"$tmp/man"
awk '/^\[/ { s = $0; gsub(/[][]/, "", s) }
	/^[a-z_]+ *=/ { k = $0; sub(/ *=.*/, "", k); print s ":" k }' "$config" | sort >"$tmp/config"
{
	grep -o '"global:[a-z_]*"' "$source" | tr -d '"'
	# { "section", "main_key", "usr_key", ... rows of kListKeys
	sed -n 's/^[[:space:]]*{ "\([a-z_]*\)", "\([a-z_]*\)", "\([a-z_]*\)",.*/\1:\2 \1:\3/p' "$table" |
		tr ' ' '\n'
} | sort -u >"$tmp/source"
for f in config source; do
	if ! diff -u "$tmp/$f" "$tmp/man" >"$tmp/diff"; then
		echo "the man page's keys (+) differ from those of $(eval echo \$$f) (-):"
		cat "$tmp/diff"
		rc=1
	fi
done
[ "$(wc -l <"$tmp/man")" -gt 0 ] || { echo "no keys found in $page"; rc=1; }
[ "$rc" -eq 0 ] && echo "check-manpage.sh: $(wc -l <"$tmp/man") keys documented, no warnings"
exit "$rc"
