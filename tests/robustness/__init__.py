"""Robustness suites: whatever a caller passes, pelorkit answers with a Python
exception or a result, never a crash, a hang, a leaked reference or a changed
input. Fuzzing (test_fuzz, fuzzing), reference counts and memory
(test_refcounts), Ctrl-C during long computations (test_interrupts,
interrupting) and threads (test_threads). They take most of the suite's time;
the lowest-versions CI job leaves this folder out."""
