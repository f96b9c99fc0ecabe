# The test libraries that the end-to-end suite preloads into the daemon: one kills the daemon
# between a child's fork and its prctl(), one closes standard streams just before main(), one
# makes chosen calls fail. Named once for every build that makes them.
set(WATCHD_PRELOAD_SHIMS parent_dies_at_prctl closed_standard_streams injected_faults)
