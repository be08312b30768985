# shellcheck shell=bash
# Sourced by scripts/bench-sweep: the sweep of every pair of 64, 128 and 256
# simulated nodes (scripts/testbed/simulated, answering at once) against the
# same launches without it, medians of ROUNDS rounds into OUT.

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ns() { date +%s%N; }

# medians FILE EXPRESSION...: on one line, the median of each awk EXPRESSION over FILE's lines.
medians() {
  local file=$1 expression values=()
  shift
  for expression in "$@"; do values+=("$(awk "{ print $expression }" "$file" | median)"); done
  echo "${values[*]}"
}

# plain_loop SIM NODE...: the sweep's launches of every node, every pair and
# all the nodes, one by one.
plain_loop() {
  local i j sim=$1 flags=(--mpi=pmi2 --ntasks-per-node=1 --overlap --overcommit --kill-on-bad-exit=1)
  shift
  local nodes=("$@")
  for ((i = 0; i < $#; i++)); do
    srun "${flags[@]}" --nodes=1 --ntasks=1 "--nodelist=${nodes[i]}" "$sim/kit/trapezoid" >/dev/null
  done
  for ((i = 0; i < $#; i++)); do
    for ((j = i + 1; j < $#; j++)); do
      srun "${flags[@]}" --nodes=2 --ntasks=2 "--nodelist=${nodes[i]},${nodes[j]}" "$sim/kit/trapezoid" >/dev/null
    done
  done
  srun "${flags[@]}" --nodes=$# --ntasks=$# "--nodelist=$(IFS=,; echo "$*")" "$sim/kit/trapezoid" >/dev/null
}

# sweep SIM K [ARGUMENT...]: a sweep of K healthy simulated nodes, its output
# kept in SIM/sweep.out and sweep.err.
sweep() {
  local sim=$1 k=$2 nodes
  shift 2
  nodes=$(printf 'sim%03d,' $(seq 0 $((k - 1))))
  PATH=$sim/bin:$PATH SLURM_JOB_NODELIST=${nodes%,} \
    "$sim/kit/trapezoid-sweep" --per-node 1 "$@" </dev/null >"$sim/sweep.out" 2>"$sim/sweep.err" ||
    { echo "the sweep of $k failed; its output is in $sim/sweep.out and sweep.err:" >&2 && tail -3 "$sim/sweep.err" >&2 && return 1; }
}

# bench_loop ROUNDS OUT: the sweep against the same launches one by one in a
# plain loop, into OUT/sweep-simulated.csv.
bench_loop() {
  local rounds=$1 out=$2 sim=$PWD/$2/sim k row started middle names cells
  echo "trapezoid-sweep of every pair of simulated nodes, 1 process a node, against the same launches in a plain loop:"
  scripts/testbed/simulated "$sim" build/mpich 1 2 64 128 256
  echo nodes,jobs,sweep_ms,loop_ms,sweep_per_loop >"$out/sweep-simulated.csv"
  printf '%5s %6s %9s %9s %9s\n' nodes jobs "sweep ms" "loop ms" sweep/loop
  for k in 64 128 256; do
    mapfile -t names < <(printf 'sim%03d\n' $(seq 0 $((k - 1))))
    for _ in $(seq "$rounds"); do
      started=$(ns)
      sweep "$sim" "$k" || return 1
      middle=$(ns)
      PATH=$sim/bin:$PATH plain_loop "$sim" "${names[@]}" </dev/null
      echo "$((middle - started)) $(($(ns) - middle))"
    done >"$out/rounds"
    read -ra cells <<<"$(medians "$out/rounds" '$1 / 1e6' '$2 / 1e6' '$1 / $2')"
    row=$(printf '%d,%d,%.0f,%.0f,%.2f' "$k" $((k + k * (k - 1) / 2 + 1)) "${cells[@]}")
    echo "$row" >>"$out/sweep-simulated.csv"
    IFS=, read -r -a cells <<<"$row"
    printf '%5s %6s %9s %9s %9s\n' "${cells[@]}"
  done
}
