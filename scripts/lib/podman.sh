# shellcheck shell=bash
# Sourced by scripts/image and the tests: how podman runs a container here.

# podman_run_flags IMAGE: the flags under which podman runs IMAGE here, one
# a line. Without CAP_SYS_RESOURCE the runtime cannot raise a container's
# limits past podman's own (its RLIMIT_NPROC at most pid_max), which its
# defaults exceed; crun refuses a cgroup v2 tree with controllers beside
# v1's, runc does not.
podman_run_flags() {
  local nofile nproc pid_max runtime flags
  nofile=$(ulimit -Hn) nproc=$(ulimit -Hu) pid_max=$(cat /proc/sys/kernel/pid_max)
  if [ "$nproc" = unlimited ] || [ "$nproc" -gt "$pid_max" ]; then nproc=$pid_max; fi
  for runtime in crun runc; do
    command -v "$runtime" >/dev/null || continue
    flags=(--runtime "$runtime" --ulimit "nofile=$nofile:$nofile" --ulimit "nproc=$nproc:$nproc")
    if podman run --rm "${flags[@]}" "$1" true >/dev/null 2>&1; then
      printf '%s\n' "${flags[@]}"
      return 0
    fi
  done
  podman run --rm "${flags[@]}" "$1" true 2>&1 | tail -3 >&2
  echo "podman runs no container here, with crun or runc" >&2
  return 1
}
