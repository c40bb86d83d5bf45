"""Host objects that note how native code and plain Python use them, so that the
order of attribute reads and calls of the two can be compared."""


class Host:
    """A stand-in that notes in `log` each attribute read, each call of an attribute it hands
    out, and the with statements it takes part in."""

    def __init__(self, name, log, **attributes):
        object.__setattr__(self, "_host", (name, log, attributes))

    def __repr__(self):
        return object.__getattribute__(self, "_host")[0]

    def __getattribute__(self, attr):
        name, log, attributes = object.__getattribute__(self, "_host")
        log.append(f"{name}.{attr}")
        value = attributes[attr]
        return noted(f"{name}.{attr}", value, log) if callable(value) else value

    def __enter__(self):
        object.__getattribute__(self, "_host")[1].append(f"{self!r} entered")
        return self

    def __exit__(self, *exc_info):
        object.__getattribute__(self, "_host")[1].append(f"{self!r} left")


def noted(name, function, log):
    def call(*args, **kwargs):
        log.append(f"{name}{args}{kwargs or ''}")
        return function(*args, **kwargs)
    return call
