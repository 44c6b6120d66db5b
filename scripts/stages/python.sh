# Stage "python": the Python package's tests against the gateway simulator, with Debian's
# interpreter (/usr/bin/python3 and python3-pytest; another python3 on PATH may lack pytest).
# Reuses the dev build; builds only the library and the simulator it needs.
stage_python() {
  local root lib sim rc=0
  root=$(pwd)
  cmake --preset dev >/dev/null
  cmake --build --preset dev -j"${jobs:-2}" --target KorvaneI2C64 korvane-gwsim
  lib=$root/build/dev/src/libKorvaneI2C64.so.1
  sim=$root/build/dev/sim/korvane-gwsim
  (cd python && KORVANE_LIBRARY=$lib KORVANE_GWSIM=$sim PYTHONDONTWRITEBYTECODE=1 \
     /usr/bin/python3 -m pytest -p no:cacheprovider -ra tests) || rc=$?
  # 5: nothing was collected, so nothing was tested.
  if ((rc == 5)); then
    echo "stage python: pytest found no tests to run" >&2
  fi
  return "$rc"
}
