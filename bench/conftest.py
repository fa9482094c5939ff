# Benchmarks are run by bench/run.sh, never collected as tests (timings must not
# gate a test run).
collect_ignore_glob = ["*"]
