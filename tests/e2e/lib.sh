# Sourced by the end-to-end scripts, which all start the same way:
#   NAME.sh ORVALE KVXMUX [EMULATOR...]
# e2e_start "$@" sets $orvale and $kvxmux (wrapped in the emulator a cross
# build passes, under the same names), makes the work folder $work (removed
# on exit), and exits 77 (skipped) without ffmpeg unless ORVALE_REQUIRE_FFMPEG
# is set. check counts; e2e_finish NAME sums up and sets the exit status.
e2e_start() {
  orvale=$1
  kvxmux=$2
  if ! command -v ffmpeg >/dev/null || ! command -v ffprobe >/dev/null; then
    echo "ffmpeg/ffprobe not found: end-to-end tests skipped"
    [[ -n ${ORVALE_REQUIRE_FFMPEG:-} ]] && exit 1
    exit 77
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  if (($# > 2)); then
    # Wrappers of the same names keep every use as it is.
    mkdir "$work/bin"
    local program
    for program in orvale kvxmux; do
      printf '#!/bin/sh\nexec %s %q "$@"\n' "$(printf '%q ' "${@:3}")" "${!program}" >"$work/bin/$program"
      chmod +x "$work/bin/$program"
    done
    orvale=$work/bin/orvale
    kvxmux=$work/bin/kvxmux
  fi
  failures=0
  passes=0
}

check() {  # check NAME COMMAND...: one assertion
  local name=$1
  shift
  if "$@"; then
    passes=$((passes + 1))
  else
    echo "FAIL: $name"
    failures=$((failures + 1))
  fi
}

e2e_finish() {  # e2e_finish NAME
  echo "$1: $passes passed, $failures failed"
  [[ $failures -eq 0 ]]
}

ff() { ffmpeg -nostdin -v error "$@"; }

# kvxavc fields, read with od: a little-endian word at an offset, where
# packet K starts, the frame count packet K carries.
le32() { od -An -tu4 -j "$2" -N 4 "$1" | tr -d ' '; }
packet_offset() {  # packet_offset FILE K
  local count offset i
  count=$(le32 "$1" 12)
  offset=$((56 + 4 * count))
  for ((i = 0; i < $2; i++)); do offset=$((offset + $(le32 "$1" $((56 + 4 * i))) / 2)); done
  echo "$offset"
}
