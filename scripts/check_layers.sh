#!/usr/bin/env bash
# Fails when a file in src/ includes a folder above its own. The order is the one in
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
  [discovery]="serial resources framework support platform"
  [device]="serial protocol resources framework support platform"
  [hostcmd]="device protocol serial resources framework support platform"
  [api]="hostcmd device discovery protocol serial resources framework support platform"
)

# Includes that ran upward before the layering was checked; each is paid off by the change that
# splits the device object, and an entry that no longer occurs fails too, so the list only shrinks.
known=(
  "protocol/channels.cpp -> serial/dura_serial.h"
  "protocol/dispatcher.cpp -> framework/log.h"
  "protocol/dispatcher.cpp -> serial/dura_serial.h"
  "protocol/fields.cpp -> platform/codepage.h"
  "protocol/identify.cpp -> framework/log.h"
  "protocol/identify.cpp -> serial/dura_serial.h"
  "protocol/samples.cpp -> serial/dura_serial.h"
  "protocol/waveform.cpp -> serial/dura_serial.h"
  "serial/dura_serial.h -> hostcmd/host_command_record.h"
  "serial/dura_serial.h -> protocol/channel_record.h"
)

status=0
declare -A seen=()
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
  edge="$rel -> $target"
  for k in "${known[@]}"; do
    if [[ $k == "$edge" ]]; then
      seen[$edge]=1
      continue 2
    fi
  done
  echo "check_layers: upward include: $rel includes $target ($from may include: ${may[$from]:-nothing})" >&2
  status=1
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$src" --include='*.h' --include='*.cpp')

for k in "${known[@]}"; do
  if [[ -z ${seen[$k]+x} ]]; then
    echo "check_layers: '$k' is listed as known but no longer occurs: take it off the list" >&2
    status=1
  fi
done
[[ $status == 0 ]] && echo "check_layers: no upward include in $src"
exit $status
