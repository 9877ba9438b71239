#!/usr/bin/env bash
# Checks that dependencies point down: no file under src/ includes a header
# of a folder above its own. The folders, lowest first (one line a level):
#
#   platform                 the Linux layer
#   util                     helpers over it
#   log config crashdump     the logs, the settings, the fatal stop
#   records                  the record file store
#   datafiles db             received files; importer, MySQL, statistics
#   protocol client          sessions and datagrams; the appliance's side
#   monitor                  the disk monitor
#   server                   the controller and its members
#   service                  run modes and the service framework
#
# tools/, tests/ and bench/ stand above all of them. Tests (*_test.cc) obey
# the same rule, except that any test may include a test utility
# (*_test_util.h, test_home.h) of any folder: those helpers exist for tests.
#
# Usage: scripts/check-layers.sh [source root]; exit 1 and one line per
# offending include when there is any.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}

declare -A level=(
  [platform]=0
  [util]=1
  [log]=2 [config]=2 [crashdump]=2
  [records]=3
  [datafiles]=4 [db]=4
  [protocol]=5 [client]=5
  [monitor]=6
  [server]=7
  [service]=8
)

status=0
cd "$root/src"
for folder in "${!level[@]}"; do
  [ -d "$folder" ] || continue
  own=${level[$folder]}
  for file in "$folder"/*.h "$folder"/*.cc; do
    [ -e "$file" ] || continue
    # '#include "folder/name.h"' lines, as "number:folder/name.h".
    while IFS=: read -r line target; do
      included=${target%%/*}
      name=${target##*/}
      [ -n "${level[$included]+set}" ] || continue  # not one of ours
      [ "${level[$included]}" -le "$own" ] && continue
      if [[ $file == *_test.cc && ( $name == *_test_util.h || $name == test_home.h ) ]]; then
        continue
      fi
      echo "src/$file:$line: includes $target ($included is above $folder)"
      status=1
    done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z_]+/' "$file" |
             sed -E 's/^([0-9]+):[^"]*"([^"]*)".*/\1:\2/')
  done
done
if [ "$status" -eq 0 ]; then
  echo "check-layers: every include points down"
fi
exit "$status"
