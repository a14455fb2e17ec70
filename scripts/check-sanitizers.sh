#!/usr/bin/env bash
# Builds the core, the fake platform and the unit tests with AddressSanitizer and UBSan (preset
# native-asan: clang, which compiles them in half gcc's time) and runs the unit tests: any memory
# error, leak or undefined behaviour fails them.
# Then fuzzes the readers of a disc's image, programs and pages for a bounded time (see below).
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/deps.sh" build

# One clang build (preset native-asan) serves the unit tests and the fuzzing: the code under test
# is instrumented for libFuzzer as well (-fsanitize=fuzzer-no-link, which makes the unit tests a
# third slower, less than a second build would cost), and the libFuzzer targets of tests/fuzz are
# built beside the unit tests. Line tables (-g1) are all a report's stack needs.
scripts/configure.sh --preset native-asan >/dev/null
cmake --build --preset native-asan >/dev/null
echo "built build/native-asan with -fsanitize=address,undefined and the fuzzing targets"

# abort_on_error and halt_on_error make the first report fail its test rather than scroll past.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The test program's cases run in shards, one process each (scripts/run-shards.sh): the
# sanitizers' start-up of the program costs more than most cases, and CTest would pay it once a
# case. Of the label's other tests (scripts' tests), those that run the disckit of this build
# (label runs-disckit) run through CTest; the rest run nothing the sanitizers see, and the plain
# unit tests ran them already.
# The shards run while CTest runs the rest: its two longest tests, half a minute each, would
# otherwise leave the other core to the short ones and then to nothing.
. scripts/beside.sh
unit_status=0
beside scripts/run-shards.sh "${SANITIZER_SHARDS:-$((2 * $(nproc)))}" build/native-asan/shards \
  build/native-asan/unit_tests --gtest_brief=1 >build/native-asan/shards.log 2>&1
sharded=$!
ctest --test-dir build/native-asan -L '^runs-disckit$' --output-on-failure -j2 || unit_status=$?
shards_status=0
joined "$sharded" || shards_status=$?
cat build/native-asan/shards.log
((unit_status != 0)) || unit_status=$shards_status
((unit_status == 0)) || exit "$unit_status"

# The readers of what a disc holds, fuzzed for a bounded time each (FUZZ_SECONDS, default 25):
# the libFuzzer targets (tests/fuzz) of the same build, their inputs and findings in build/fuzz.
# The image reader starts from seeds written now (among them the image whose short Rock Ridge NM
# entry once overflowed a library's reader), the program reader from the sample disc's programs
# when they are built, the pages' reader (style sheets, HTML, links) from the sample disc's pages,
# for a fifth of the time.
# A crash, a leak or a sanitizer report fails the run and leaves the input in build/fuzz/crashes.
# The image and the program readers are fuzzed side by side, two processes for two cores.
seconds=${FUZZ_SECONDS:-25}
rm -rf build/fuzz/seeds build/fuzz/corpus build/fuzz/crashes
mkdir -p build/fuzz/seeds/iso build/fuzz/seeds/pe build/fuzz/corpus/iso build/fuzz/corpus/pe \
  build/fuzz/seeds/page build/fuzz/corpus/page build/fuzz/crashes
build/native-asan/tests/fuzz/fuzz_write_seeds build/fuzz/seeds/iso
printf 'MZ' > build/fuzz/seeds/pe/mz
for program in build/win32/disc/*.exe build/win32/disc/*.dll build/win32/disc/*.ocx; do
  [ -f "$program" ] && cp "$program" build/fuzz/seeds/pe/
done
cp disc/lang/Eng/Welcome.htm build/fuzz/seeds/page/
printf 'a{b:url("x\\31 .png")} @import url(y.css); /* url(z) */' > build/fuzz/seeds/page/css
printf '<style>p{x:url(a.png)}</style><a href="../b%%20c.htm?q#f">' > build/fuzz/seeds/page/html
printf '"CD001"\n"%%/E"\n"NM"\n"CE"\n"RE"\n"CL"\n"ST"\n"SP"\n"RR"\n' > build/fuzz/iso.dict
declare -A fuzzing
for target in iso pe; do
  dict=()
  [ "$target" = iso ] && dict=(-dict=build/fuzz/iso.dict)
  echo "fuzzing the $target reader for $seconds s"
  build/native-asan/tests/fuzz/fuzz_${target}_image "${dict[@]}" -max_total_time="$seconds" \
    -max_len=262144 -rss_limit_mb=2048 -timeout=30 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/crashes/ build/fuzz/corpus/$target build/fuzz/seeds/$target \
    2>build/fuzz/$target.log &
  fuzzing[$target]=$!
done
failed=0
for target in iso pe; do
  if wait "${fuzzing[$target]}"; then
    echo "$target: $(grep -E '^stat::number_of_executed_units' build/fuzz/$target.log || true)"
  else
    echo "FAIL: fuzzing the $target reader"
    tail -60 build/fuzz/$target.log
    failed=1
  fi
done
((failed == 0)) || exit 1
page_seconds=$(( (seconds + 4) / 5 ))
echo "fuzzing the page reader for $page_seconds s"
build/native-asan/tests/fuzz/fuzz_page_links -max_total_time="$page_seconds" \
  -max_len=65536 -rss_limit_mb=2048 -timeout=30 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/crashes/ build/fuzz/corpus/page build/fuzz/seeds/page \
  2>build/fuzz/page.log || { tail -60 build/fuzz/page.log; exit 1; }
grep -E '^stat::number_of_executed_units' build/fuzz/page.log || true
