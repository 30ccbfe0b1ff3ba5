# Shared by the recording benchmarks (sourced, not run): the input frames,
# timing one run, taking turns between programs, medians.
#
# The sourcing script sets build, repetitions, frames, width, height, fps and
# input_format (an ffmpeg pixel format) and defines run_TOOL OUTPUT for each
# tool; then calls prepare_input and take_turns TOOL..., and prints medians
# from the wall and cpu arrays (indexed "TOOL,MODE"), and from the cached
# array: MiB of the output in the page cache after the run (fincore; empty
# without it).
# Modes: "existing" writes over the tool's previous output as the page cache
# left it, "new" into a new file; a script may set modes before take_turns
# (default "existing new"), adding "cold": over the previous output dropped
# from the page cache first, and "warm": over a copy of it written just
# before (buffered), so that the system holds all its pages.
# Environment: BENCH_TOUCH_MIB: before each run, that many MiB of memory are
# touched and freed. On a virtual machine whose host takes back the guest's
# free memory, the pages of a new file then come at the guest's own speed,
# not at the host's, which shows how much of a new-file figure is the host.

avirec="$build/bin/avirec"
[ -x "$avirec" ] || { echo "no $avirec; build the project first" >&2; exit 1; }

work=${BENCH_WORK_DIR:-}
if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/avi-bench-XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
input="$work/frames.$input_format"

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

# The frames, made once: ffmpeg's moving test source in the input format,
# read once so that it is in the page cache for every program alike.
prepare_input() {
  if [ ! -s "$input" ]; then
    ffmpeg -v error -y -f lavfi -i "testsrc2=size=${width}x${height}:rate=$fps" \
           -frames:v "$frames" -pix_fmt "$input_format" -f rawvideo "$input"
  fi
  cat "$input" > /dev/null
}

# Wall-clock and CPU (user + system) seconds of one run; the output is
# prepared first (removed for a new file, or left from the previous run) and
# earlier writes are flushed, so that no run pays for another's write-back.
# CPU time is the steadier figure on a busy machine.
timed() {
  local tool=$1 mode=$2 out="$work/$1.avi"
  if [ "$mode" = new ]; then rm -f "$out"; fi
  if [ "$mode" != new ] && [ ! -s "$out" ]; then "run_$tool" "$out"; fi
  if [ "$mode" = warm ]; then cat "$out" > "$out.warm" && mv -f "$out.warm" "$out"; fi
  sync
  if [ "$mode" = cold ]; then dd if="$out" iflag=nocache count=0 status=none; fi
  if [ -n "${BENCH_TOUCH_MIB:-}" ]; then python3 -c "b'\\1' * ($BENCH_TOUCH_MIB << 20)"; fi
  local TIMEFORMAT='%R %U %S' measured
  measured=$( { time "run_$tool" "$out" 2>/dev/null; } 2>&1 )
  read -r real user sys <<<"$measured"
  echo "$real $(calc "$user + $sys") $(cached_mib "$out")"
}

# MiB of FILE in the page cache; empty without fincore.
cached_mib() {
  command -v fincore > /dev/null || return 0
  fincore -b -n -o RES "$1" 2>/dev/null | awk '{ printf "%.1f", $1 / 1048576 }'
}

# Each repetition runs every tool over an existing file and into a new
# file, taking turns, and prints a line a run. Each repetition starts with
# the next tool, so that none always follows the same one: what a run leaves
# behind (pages still to be written, memory freed with its old output) slows
# the run after it.
declare -A wall cpu cached
modes=${modes:-existing new}
take_turns() {
  local rep mode tool w c m i
  local tools=("$@")
  for ((rep = 1; rep <= repetitions; ++rep)); do
    for mode in $modes; do
      for ((i = 0; i < ${#tools[@]}; ++i)); do
        tool=${tools[(i + rep - 1) % ${#tools[@]}]}
        read -r w c m <<<"$(timed "$tool" "$mode")"
        wall[$tool,$mode]+="$w "
        cpu[$tool,$mode]+="$c "
        cached[$tool,$mode]+="${m:+$m }"
        printf 'rep %d  %-8s %-7s %6.3f s  %6.1f fps   cpu %6.3f s%s\n' "$rep" "$mode" "$tool" \
               "$w" "$(calc "$frames / $w")" "$c" "${m:+   cached $m MiB}"
      done
    done
  done
}
