# Sourced: compile jobs, one per core, but at most one per 1.5 GiB of available memory (a
# sanitizer compile takes up to about 0.6 GiB). A CMAKE_BUILD_PARALLEL_LEVEL set by the caller
# wins.
if [ -z "${CMAKE_BUILD_PARALLEL_LEVEL:-}" ]; then
  avail_kib=$(awk '/^MemAvailable:/ {print $2}' /proc/meminfo)
  jobs=$((avail_kib / (1536 * 1024)))
  cores=$(nproc)
  if [ "$jobs" -gt "$cores" ]; then jobs=$cores; fi
  if [ "$jobs" -lt 1 ]; then jobs=1; fi
  export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
fi
# Test processes at once: one per core, unless the caller set CTEST_PARALLEL_LEVEL.
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
