"""The stack check refuses only calls near the end of the thread's own stack.

A coroutine library or an embedding host may run the interpreter on a stack it allocated
itself; there the interpreter's recursion budget is the only limit, as for any Python code.
"""

import threading

import pytest

from tools.common.find_origin import find_origin
from tools.common.hush_secret import hush_secret
from tools.common.veil_bulk_text import veil_bulk_text

foreign_stack = pytest.importorskip(
    "tools._testing.foreign_stack", reason="no makecontext on this platform"
)

MiB = 1024 * 1024


def nest(depth):
    value = ["leaf"]
    for _ in range(depth):
        value = [value]
    return value


SHALLOW_CALLS = [
    pytest.param(lambda: hush_secret(value={"password": "pw", "user": "me"}), id="hush_secret"),
    pytest.param(lambda: veil_bulk_text(value=["short", ("text",)]), id="veil_bulk_text"),
    pytest.param(lambda: find_origin(func=pytest), id="find_origin"),
]


@pytest.mark.parametrize("call", SHALLOW_CALLS)
def test_call_on_a_foreign_stack_matches_the_same_call_on_the_thread_stack(call):
    assert foreign_stack.call_on_foreign_stack(MiB, call) == call()


def test_deep_input_on_a_foreign_stack_meets_the_interpreter_budget():
    # A large foreign stack: the budget runs out long before the stack does.
    looped = []
    looped.append(looped)
    for walk in (hush_secret, veil_bulk_text):
        with pytest.raises(RecursionError):
            foreign_stack.call_on_foreign_stack(256 * MiB, lambda: walk(value=looped))
        deep = foreign_stack.call_on_foreign_stack(256 * MiB, lambda: walk(value=nest(50)))
        assert deep == nest(50)


def test_thread_stack_is_still_guarded_after_a_foreign_call(child):
    # The first call of the thread runs on the foreign stack; the thread's own small stack must
    # still be found and guarded afterwards.
    done = child.run(
        """
        import threading
        from tools._testing.foreign_stack import call_on_foreign_stack
        from tools.common.hush_secret import hush_secret

        value = []
        for _ in range(100_000):
            value = [value]
        outcomes = []

        def run():
            outcomes.append(call_on_foreign_stack(1 << 20, hush_secret, None, ["x"]))
            try:
                hush_secret(value=value)
                outcomes.append("returned")
            except RecursionError:
                outcomes.append("RecursionError")

        threading.stack_size(256 * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        print(outcomes)
        """
    )
    assert done.stdout.strip() == "[['x'], 'RecursionError']"
