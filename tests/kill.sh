#!/usr/bin/env bash
# kill.sh RANK NP COMMAND...: a process killed inside the reduction must bring
# the whole job down, loudly and quickly.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

expect_killed "$@"
