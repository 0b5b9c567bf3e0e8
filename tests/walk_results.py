"""Checks shared by the property tests of the two walks: a result against a model's."""


def input_leaves(value):
    if isinstance(value, dict):
        return [leaf for v in value.values() for leaf in input_leaves(v)]
    if isinstance(value, (list, tuple)):
        return [leaf for v in value for leaf in input_leaves(v)]
    return [value]


def assert_same(actual, expected, originals):
    if isinstance(expected, (dict, list, tuple)):
        assert type(actual) is type(expected)
        assert len(actual) == len(expected)
        if isinstance(expected, dict):
            assert all(a is e for a, e in zip(actual, expected))
            pairs = zip(actual.values(), expected.values())
        else:
            pairs = zip(actual, expected)
        for a, e in pairs:
            assert_same(a, e, originals)
    elif any(expected is leaf for leaf in originals):
        assert actual is expected
    else:
        assert type(actual) is str and actual == expected
