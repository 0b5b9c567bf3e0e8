import os as os
from datetime import datetime as datetime
from getpass import getuser as getuser
from platform import platform as platform, python_implementation as python_implementation
from socket import getfqdn as getfqdn

version: str

def boot_banner(prefix: str | None = "app", name: str | None = "main", separator: str | None = ":") -> None:
    """Print the start-up banner once per environment key `prefix + separator + name`."""
