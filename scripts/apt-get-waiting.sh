# Sourced by the install scripts: apt_get runs apt-get (through sudo when not root) and, while
# another apt-get or dpkg holds the package lock, waits for it, up to VELKARO_APT_LOCK_WAIT
# seconds (default 300) in all, before it gives up with apt-get's own status.
apt_get() {
  local sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  local deadline=$((SECONDS + ${VELKARO_APT_LOCK_WAIT:-300}))
  local out status
  out=$(mktemp)
  while :; do
    local left=$((deadline - SECONDS))
    ((left < 0)) && left=0
    # The timeout covers dpkg's lock; the lists lock of "update" is not always covered, hence the loop.
    if DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout="$left" "$@" >"$out" 2>&1; then
      status=0
    else
      status=$?
    fi
    cat "$out"
    if ((status != 0)) && ((SECONDS < deadline)) &&
      grep -qE 'Could not get lock|Unable to acquire the dpkg frontend lock|Unable to lock' "$out"; then
      echo "apt-get: another package manager holds the lock; waiting ($((deadline - SECONDS)) s left)"
      sleep 5
      continue
    fi
    rm -f "$out"
    return "$status"
  done
}
