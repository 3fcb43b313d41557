"""Argument binding: the TypeErrors of wrong calls and their traceback entries."""

import pytest

import klimora.Strahlkit as S
from helpers import module_entries, qual

SONNENZEIT = [
    ((), {}, "Sonnenzeit() takes exactly 4 positional arguments (0 given)"),
    ((1, 2, 3), {}, "Sonnenzeit() takes exactly 4 positional arguments (3 given)"),
    ((1, 2, 3, 4, 5), {}, "Sonnenzeit() takes exactly 4 positional arguments (5 given)"),
    ((1, 2, 3, 4, 5), {"x": 1}, "Sonnenzeit() takes exactly 4 positional arguments (5 given)"),
    ((1,), {"zeitzone": 2, "dayofyear": 4},
     "Sonnenzeit() takes exactly 4 positional arguments (2 given)"),
    ((1, 2, 3), {"foo": 4}, "Sonnenzeit() takes exactly 4 positional arguments (3 given)"),
    ((1, 2, 3), {}, "Sonnenzeit() takes exactly 4 positional arguments (3 given)"),
    ((), {"szeit": 1, "zeitzone": 1, "laenge": 1},
     "Sonnenzeit() takes exactly 4 positional arguments (3 given)"),
    ((1, 2, 3, 4), {"szeit": 5},
     "Sonnenzeit() got multiple values for keyword argument 'szeit'"),
    ((1, 2, 3, 4), {"x": 1}, "Sonnenzeit() got an unexpected keyword argument 'x'"),
    ((1, 2, 3), {"dayofyear": 4, "laenge": 5},
     "Sonnenzeit() got multiple values for keyword argument 'laenge'"),
    ((1, 2, 3), {"dayofyear": 4, 7: 5}, "Sonnenzeit() keywords must be strings"),
    ((1, 2, 3, 4), {7: 5, "x": 1}, "Sonnenzeit() keywords must be strings"),
    ((1, 2, 3, 4), {"x": 1, 7: 5}, "Sonnenzeit() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("args, kwargs, message", SONNENZEIT)
def test_keyword_form_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        S.Sonnenzeit(*args, **kwargs)
    assert str(info.value) == message
    assert module_entries(info.value) == [(qual("Sonnenzeit"), 6)]


@pytest.mark.parametrize("name, first_line, count", [
    ("Zenitwinkel", 31, 3), ("Azimutwinkel", 47, 3), ("LinkeTruebung", 80, 3),
    ("MaxDirekteStrahlung", 117, 5), ("MaxGlobalstrahlung", 141, 4), ("DirStrMBew", 156, 2),
    ("AtmosGegenstr", 161, 3), ("OberflTemp", 193, 4), ("MittlStrTemp", 211, 9)])
def test_arity_message_and_entry_of_every_keyword_function(name, first_line, count):
    with pytest.raises(TypeError) as info:
        getattr(S, name)(*range(count + 1))
    assert str(info.value) == (
        f"{name}() takes exactly {count} positional arguments ({count + 1} given)")
    assert module_entries(info.value) == [(qual(name), first_line)]


def test_keywords_bind_in_any_order():
    assert S.Sonnenzeit(dayofyear=81, laenge=15, zeitzone=1, szeit=12) == S.Sonnenzeit(12, 1, 15, 81)
    assert S.MittlStrTemp(90, 200, 200, 0, 0, 0, albedo_env=None, albedo=0.3, ReflStr=None) == \
        S.MittlStrTemp(90, 200, 200, 0, 0, 0, None, 0.3, None)


def test_empty_keyword_mapping_binds_like_none():
    assert S.Sonnenzeit(12, 1, 15, 81, **{}) == S.Sonnenzeit(12, 1, 15, 81)
    assert S.RelOptLuftmasse(1, **{}) == S.RelOptLuftmasse(1)


def test_keyword_that_is_a_str_subclass_binds():
    class Key(str):
        pass
    assert S.DirStrMBew(800, **{Key("N"): 2}) == 600.0


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {"zenitwinkel": 30}, "RelOptLuftmasse() takes no keyword arguments"),
    ((30,), {"x": 1}, "RelOptLuftmasse() takes no keyword arguments"),
    ((), {}, "RelOptLuftmasse() takes exactly one argument (0 given)"),
    ((1, 2), {}, "RelOptLuftmasse() takes exactly one argument (2 given)"),
])
def test_single_argument_form_errors_add_no_entry(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        S.RelOptLuftmasse(*args, **kwargs)
    assert str(info.value) == message
    assert module_entries(info.value) == []

