# The module's Bluetooth exchange and 1 MiB receive against a plain RFCOMM client on the same
# stack, reported as ratios (docs/performance-receive.md). No figure fails the test, nor a
# stalled mebibyte (reported as a missing figure); a failed exchange or wrong bytes do. Named to
# run after the other Bluetooth tests: a bench cut short by its bound may leave the stack
# unsettled. The program prints as it goes, so a cut-short run still shows how far it came.
echo "== bench: lab-bt-bench 3"
timeout -k 5 200 "$LAB_BUILD/tests/lab/lab-bt-bench" 3 | tee bench.out
grep -q "^exchange:" bench.out || fail "the bench gave no summary"
