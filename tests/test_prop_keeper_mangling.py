"""PropKeeper.get_name against a small model of the private-name rule, over generated names."""

from hypothesis import given, settings
from hypothesis import strategies as st

from models import stored_name
from tools.common.prop_keeper import PropKeeper


# Underscores dominate, so the prefix and suffix cases come up often; the other characters
# span the widths a str can store (ASCII, Latin-1, two-byte, four-byte).
characters = st.sampled_from("____ab_é_Ω_𝔵")
names = st.text(characters, max_size=8)
class_names = st.text(st.sampled_from("__Ab_é_𝔵"), max_size=5)


@settings(derandomize=True, max_examples=300)
@given(attr=names, class_name=class_names, as_class=st.booleans())
def test_get_name_follows_the_rule(attr, class_name, as_class):
    cls = type(class_name, (), {})
    obj = cls if as_class else cls()
    result = PropKeeper.get_name(obj, attr)
    assert result == stored_name(obj, attr)
    assert type(result) is str
    if result == attr:
        assert result is attr  # unchanged names come back as the very same object


@settings(derandomize=True, max_examples=100)
@given(attr=names, class_name=class_names)
def test_stored_name_is_where_set_attribute_writes(attr, class_name):
    obj = type(class_name, (), {})()
    PropKeeper.set_attribute(obj, attr, 1)
    assert vars(obj) == {stored_name(obj, attr): 1}
    assert PropKeeper.has_attribute(obj, attr) is True
