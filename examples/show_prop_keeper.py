"""tools.common.prop_keeper: read and write private attributes past a class's own guards."""

from tools.common.prop_keeper import PropKeeper


class Vault:
    """Keeps its balance private and guards every attribute."""

    def __init__(self, balance: int) -> None:
        object.__setattr__(self, "_Vault__balance", balance)

    def __getattr__(self, name: str) -> str:
        return "<sealed>"

    def __setattr__(self, name: str, value: object) -> None:
        raise PermissionError(f"the vault refuses to set {name!r}")


def show() -> None:
    vault = Vault(100)
    print("vault.balance, through the guard:     ", vault.balance)
    try:
        vault.balance = 0
    except PermissionError as error:
        print("vault.balance = 0, through the guard: ", error)

    print("stored name of '__balance':           ", PropKeeper.get_name(vault, "__balance"))
    print("get_attribute(vault, '__balance'):    ", PropKeeper.get_attribute(vault, "__balance"))

    balance = PropKeeper(vault, "__balance")
    balance.value = 250
    print("after balance.value = 250:            ", balance.value)
    print("balance.exists:                       ", balance.exists)
    print("has_attribute(vault, '__missing'):    ", PropKeeper.has_attribute(vault, "__missing"))
    try:
        PropKeeper.set_attribute(Vault, "__balance", 0)
    except TypeError as error:
        print("set_attribute on the class itself:    ", error)
