#!/bin/sh
# Compiler launcher for nvcc: keeps ptxas's per-kernel resource report (registers,
# spills, shared memory) in a log per object file and passes every other line through.
# Usage: capture_ptxas.sh LOG_DIR COMPILER ARGS...
log_dir=$1
shift
object=unknown
previous=
for argument in "$@"; do
  [ "$previous" = "-o" ] && object=$argument
  previous=$argument
done
mkdir -p "$log_dir"
log="$log_dir/$(echo "$object" | tr '/' '_').log"
"$@" 2>"$log.all"
status=$?
grep -v -E '^ptxas info|^ptxas \. |bytes stack frame' "$log.all" >&2
grep -E '^ptxas info|bytes stack frame' "$log.all" >"$log"
rm -f "$log.all"
exit $status
