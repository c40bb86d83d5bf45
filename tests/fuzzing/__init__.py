"""The fuzz harnesses' checking logic, importable without atheris.

Each harness module has `test_one_input(data)`, which raises
common.ContractBroken when a call lets out an undocumented exception type or
differs from the plain-Python algorithm in reference/, and `seeds()`, its
starting corpus. tests/test_fuzz_regressions.py replays inputs through them;
the scripts in fuzz/ hand them to libFuzzer (atheris). `mutation` is the
hostile-actions harness, driven by hypothesis rather than libFuzzer.
"""
