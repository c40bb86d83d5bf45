#!/usr/bin/env bash
# A bounded fuzzing session over every harness in this folder.
#
#   fuzz/run.sh [seconds-per-harness] [harness-name ...]
#
# Builds the package into .venv-fuzz (incrementally, build dir build/fuzz),
# installs atheris there, then runs each harness for the given time (default
# 30 s). Logs go to fuzz/logs/, inputs that broke a harness to
# fuzz/crashes/<harness>-*. Exits non-zero if any harness failed.
set -uo pipefail

seconds="${1:-30}"
shift || true
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv=".venv-fuzz"
python="$root/$venv/bin/python"

cd "$root"
if [[ "${FUZZ_SKIP_INSTALL:-0}" != 1 ]]; then
    make install VENV="$venv" BUILD_DIR=build/fuzz || exit 2
fi
if ! "$python" -c "import atheris" 2>/dev/null; then
    "$python" -m pip install --disable-pip-version-check -q "atheris>=3.1" || exit 2
fi

harnesses=("$@")
if [[ ${#harnesses[@]} -eq 0 ]]; then
    harnesses=(adjust_size ratio_analyzer image_resize ratio_strings prompt_ban)
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
        grep -m1 -A3 'Uncaught Python exception\|ERROR: libFuzzer\|ERROR: AddressSanitizer' "$log" | sed 's/^/    /'
        failed+=("$name")
    fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "failed: ${failed[*]}"
    exit 1
fi
echo "all ${#harnesses[@]} harnesses ran clean"
