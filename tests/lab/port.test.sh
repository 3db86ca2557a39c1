# The module through its exported functions, as a host uses it, on both stacks.
"$LAB_BUILD/tests/lab/test_lab_port"
