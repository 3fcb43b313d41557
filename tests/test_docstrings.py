"""The API pages' sources: the public functions' numpydoc sections, their
examples run as doctests, and annotations that say what they take and
give."""

import doctest
import inspect
import re

import pytest

import klimora.ufuncs as U
from klimora import chain, comfort, inputs, radiation


def grid_radiation():
    pytest.importorskip("xarray")
    pytest.importorskip("pint")
    import klimora.grid

    return klimora.grid.radiation


#: name -> (how to get the object, the numpydoc sections it must have)
DOCUMENTED = {
    "klimora.chain.chain": (lambda: chain.chain, ("Parameters", "Returns", "Examples")),
    "klimora.chain.Site": (lambda: chain.Site, ("Parameters", "Examples")),
    "klimora.chain.ChainWarning": (lambda: chain.ChainWarning, ("Parameters",)),
    "klimora.comfort.pet": (lambda: comfort.pet, ("Parameters", "Returns", "Examples")),
    "klimora.grid.radiation": (grid_radiation, ("Parameters", "Returns", "Examples")),
    **{f"klimora.radiation.{name}": ((lambda name=name: getattr(radiation, name)),
                                     ("Parameters", "Returns", "Examples"))
       for name in radiation.__all__},
    **{f"klimora.ufuncs.{name}": ((lambda name=name: getattr(U, name)),
                                  ("Parameters", "Returns", "Examples"))
       for name in U.__all__},
}


def sections(doc):
    """The numpydoc section titles of a docstring, in order."""
    return re.findall(r"^ *(\w[\w ]*)\n *-{3,}$", doc, re.M)


@pytest.mark.parametrize("name", DOCUMENTED)
def test_numpydoc_sections(name):
    get, wanted = DOCUMENTED[name]
    doc = get().__doc__
    found = sections(doc)
    assert [s for s in found if s in wanted] == list(wanted), found


@pytest.mark.parametrize("name", DOCUMENTED)
def test_examples_run_and_give_what_they_show(name):
    get, _ = DOCUMENTED[name]
    obj = get()
    # As doctest runs a module's examples: in the module's namespace.
    module = inspect.getmodule(obj) or U
    tests = doctest.DocTestFinder(recurse=False).find(obj, name, module=False,
                                                      globs=dict(vars(module)))
    examples = [example for test in tests for example in test.examples]
    if "Examples" in DOCUMENTED[name][1]:
        assert examples, "an Examples section without examples"
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for test in tests:
        runner.run(test)
    assert runner.failures == 0


#: The annotations of the functions the API pages show with their
#: signature: none is Any.
SIGNED = ["klimora.chain.chain", "klimora.grid.radiation", "klimora.comfort.pet",
          *(f"klimora.radiation.{name}" for name in radiation.__all__)]


@pytest.mark.parametrize("name", SIGNED)
def test_signatures_say_what_they_take_and_give(name):
    function = DOCUMENTED[name][0]()
    signature = inspect.signature(function)
    annotations = [p.annotation for p in signature.parameters.values()]
    annotations.append(signature.return_annotation)
    assert inspect.Signature.empty not in annotations
    assert not [a for a in annotations if re.search(r"\bAny\b", str(a))], annotations


def test_chain_warning_keeps_its_lines_out_of_the_pages():
    """Its table of lines is the class's own business: no ``#:`` comment
    that would make autodoc print the whole dict on the API page."""
    source = inspect.getsource(inputs.ChainWarning)
    assert "LINES = {" in source and "#: " not in source
