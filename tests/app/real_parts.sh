# Sourced by the shell tests of real parts: stops the test when a checker or a real part is
# missing, with its reason: skipped (exit 77), or failed where real parts are required (as in
# CI, TAMBER_REQUIRE_REAL_PARTS set).
unavailable() {
  if [[ -n "${TAMBER_REQUIRE_REAL_PARTS:-}" ]]; then
    echo "FAILED: $1" >&2
    exit 1
  fi
  echo "SKIPPED: $1" >&2
  exit 77
}
