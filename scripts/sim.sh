# SPDX-License-Identifier: MIT
# Sourced by the scripts that start the simulated sensor: waits until it has linked its device as a COM port.

# sim_wait_link LOG PID: waits until the simulated sensor PID, printing to LOG, has linked its port (a "link"
# line), up to 20 s for a loaded machine. Fails with the log when it exits first or takes longer.
sim_wait_link() {
  local log=$1 pid=$2 _
  for _ in $(seq 200); do
    grep -q '^link ' "$log" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q '^link ' "$log" 2>/dev/null && return 0
  cat "$log" >&2
  echo "${0##*/}: the simulated sensor did not link its port" >&2
  return 1
}
