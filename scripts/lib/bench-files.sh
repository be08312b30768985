# shellcheck shell=bash
# Sourced by scripts/bench-sweep after lib/bench-simulated.sh: what the
# sweep's --json and --svg cost on simulated nodes, and the sweep's own cost
# over the same launches without it.

# launches SIM K: the stand-in's arguments for each job of a sweep of K
# nodes, as the sweep gives them, a job a line.
launches() {
  awk -v k="$2" -v program="$1/kit/trapezoid" 'BEGIN {
    flags = "--mpi=pmi2 --ntasks-per-node=1 --overlap --overcommit --kill-on-bad-exit=1"
    for (i = 0; i < k; i++) printf "%s --nodes=1 --ntasks=1 --nodelist=sim%03d %s\n", flags, i, program
    for (i = 0; i < k; i++) for (j = i + 1; j < k; j++)
      printf "%s --nodes=2 --ntasks=2 --nodelist=sim%03d,sim%03d %s\n", flags, i, j, program
    all = "sim000"
    for (i = 1; i < k; i++) all = all sprintf(",sim%03d", i)
    printf "%s --nodes=%d --ntasks=%d --nodelist=%s %s\n", flags, k, k, all, program }'
}

# timed KIND SIM K OUT: one run of KIND (launches, sweep or files); prints its
# wall and CPU seconds, the CPU of everything it started included.
timed() {
  local kind=$1 sim=$2 k=$3 out=$4 TIMEFORMAT='%3R %3U %3S' times
  case $kind in
    launches) { time xargs -P $((k / 2)) -L 1 "$sim/bin/srun" <"$out/launches" >/dev/null; } 2>"$out/time" ;;
    sweep) { time sweep "$sim" "$k"; } 2>"$out/time" ;;
    files) rm -f "$out/sweep.json" "$out/sweep.svg"
      { time sweep "$sim" "$k" --json "$out/sweep.json" --svg "$out/sweep.svg"; } 2>"$out/time" &&
      [ -s "$out/sweep.svg" ] || echo "the sweep of $k wrote no SVG" >>"$out/time" ;;
  esac
  read -ra times <<<"$(tr "\n" " " <"$out/time")"
  [ ${#times[@]} = 3 ] || { cat "$out/time" >&2 && return 1; }
  echo "${times[0]} $(awk "BEGIN { print ${times[1]} + ${times[2]} }")"
}

# bench_files ROUNDS OUT: the sweep with --json and --svg, the sweep without
# them, and the same launches without the sweep (by xargs, as many at once as
# a wave has pairs), in rounds whose order turns, into OUT/sweep-files.csv.
# Wall time, and CPU time, which other work on the machine changes less.
bench_files() {
  local rounds=$1 out=$2 sim=$PWD/$2/sim k round turn row cells kinds=(launches sweep files)
  local format='%5s %6s %9s %9s %9s %7s %6s %6s | %9s %9s %9s %6s\n'
  scripts/testbed/simulated "$sim" build/mpich 1 2 64 128 256
  echo "$(. /etc/os-release && echo "$PRETTY_NAME"), $(nproc) cores, $(date -u +%F), load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "every pair of simulated nodes, 1 process a node: the launches alone, the sweep, the sweep writing its files;"
  echo "own: (sweep - launches) / launches; wall time, then CPU time, medians of $rounds round(s)"
  echo nodes,jobs,launches_ms,sweep_ms,files_sweep_ms,files_ms,own,files_own,launches_cpu_ms,sweep_cpu_ms,files_sweep_cpu_ms,files_own_cpu >"$out/sweep-files.csv"
  # shellcheck disable=SC2059 # the format is the table's
  printf "$format" nodes jobs launches sweep +files files own +files launches sweep +files +files
  for k in 64 128 256; do
    launches "$sim" "$k" >"$out/launches"
    for ((round = 0; round < rounds; round++)); do
      local -A took=()
      for turn in 0 1 2; do
        took[${kinds[(round + turn) % 3]}]=$(timed "${kinds[(round + turn) % 3]}" "$sim" "$k" "$out") || return 1
      done
      echo "${took[launches]} ${took[sweep]} ${took[files]}"
    done >"$out/rounds"
    # Columns: wall and CPU seconds of the launches, the sweep, the sweep with files.
    read -ra cells <<<"$(medians "$out/rounds" '$1 * 1e3' '$3 * 1e3' '$5 * 1e3' '($5 - $3) * 1e3' \
      '($3 - $1) / $1' '($5 - $1) / $1' '$2 * 1e3' '$4 * 1e3' '$6 * 1e3' '($6 - $2) / $2')"
    row=$(printf '%d,%d,%.0f,%.0f,%.0f,%.0f,%.2f,%.2f,%.0f,%.0f,%.0f,%.2f' "$k" "$(wc -l <"$out/launches")" "${cells[@]}")
    echo "$row" >>"$out/sweep-files.csv"
    IFS=, read -r -a cells <<<"$row"
    # shellcheck disable=SC2059
    printf "$format" "${cells[@]}"
  done
  echo "files written: --svg$([ ! -s "$out/sweep.json" ] || echo ' and --json'); load $(cut -d' ' -f1-3 /proc/loadavg)"
}
