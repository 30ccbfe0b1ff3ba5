# Shared by the check scripts (sourced, not run): a PASS or FAIL line per
# check, and a closing count whose exit status is 0 only when none failed.
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1${2:+: $2}"; }
# check NAME CONDITION...: runs the condition, passes or fails NAME by it.
check() {
  local name=$1; shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
  exit $?
}
# The frames that ffprobe decodes from a movie's video stream.
frames_of() {
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
          -of csv=p=0 "$1" 2> /dev/null
}
