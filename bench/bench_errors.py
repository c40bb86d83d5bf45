"""Error codes: registry calls and property reads against the same classes in plain Python."""

from _harness import compare_twins, twins

from valdrix.response import faultrol, faultum


def run():
    registries, enumerations = twins("faultrol"), twins("faultum")
    modules = [module for module in (faultrol, registries.plain, registries.cython) if module is not None]
    for module in modules:
        module.ErrorCodeRegistry.clear()
        for i in range(100):
            module.ErrorCodeRegistry.register(f"E{i}", "m")

    def registry_row(name, make_call, **options):
        return compare_twins(name, make_call, faultrol.ErrorCodeRegistry, registries,
                             lambda module: module.ErrorCodeRegistry, **options)

    rows = [
        registry_row("ErrorCodeRegistry.get", lambda registry: lambda: registry.get("E42")),
        registry_row("ErrorCodeRegistry.register", lambda registry: lambda: registry.register("E42", "m")),
        compare_twins("CustomErrorCode.code", lambda code: lambda: code.code, faultrol.CustomErrorCode("MY_ERROR", "m"),
                      registries, lambda module: module.CustomErrorCode("MY_ERROR", "m")),
        compare_twins("ErrorCode.X.msg", lambda member: lambda: member.msg, faultum.ErrorCode.PROMPT_BANNED,
                      enumerations, lambda module: module.ErrorCode.PROMPT_BANNED),
        registry_row("ErrorCodeRegistry.list_all, 100 codes", lambda registry: registry.list_all),
    ]
    for module in modules:
        module.ErrorCodeRegistry.clear()
    rows.append(registry_row("ErrorCodeRegistry.clear, empty", lambda registry: registry.clear))
    return "error codes: valdrix.response.faultum and faultrol", rows
