#!/usr/bin/env bash
# Times the client against `cat FILE > FIFO` delivering the same command into
# a FIFO that a fast reader keeps draining, and prints a table of medians,
# their ratio and the peak memory of each: for the release build, with the
# Linux fast paths, and for the build with CLIENT_PORTABLE=ON, which takes
# the plain POSIX paths that other systems run.
#
#   bench/run.sh [--huge] [--rounds N]
#
# --huge adds a 1 GiB command. The commands take turns in going first from
# round to round, so drift in the machine's speed falls on all of them. All
# run through sh, whose start-up hyperfine measures and subtracts. Uses
# hyperfine (installed from Debian's packages if missing) and GNU time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

huge=0
rounds=6
while [ $# -gt 0 ]; do
  case $1 in
    --huge) huge=1 ;;
    --rounds) rounds=$2; shift ;;
    *) echo "usage: bench/run.sh [--huge] [--rounds N]" >&2; exit 2 ;;
  esac
  shift
done

if ! command -v hyperfine >/dev/null || [ ! -x /usr/bin/time ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq hyperfine time </dev/null
fi

for variant in fast:OFF portable:ON; do
  cmake -S "$root" -B "$root/build-bench-${variant%:*}" -DCMAKE_BUILD_TYPE=Release \
    -DCLIENT_TESTS=OFF -DCLIENT_PORTABLE="${variant#*:}" >/dev/null
  cmake --build "$root/build-bench-${variant%:*}" --target client >/dev/null
done
client=$root/build-bench-fast/client
portable=$root/build-bench-portable/client

work=$(mktemp -d)
reader=
cleanup() {
  [ -n "$reader" ] && kill "$reader" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The reader holds the FIFO open for reading and writing, so it never meets
# end-of-file between runs and no writer ever waits for it to reopen.
fifo=$work/fifo
mkfifo "$fifo"
exec 3<>"$fifo"
cat <&3 >/dev/null &
reader=$!
exec 3>&-

# size name, bytes, runs per command per round
cases=("7 B" 7 150 "4 KiB" 4096 150 "1 MiB" 1048576 60 "64 MiB" 67108864 12 "256 MiB" 268435456 4)
if [ "$huge" = 1 ]; then
  cases+=("1 GiB" 1073741824 2)
fi

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Peak resident set in KiB, the largest of three runs.
peak() { for _ in 1 2 3; do /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; done | sort -n | tail -n 1; }

printf '| command | client median | cat median | client / cat | portable median | portable / cat | client peak RSS | portable peak RSS | cat peak RSS |\n'
printf '|---|---|---|---|---|---|---|---|---|\n'
names=(client portable cat)
for ((i = 0; i < ${#cases[@]}; i += 3)); do
  name=${cases[i]} bytes=${cases[i + 1]} runs=${cases[i + 2]}
  file=$work/command
  head -c "$bytes" /dev/urandom >"$file"
  commands=("$client $fifo $file" "$portable $fifo $file" "cat $file > $fifo")
  for who in "${names[@]}"; do : >"$work/$who.times"; done
  for ((round = 0; round < rounds; round++)); do
    # This round's order: the list turned by the round's number.
    order=()
    for ((k = 0; k < 3; k++)); do order+=($(((round + k) % 3))); done
    # hyperfine warns that sub-5 ms commands are hard to time through a
    # shell; the many runs and the medians are the answer to that.
    if ! hyperfine --style none --warmup 1 --runs "$runs" --export-json "$work/round.json" \
      "${commands[${order[0]}]}" "${commands[${order[1]}]}" "${commands[${order[2]}]}" \
      >"$work/hyperfine.log" 2>&1; then
      cat "$work/hyperfine.log" >&2
      exit 1
    fi
    # One list of seconds per command, in the order they were given.
    tr -d ' \n' <"$work/round.json" | grep -o '"times":\[[^]]*\]' | sed 's/.*\[//; s/\]//' >"$work/lists"
    for ((k = 0; k < 3; k++)); do
      sed -n "$((k + 1))p" "$work/lists" | tr ',' '\n' >>"$work/${names[${order[k]}]}.times"
    done
  done
  client_s=$(median <"$work/client.times")
  portable_s=$(median <"$work/portable.times")
  cat_s=$(median <"$work/cat.times")
  client_kib=$(peak "$client" "$fifo" "$file")
  portable_kib=$(peak "$portable" "$fifo" "$file")
  cat_kib=$(peak sh -c 'exec cat "$1" > "$2"' sh "$file" "$fifo")
  awk -v n="$name" -v a="$client_s" -v p="$portable_s" -v b="$cat_s" -v ma="$client_kib" \
    -v mp="$portable_kib" -v mb="$cat_kib" 'BEGIN {
    printf "| %s | %.3f ms | %.3f ms | %.2f | %.3f ms | %.2f | %.1f MiB | %.1f MiB | %.1f MiB |\n",
      n, a * 1000, b * 1000, a / b, p * 1000, p / b, ma / 1024, mp / 1024, mb / 1024 }'
done
