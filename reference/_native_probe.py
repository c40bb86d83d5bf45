"""valdrix._native_probe's identity in plain Python: a call that does nothing
but return, the measure of what calling a function costs."""


def identity(value):
    return value
