#!/bin/sh
# Runs one end-to-end test in a network namespace of its own when the machine
# allows it, so the service's fixed port never meets another process's.
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
elif unshare -rn true 2>/dev/null; then
  exec unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec "$@"
