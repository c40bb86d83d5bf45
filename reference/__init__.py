"""The algorithms of the valdrix modules written in plain Python, one module each.

They are the baselines of bench/, the oracles of tests/ and the references
of fuzz/: the same steps with the same Pillow, re and math calls, so that a
native result can be compared with what plain Python gives for the same
input. Of valdrix only the installed package's Python exceptions module is
imported (lexgard raises its PromptBanError); the native modules under test
always come from the installed build.
"""
