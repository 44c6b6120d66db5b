# Stage fuzz: builds the libFuzzer harnesses (preset fuzz, clang) and runs each for a short
# time, 30 s by default (KORVANE_FUZZ_SECONDS). Sourced by scripts/test-all.sh.
stage_fuzz() { scripts/fuzz.sh "${KORVANE_FUZZ_SECONDS:-30}"; }
