#!/usr/bin/env bash
# Sends two commands from the client through a FIFO into the example server
# and shows what each side printed. Builds the client first if needed.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
client=$root/build/client
if [ ! -x "$client" ]; then
  echo "demo: building the client..."
  cmake -S "$root" -B "$root/build" -DCLIENT_TESTS=OFF >/dev/null
  cmake --build "$root/build" --target client >/dev/null
fi

work=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fifo=$work/commands
mkfifo "$fifo"
coproc SERVER { exec "$here/server.sh" "$fifo" 2; }
server=$SERVER_PID
from_server=${SERVER[0]}

for command in "$here/commands/status.txt" "$here/commands/reload.txt"; do
  echo "\$ client $fifo ${command#"$root/"}"
  status=0
  "$client" "$fifo" "$command" || status=$?
  echo "(client exit status $status)"
  # Wait for the server to finish this command before sending the next: a
  # client that opened the FIFO before the server met end-of-file would have
  # its command read as part of this one.
  IFS= read -r line <&"$from_server"
  echo "$line"
done
wait "$server"
server=
echo "demo: done"
