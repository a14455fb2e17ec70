# Sourced by the test scripts. Work a script starts in the background, beside its own, runs in a
# process group of its own that ends with the script however it ends: a script's background jobs
# do not get the terminal's Ctrl-C, and neither would what they start.
# A script with an EXIT trap of its own calls end_beside from it.

beside_groups=()

# beside COMMAND...: starts it in the background (its pid in $!), in a process group of its own.
beside() {
  setsid "$@" &
  beside_groups+=("$!")
}

# joined PID: waits for a job that beside started; its exit status is the job's.
joined() {
  local status=0 group kept=()
  wait "$1" || status=$?
  for group in "${beside_groups[@]}"; do [ "$group" = "$1" ] || kept+=("$group"); done
  beside_groups=("${kept[@]}")
  return "$status"
}

# Ends every job of beside's that has not been joined.
end_beside() {
  local group
  for group in "${beside_groups[@]}"; do kill -TERM -- "-$group" 2>/dev/null || true; done
  beside_groups=()
}

trap end_beside EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
