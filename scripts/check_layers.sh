#!/usr/bin/env bash
# Fails when a file in src/ includes a folder above its own, or the protocol core a thread,
# lock, clock or file header. The order is the one in
# ARCHITECTURE.md; "vyra/" (include/) is the public ABI and may be included anywhere.
# Usage: scripts/check_layers.sh [SRC_DIR]
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}

# Each folder with the folders it may include besides itself.
declare -A may=(
  [platform]=""
  [support]="platform"
  [framework]="support platform"
  [resources]="framework support platform"
  [serial]="framework support platform"
  [protocol]="support"
  [discovery]="device protocol serial resources framework support platform"
  [device]="serial protocol resources framework support platform"
  [hostcmd]="discovery device protocol serial resources framework support platform"
  [api]="hostcmd device discovery protocol serial resources framework support platform"
)

status=0
while IFS= read -r hit; do
  file=${hit%%:*}
  rest=${hit#*:}
  target=$(sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/' <<<"$rest")
  rel=${file#"$src"/}
  from=${rel%%/*}
  to=${target%%/*}
  [[ $target == */* ]] || continue
  [[ $to == "$from" || $to == vyra ]] && continue
  if [[ -z ${may[$from]+x} ]]; then
    echo "check_layers: $rel: folder '$from' has no place in the layer order" >&2
    status=1
    continue
  fi
  if [[ " ${may[$from]} " == *" $to "* ]]; then continue; fi
  echo "check_layers: upward include: $rel includes $target ($from may include: ${may[$from]:-nothing})" >&2
  status=1
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$src" --include='*.h' --include='*.cpp')

# The protocol core is single-threaded and does no I/O: no threads, locks, atomics, clocks or files.
while IFS= read -r hit; do
  echo "check_layers: the protocol core takes no thread, lock, clock or file: ${hit#"$src"/}" >&2
  status=1
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(atomic|mutex|shared_mutex|thread|condition_variable|future|chrono|ctime|fstream)>' \
  "$src/protocol" --include='*.h' --include='*.cpp')

[[ $status == 0 ]] && echo "check_layers: no upward include in $src"
exit $status
