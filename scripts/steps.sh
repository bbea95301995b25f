# Sourced by the project's scripts: runs their steps quietly, and when one
# fails says which, shows what it printed and stops with its exit status.
#   step "what it does" command [args...]
step() {
  _what="$1"; shift
  _log="$(mktemp)"
  if "$@" >"$_log" 2>&1; then
    rm -f "$_log"
    return 0
  else
    _status=$?
    echo "FAILED ($_status): $_what" >&2
    echo "  command: $*" >&2
    tail -n 40 "$_log" | sed 's/^/  | /' >&2
    rm -f "$_log"
    exit "$_status"
  fi
}

# Fails with a message unless every command named is on the PATH.
need() {
  for _command in "$@"; do
    command -v "$_command" >/dev/null 2>&1 || {
      echo "FAILED: '$_command' is not installed (scripts/deps.sh installs it)" >&2
      exit 127
    }
  done
}

# Like step, for long steps whose output is worth watching: it goes through.
#   run "what it does" command [args...]
run() {
  _what="$1"; shift
  "$@" || {
    _status=$?
    echo "FAILED ($_status): $_what" >&2
    echo "  command: $*" >&2
    exit "$_status"
  }
}
