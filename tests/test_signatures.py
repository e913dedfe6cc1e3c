"""Every method and constructor of every class: the text signature that its docstring begins
with names exactly the parameters it binds, by position and by keyword."""
import inspect
import re

import pytest

import marrowfen
from marrowfen import (Argument, Circ, ECCs, Evaluator, Gate, IdentityCirc, IdentityProver,
                       Instr, Instruction, Proof, RawECCs, StateVec)

CLASSES = [getattr(marrowfen, name) for name in marrowfen.__all__]
NOT_CONVERTIBLE = object()  # no parameter of any method accepts it


def callables():
    """(class, name) of every constructor ("__new__") and every ordinary or static method."""
    for cls in CLASSES:
        if cls.__text_signature__ is not None:
            yield cls, "__new__"
        for name, attr in vars(cls).items():
            if not name.startswith("__") and callable(getattr(cls, name)):
                yield cls, name


@pytest.fixture(scope="module")
def objects():
    h = Gate.from_name("h")
    ev = Evaluator(1)
    raw = RawECCs.generate(ev, [h], 2)[0]
    eccs = raw.simplify()
    identity = IdentityCirc(Circ([Instr(h, [0]), Instr(h, [0])]))
    return {
        Argument: Argument("q", 0), Instruction: Instruction(h, [("q", 0)]), Gate: h,
        Instr: Instr(h, [0]), StateVec: StateVec([1.0, 0.0], [0.0, 0.0]),
        marrowfen.ECC: eccs.to_list()[0], ECCs: eccs, RawECCs: raw, Evaluator: ev,
        Circ: identity.inner, IdentityCirc: identity,
        IdentityProver: IdentityProver.build_from_eccs(eccs), Proof: Proof([]),
    }


def binding_error(fn, *args, **kwargs):
    """The text of the TypeError that the call raises, or None when it raises none."""
    try:
        fn(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


def missing_text(fname, names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        listed = " and ".join(quoted)
    else:
        listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    word = "argument" if len(names) == 1 else "arguments"
    return f"{fname} missing {len(names)} required positional {word}: {listed}"


@pytest.mark.parametrize("cls,name", list(callables()),
                         ids=[f"{c.__name__}.{n}" for c, n in callables()])
def test_text_signature_names_the_bound_parameters(cls, name, objects):
    static = name == "__new__" or isinstance(vars(cls)[name], staticmethod)
    described = cls if name == "__new__" else getattr(cls, name)
    fn = described if static else getattr(objects[cls], name)
    # The interpreter splits the docstring into the text signature and the description.
    assert described.__text_signature__.startswith("(" if static else "($self")
    assert described.__doc__
    params = list(inspect.signature(fn).parameters.values())
    names = [p.name for p in params]
    required = [p.name for p in params if p.default is inspect.Parameter.empty]
    fname = f"{cls.__name__}.{name}()"

    assert binding_error(fn, no_such_parameter=1) == \
        f"{fname} got an unexpected keyword argument 'no_such_parameter'"
    given = len(names) + 1
    counted = f"{len(names)}" if required == names else f"from {len(required)} to {len(names)}"
    was = "was" if given == 1 else "were"
    assert binding_error(fn, *[NOT_CONVERTIBLE] * given) == \
        f"{fname} takes {counted} positional arguments but {given} {was} given"
    if required:
        assert binding_error(fn) == missing_text(fname, required)
    # Each parameter binds under its keyword (only the other required ones are then missing)
    # and not twice; with all of them bound, the failure is a conversion's, not the binding's.
    for i, p in enumerate(names):
        rest = [q for q in required if q != p]
        text = binding_error(fn, **{p: NOT_CONVERTIBLE})
        if rest:
            assert text == missing_text(fname, rest)
        else:
            assert text is not None and not text.startswith(fname)
        args = [NOT_CONVERTIBLE] * (i + 1)
        assert binding_error(fn, *args, **{p: NOT_CONVERTIBLE}) == \
            f"{fname} got multiple values for argument '{p}'"
    if names:
        text = binding_error(fn, **{p: NOT_CONVERTIBLE for p in names})
        assert text is not None and not text.startswith(fname)
        assert re.match(r"argument '(\w+)': ", text) is None or \
            re.match(r"argument '(\w+)': ", text).group(1) in names


@pytest.mark.parametrize("cls", [c for c in CLASSES if c.__text_signature__ is None],
                         ids=lambda c: c.__name__)
def test_classes_without_constructor(cls):
    assert cls.__doc__ and cls.__text_signature__ is None
    with pytest.raises(TypeError, match="cannot create"):
        cls()


def valid_constructor_args():
    """Arguments each constructor accepts, by class."""
    h = Gate.from_name("h")
    return {
        Argument: ("q", 0), Circ: ([],), Evaluator: (3,),
        Gate: ("ident", [], [[1 + 0j, 0j], [0j, 1 + 0j]]), IdentityCirc: (Circ([]),),
        Instr: (h, [0]), Instruction: (h, [("q", 0)]), Proof: ([],), RawECCs: (Evaluator(1),),
        StateVec: ([1.0, 0.0], [0.0, 0.0]),
    }


# A constructor gets the keyword dict as the caller built it: the interpreter checks no names
# (which is also why the class is called here directly, not through `binding_error`).
@pytest.mark.parametrize("key", [b"x", 1, (1, 2), "\ud800"], ids=ascii)
def test_constructor_keyword_names(key):
    table = valid_constructor_args()
    assert set(table) == {c for c in CLASSES if c.__text_signature__ is not None}
    for cls, args in table.items():
        if isinstance(key, str):
            # A str with no UTF-8 form is still a name, one that matches no parameter.
            cases = [({key: 0},
                      f"{cls.__name__}.__new__() got an unexpected keyword argument '{key}'")]
        else:
            # Every name is checked before the first is bound.
            cases = [({key: 0}, "keywords must be strings"),
                     ({"no_such_parameter": 0, key: 0}, "keywords must be strings")]
        for kwargs, text in cases:
            with pytest.raises(TypeError) as info:
                cls(*args, **kwargs)
            assert str(info.value) == text, (cls, kwargs)
