"""Every public function of the compiled modules shows its real parameters and documents them.

The signature a function shows must be the one it binds: each parameter name
it lists is accepted as a keyword (a made-up keyword passed after them is the
first one refused), so a stale signature text fails here.
"""
import ast
import inspect
import pydoc

import pytest

from telvar.api.fundamental.mkt import mkt
from telvar.api.history import _history
from telvar.api.regora import _regora
from telvar.kestrum import numkern

MODULES = [_history, _regora, mkt, numkern]


def _own_functions(module):
    for name in sorted(vars(module)):
        func = getattr(module, name)
        if name.startswith("_") or not callable(func) or isinstance(func, type):
            continue
        if getattr(func, "__module__", None) != module.__name__:
            continue  # a framework name the module imported
        yield name, func


FUNCTIONS = [pytest.param(m, name, func, id="%s.%s" % (m.__name__.rsplit(".", 1)[-1], name))
             for m in MODULES for name, func in _own_functions(m)]


def _shown_signature(func):
    """(parameter names, has **kwargs) from the signature text help() shows."""
    compiled = getattr(func, "__wrapped__", func)
    text = compiled.__nb_signature__[0][0]
    tree = ast.parse(text.split(" -> ")[0] + ": pass")
    args = tree.body[0].args
    names = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]
    return names, args.kwarg is not None


def test_every_module_has_its_functions():
    names = {m.__name__: {n for n, _ in _own_functions(m)} for m in MODULES}
    assert {"get_reg_k_data", "get_reg_k_data_adj", "reg_k_data", "reg_factor"} <= names[_regora.__name__]
    assert {"get_k_data_n", "get_trading_time", "get_bar"} <= names[_history.__name__]
    assert len(names[mkt.__name__]) == 8
    assert {"tvCalcCombineMatrixHtoL", "ismember"} <= names[numkern.__name__]


@pytest.mark.parametrize("module,name,func", FUNCTIONS)
def test_help_shows_real_parameters_and_a_description(module, name, func):
    names, var_keyword = _shown_signature(func)
    assert "args" not in names and not any(n.startswith("arg") and n[3:].isdigit() for n in names)
    shown = pydoc.render_doc(func, renderer=pydoc.plaintext)
    assert "%s(%s" % (name, names[0] if names else "**" if var_keyword else ")") in shown
    doc = func.__doc__ or ""
    description = doc.split("\n", 1)[1] if "\n" in doc else ""
    assert len(description.split()) >= 5, "%s has no docstring" % name
    for param in names:
        # a single parameter may be named by what it is rather than by its name
        if len(names) > 1:
            assert param in description, "%s does not describe %r" % (name, param)


@pytest.mark.parametrize("module,name,func", FUNCTIONS)
def test_shown_parameters_are_the_ones_the_function_binds(module, name, func):
    names, var_keyword = _shown_signature(func)
    if var_keyword:
        pytest.skip("takes keywords only")
    compiled = getattr(func, "__wrapped__", func)
    kwargs = {n: None for n in names}
    kwargs["not_a_parameter_of_this_function"] = None
    with pytest.raises(TypeError, match="unexpected keyword argument 'not_a_parameter_of_this_function'"):
        compiled(**kwargs)


def test_python_signature_of_the_market_queries():
    sig = inspect.signature(mkt.market_rank_stocks)
    assert list(sig.parameters) == ["target_list", "abnormal_type_cd", "begin_date", "end_date", "field"]
    assert sig.parameters["target_list"].default is inspect.Parameter.empty
    assert sig.parameters["begin_date"].default == "" and sig.parameters["field"].default == ()
