# kill.sh RANK NP COMMAND...: a process killed inside the reduction must bring
# the whole job down, loudly and quickly.
. "$(dirname "$0")/lib.sh"

expect_killed "$@"
