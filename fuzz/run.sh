#!/usr/bin/env bash
# A bounded fuzzing session over every harness in this folder. The scripts
# here are entry points; the harnesses' checks and seeds are in tests/fuzzing,
# where the test suite replays inputs through them.
#
#   fuzz/run.sh [seconds-per-harness] [harness-name ...]
#
# Builds the package into .venv-fuzz (incrementally, build dir build/fuzz),
# installs atheris there, then runs each harness for the given time (default
# 30 s). Logs go to fuzz/logs/, inputs that broke a harness to
# fuzz/crashes/<harness>-*. Exits non-zero if any harness failed.
#
# FUZZ_SANITIZE=1 runs the same harnesses against modules built with
# AddressSanitizer and UndefinedBehaviorSanitizer (.venv-fuzz-asan, build dir
# build/fuzz-asan, or build/fuzz-asan-clang with CXX=clang++), so that a
# memory error stops the run even where it would not crash. With the
# compiler's sanitizer runtime preloaded (tools/sanitizer-preload) libFuzzer
# loses its coverage signal, so that mode replays the corpora gathered by
# plain runs (fuzz/corpus/) and then mutates them unguided; run it after a
# plain run.
# FUZZ_SKIP_INSTALL=1 uses the environment as it is.
#
# fuzz_mutation is not a libFuzzer harness: it draws programs of hostile
# Python-level actions with hypothesis and runs each in a forked process (see
# tests/fuzzing/mutation.py). It takes the same -max_total_time and -artifact_prefix
# options and writes each distinct crasher as a standalone script
# fuzz/crashes/mutation-<signature>.py; under FUZZ_SANITIZE=1 it runs on the
# sanitized build like the others.
set -uo pipefail

seconds="${1:-30}"
shift || true
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

if [[ "${FUZZ_SANITIZE:-0}" == 1 ]]; then
    # The compiler's sanitizer runtimes, preloaded as `make sanitize` does;
    # CXX=clang++ selects clang, whose build gets a directory of its own.
    export CXX="${CXX:-c++}"
    preload="$(tools/sanitizer-preload)" || exit 2
    build_dir=build/fuzz-asan
    [[ "$(tools/sanitizer-preload --family)" == clang ]] && build_dir+=-clang
    venv=".venv-fuzz-asan"
    install=(make install VENV="$venv" BUILD_DIR="$build_dir"
             PIP_EXTRA="-Ccmake.define.VALDRIX_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo")
    export LD_PRELOAD="$preload"
    export PYTHONMALLOC=malloc
    export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:${ASAN_OPTIONS:-}"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
else
    venv=".venv-fuzz"
    install=(make install VENV="$venv" BUILD_DIR=build/fuzz)
fi
python="$root/$venv/bin/python"

if [[ "${FUZZ_SKIP_INSTALL:-0}" != 1 ]]; then
    LD_PRELOAD= "${install[@]}" || exit 2
fi
if ! LD_PRELOAD= "$python" -c "import atheris" 2>/dev/null; then
    LD_PRELOAD= "$python" -m pip install --disable-pip-version-check -q "atheris>=3.1" || exit 2
fi

harnesses=("$@")
if [[ ${#harnesses[@]} -eq 0 ]]; then
    harnesses=(adjust_size ratio_analyzer image_resize ratio_strings prompt_ban mutation)
fi

mkdir -p fuzz/logs fuzz/crashes
failed=()
for name in "${harnesses[@]}"; do
    script="fuzz/fuzz_${name}.py"
    log="fuzz/logs/${name}.log"
    extra=()
    [[ -f "fuzz/${name}.dict" ]] && extra+=("-dict=fuzz/${name}.dict")
    printf '%-16s %ss ... ' "$name" "$seconds"
    "$python" "$script" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 \
        -artifact_prefix="fuzz/crashes/${name}-" "${extra[@]}" >"$log" 2>&1
    status=$?
    runs="$(grep -o 'Done [0-9]* runs' "$log" | tail -1)"
    if [[ $status -eq 0 ]]; then
        echo "ok (${runs:-no runs})"
    else
        echo "FAILED (exit $status), see $log"
        grep -m1 -A3 'Uncaught Python exception\|ERROR: libFuzzer\|ERROR: AddressSanitizer\|^CRASH' "$log" | sed 's/^/    /'
        failed+=("$name")
    fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "failed: ${failed[*]}"
    exit 1
fi
echo "all ${#harnesses[@]} harnesses ran clean"
