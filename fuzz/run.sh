#!/usr/bin/env bash
# fuzz/run.sh NAME [SECONDS] [LIBFUZZER FLAGS...]: runs one harness (unpack, pack or compile) for
# SECONDS (default $FUZZ_SECONDS, else 60) on fuzz/corpus-NAME, niced, one process. Exits non-zero
# on a finding; the input that caused it goes to build/fuzz/artifacts/NAME/, the log to
# build/fuzz/logs/NAME.log (NAME-table with VIREL_CODEC_PATH=table: the harness's parsers then run
# the codec's table path). Needs the fuzz build in $FUZZ_VENV (default .venv-fuzz): .ci/fuzz
# makes it, fuzz/README.md shows the commands.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: fuzz/run.sh unpack|pack|compile|hostile [SECONDS] [libFuzzer flags]}
seconds=${2:-${FUZZ_SECONDS:-60}}
shift $(( $# < 2 ? $# : 2 ))
venv=${FUZZ_VENV:-.venv-fuzz}
case "$name" in
    unpack) flags=(-max_len=16384) ;;
    pack) flags=(-max_len=4096) ;;
    compile) flags=(-max_len=32768 -dict=fuzz/compile.dict) ;;
    hostile) flags=(-max_len=1024 -len_control=0) ;;
    *) echo "fuzz/run.sh: no harness '$name'" >&2; exit 2 ;;
esac
corpus=fuzz/corpus-$name
tag=$name
[ "${VIREL_CODEC_PATH:-direct}" = direct ] || tag=$name-$VIREL_CODEC_PATH
artifacts=build/fuzz/artifacts/$tag
log=build/fuzz/logs/$tag.log
mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
before=$(find "$artifacts" -type f | sort)
status=0
nice -n 10 fuzz/env.sh "$venv/bin/python" "fuzz/fuzz_$name.py" "$corpus" \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${flags[@]}" "$@" </dev/null >"$log" 2>&1 || status=$?
new=$(comm -13 <(echo "$before") <(find "$artifacts" -type f | sort) | sed '/^$/d')
done_line=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9a-zA-Z]+' <<<"$done_line" || true)
echo "fuzz $tag: ${runs:-?} runs in ${seconds}s, ${speed:-?} exec/s, ${cov:-no coverage line}, exit $status"
if ! grep -q 'Loaded 1 modules' "$log"; then
    echo "fuzz $tag: the module reported no coverage counters (not a VIREL_FUZZ build?)" >&2
    [ "$status" -ne 0 ] || status=3
fi
if [ "$status" -ne 0 ] || [ -n "$new" ]; then
    echo "fuzz $tag: FINDING (exit $status); log $log; new inputs in $artifacts/:" >&2
    [ -z "$new" ] || sed 's/^/  /' <<<"$new" >&2
    grep -vE '^#[0-9]+|NEW_FUNC' "$log" | tail -n 60 >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
