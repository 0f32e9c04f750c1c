#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in a build folder of their own and runs
# each for a bounded time, starting from the seed corpus in fuzz/corpus/<target> and,
# for the targets that read a phone's whole answer, every answer of the recorded real
# phones in tests/data.
# Fails when a target crashes, leaks, trips a sanitizer or hangs.
#
#   fuzz/run.sh [TARGET...]      all targets by default
#   FUZZ_SECONDS=600 FUZZ_BUILD_DIR=/tmp/build-fuzz fuzz/run.sh listing
#
# Inputs found to add coverage collect in $FUZZ_BUILD_DIR/corpus/<target>; an input
# that fails is kept as $FUZZ_BUILD_DIR/artifacts/<target>-crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-20}
targets=("$@")
((${#targets[@]})) || targets=(receive_reply bfb_receiver phone_session listing get_response memory_figure plain_transport)

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DTARVEL_FUZZ=ON -DTARVEL_WERROR=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
        >/dev/null
fi
cmake --build "$build_dir" --parallel "$(nproc)" --target "${targets[@]/#/fuzz_}"

# Every answer in the recordings of tests/data (the PHONE records after a PC record,
# joined), one seed file each, into the folder given.
seed_recorded_answers() {
    mkdir -p "$1"
    perl -e '
        my $dir = shift;
        for my $file (@ARGV) {
            my ($name) = $file =~ m{([^/]+)\.trace$};
            my ($hex, $count) = ("", 0);
            my $flush = sub {
                return if $hex eq "";
                open my $out, ">:raw", sprintf("%s/%s-%03d", $dir, $name, ++$count) or die "$dir: $!";
                print $out pack("H*", $hex);
                $hex = "";
            };
            open my $in, "<", $file or die "$file: $!";
            while (<$in>) {
                $flush->() if /^PC /;
                if (/^PHONE \d+ (.*)/) { (my $bytes = $1) =~ s/\s//g; $hex .= $bytes }
            }
            $flush->();
        }' "$1" tests/data/*.trace
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export QT_QPA_PLATFORM=offscreen
mkdir -p "$build_dir/artifacts"
status=0
for target in "${targets[@]}"; do
    work="$build_dir/corpus/$target"
    mkdir -p "$work"
    log="$build_dir/fuzz_$target.log"
    seeds=()
    [ -d "fuzz/corpus/$target" ] && seeds+=("fuzz/corpus/$target")
    case $target in
    plain_transport | memory_figure)
        seed_recorded_answers "$build_dir/recorded/$target"
        seeds+=("$build_dir/recorded/$target")
        ;;
    esac
    # -max_len: the receive target feeds a pseudo-terminal, whose queue holds 4095 bytes.
    if "$build_dir/bin/fuzz_$target" -max_total_time="$seconds" -max_len=4000 -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build_dir/artifacts/$target-" \
        "$work" "${seeds[@]}" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz_$target: ${runs:-?} inputs in ${seconds}s, no failure"
    else
        status=1
        echo "fuzz_$target FAILED; the input is in $build_dir/artifacts/, the log follows:"
        tail -n 60 "$log"
    fi
done
exit "$status"
