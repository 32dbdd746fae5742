#!/usr/bin/env bash
# The module's files in layers, lowest first: a file may include its own
# header and the headers of lower layers only, so no code reaches up.
set -euo pipefail
kmod=${1:?usage: kmod_layers.sh KMOD_DIR}

layers=(
	"compat stats utils zentrope_event mark_codec keyed_set"
	"dns ftrace_hook block_hash rule_lists proc_lists event_fmt xattr_mark"
	"fileid decide ima_crypto"
	"file_verdict exec_record msg zentrope_cmd"
	"net_verdict"
	"exec tasks net protect"
	"hooks zentrope_sysctl zentrope_proc"
	"test_knobs"
	"zentrope_main"
)
declare -A layer
for i in "${!layers[@]}"; do
	for stem in ${layers[$i]}; do layer[$stem]=$i; done
done

bad=0
for f in "$kmod"/*.[ch]; do
	stem=$(basename "${f%.[ch]}")
	if [[ -z ${layer[$stem]:-} ]]; then
		echo "$f: in no layer; place it in $0" >&2
		bad=1
		continue
	fi
	while read -r inc; do
		to=${inc%.h}
		[[ $to == "$stem" ]] && continue
		if [[ -z ${layer[$to]:-} || ${layer[$to]} -ge ${layer[$stem]} ]]; then
			echo "$f includes $inc: not of a lower layer" >&2
			bad=1
		fi
	done < <(grep -oP '^#include "\K[^"]+' "$f")
done
exit $bad
