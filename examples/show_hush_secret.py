"""tools.common.hush_secret: masking the passwords of a nested configuration.

Inside a dict each key names its value; the elements of a list or tuple inherit the name of
their container. A string under a name that contains "password" or "pwd" (in any case) comes
back as one asterisk per character; everything else comes back as it was.
"""

import pprint

from tools.common.hush_secret import hush_secret

CONFIG = {
    "app": {"name": "billing", "debug": False, "workers": 4},
    "services": {
        "database": {
            "host": "db.internal",
            "port": 5432,
            "user": "billing",
            "password": "s3cr3t-pa55",
            "replicas": [{"host": "db-r1.internal", "replica_password": "r3plica"}],
        },
        "cache": {"url": "redis://cache.internal:6379/0", "REDIS_PWD": "c4che"},
        "mail": {"user": "mailer", "Password": "m4il-box", "api_token": "tok-8f2a"},
    },
    "admins": [
        {"user": "alice", "password": "alice-pw"},
        {"user": "bob", "password": None},
    ],
    "old_passwords": ("winter2023", "spring2024"),
}


def show() -> None:
    masked = hush_secret(value=CONFIG)
    pprint.pprint(masked, sort_dicts=False, width=100)
    print("tokens are not passwords, and stay:  ", masked["services"]["mail"]["api_token"])
    print("the configuration itself is untouched:", CONFIG["services"]["database"]["password"])
    print("one value under a password-like name: ", hush_secret("DB_PWD", "hunter2"))
