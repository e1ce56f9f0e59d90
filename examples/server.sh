#!/usr/bin/env bash
# A small reading server for trying the client: it holds a FIFO open for
# reading, takes everything up to end-of-file as one command, prints it, and
# reopens the FIFO for the next client.
#
#   server.sh FIFO [COUNT]      stop after COUNT commands (default: never)
set -u
fifo=${1:?usage: server.sh FIFO [COUNT]}
count=${2:-0}
[ -p "$fifo" ] || { echo "server: $fifo is not a FIFO" >&2; exit 2; }

buffer=$(mktemp) || exit 1
reader=
stop() {
  [ -n "$reader" ] && kill "$reader" 2>/dev/null
  rm -f "$buffer"
  exit 0
}
trap stop INT TERM HUP

received=0
while [ "$count" -eq 0 ] || [ "$received" -lt "$count" ]; do
  # The open waits for a client; in the background, so a signal can end
  # the server at once instead of after the next client.
  cat "$fifo" >"$buffer" &
  reader=$!
  wait "$reader" || continue
  reader=
  received=$((received + 1))
  IFS= read -r -d '' text <"$buffer"
  text=${text//$'\n'/\\n}
  printf 'server: command %d, %d bytes: %s\n' "$received" "$(wc -c <"$buffer")" "$text"
done
stop
